#include "base/byteorder.h"

#include <gtest/gtest.h>

TEST(ByteOrder, LittleAndBigEndianFieldsAtOddAddresses)
{
    uint8_t buf[9] = {};
    bytes::put_le32(buf + 1, 0x11223344u);
    EXPECT_EQ(buf[1], 0x44);
    EXPECT_EQ(buf[4], 0x11);
    EXPECT_EQ(bytes::get_le32(buf + 1), 0x11223344u);
    bytes::put_be16(buf + 5, 0xA1B2);
    EXPECT_EQ(buf[5], 0xA1);
    EXPECT_EQ(bytes::get_be16(buf + 5), 0xA1B2);
    bytes::put_be32(buf + 3, 0xF0E0D0C0u);
    EXPECT_EQ(bytes::get_be32(buf + 3), 0xF0E0D0C0u);
    bytes::put_le16(buf + 7, 0xFFEE);
    EXPECT_EQ(bytes::get_le16(buf + 7), 0xFFEE);
}
