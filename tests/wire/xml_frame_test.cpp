// The XML link's frame header: little-endian text length, four zero bytes.
#include "wire/xml_frame.h"

#include <gtest/gtest.h>

#include <vector>

TEST(XmlFrame, HeaderBytes)
{
    uint8_t h[xml_frame::header_size];
    xml_frame::encode_header(0x1FFF, h);
    EXPECT_EQ(std::vector<uint8_t>(h, h + sizeof h), (std::vector<uint8_t>{0xFF, 0x1F, 0, 0, 0, 0, 0, 0}));
    xml_frame::encode_header(0x12345678, h);
    EXPECT_EQ(std::vector<uint8_t>(h, h + sizeof h),
              (std::vector<uint8_t>{0x78, 0x56, 0x34, 0x12, 0, 0, 0, 0}));
}

TEST(XmlFrame, LengthIgnoresTheSecondWord)
{
    const uint8_t h[] = {0x00, 0x20, 0x00, 0x00, 0xDE, 0xAD, 0xBE, 0xEF};
    EXPECT_EQ(xml_frame::decode_length(h), 8192u);
    const uint8_t max[] = {0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0};
    EXPECT_EQ(xml_frame::decode_length(max), 0xFFFFFFFFu);
}

TEST(XmlFrame, WholeFrame)
{
    EXPECT_EQ(xml_frame::encode("<a />"), std::string("\x05\0\0\0\0\0\0\0<a />", 13));
    EXPECT_EQ(xml_frame::encode(""), std::string(8, '\0'));
}
