// CRC-16/XMODEM against its published check value and hand-worked frames.
#include "base/crc16_xmodem.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "tests/odd_buffer.h"

TEST(Crc16Xmodem, CheckValueOfTheDigitsOneToNine)
{
    const char *digits = "123456789";
    EXPECT_EQ(crc16::xmodem(reinterpret_cast<const uint8_t *>(digits), std::strlen(digits)), 0x31C3);
}

TEST(Crc16Xmodem, EmptyInputKeepsTheInitialValue)
{
    EXPECT_EQ(crc16::xmodem(nullptr, 0), 0x0000);
    EXPECT_EQ(crc16::xmodem(nullptr, 0, 0x1234), 0x1234);
}

TEST(Crc16Xmodem, FrameFieldsOfTheFlasher)
{
    const std::vector<uint8_t> query = {0x00, 0x04, 0x00, 0x03};
    EXPECT_EQ(crc16::xmodem(query.data(), query.size()), 0xECA3);
    const std::vector<uint8_t> boot_status = {0x00, 0x04, 0x83, 0x00};
    EXPECT_EQ(crc16::xmodem(boot_status.data(), boot_status.size()), 0x920B);
    const std::vector<uint8_t> single = {0xFF};
    EXPECT_EQ(crc16::xmodem(single.data(), single.size()), 0x1EF0);
}

TEST(Crc16Xmodem, ContinuingARunEqualsOneRun)
{
    std::vector<uint8_t> data(300);
    for (size_t i = 0; i < data.size(); i++)
        data[i] = static_cast<uint8_t>(i * 151 + 0x80);
    uint16_t whole = crc16::xmodem(data.data(), data.size());
    uint16_t first = crc16::xmodem(data.data(), 123);
    EXPECT_EQ(crc16::xmodem(data.data() + 123, data.size() - 123, first), whole);
}

TEST(Crc16Xmodem, SameResultAtOddAddresses)
{
    std::vector<uint8_t> data = {0x80, 0xFF, 0x00, 0x04, 0x83, 0x00, 0xFE, 0x81, 0x7F};
    uint16_t expect = crc16::xmodem(data.data(), data.size());
    for (size_t off : odd_offsets()) {
        OddBuffer b(data, off);
        EXPECT_EQ(crc16::xmodem(b.data(), b.size()), expect) << "offset " << off;
    }
}
