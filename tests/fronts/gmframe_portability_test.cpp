// GM360 head framing with bytes of 0x80 and above in headers, lengths, bodies
// and display texts (plain `char` is unsigned on ARM and signed on x86-64), and
// frames checked at odd addresses.
#include "fronts/gmframe.h"
#include "tests/odd_buffer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

using namespace gmframe;
using B = std::vector<uint8_t>;

namespace
{

std::vector<B> frames_of(const B &stream)
{
    Assembler a;
    std::vector<B> out;
    for (uint8_t b : stream)
        if (a.feed(b) == Assembler::FRAME)
            out.emplace_back(a.data(), a.data() + a.size());
    return out;
}

// A long frame of length L whose body bytes are all 0x80 and above, some of
// them frame headers (0xF?) and the acknowledgement's value plus 0x80.
B long_frame(uint8_t L)
{
    B f = {0xFF, 0xF4, 0xD0, L};
    for (size_t i = 0; i + 1 < L; ++i)
        f.push_back(static_cast<uint8_t>(0xF0 | (i & 0x0F)) ^ static_cast<uint8_t>((i & 1) ? 0x20 : 0));
    f.push_back(0);
    set_checksum(f.data(), f.size());
    return f;
}

} // namespace

TEST(GmFrameHighBytes, LongestLongFrameWithHighBodyBytes)
{
    const B f = long_frame(33);
    ASSERT_EQ(f.size(), 37u);
    EXPECT_TRUE(check_ok(f.data(), f.size()));
    auto got = frames_of(f);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], f);
}

TEST(GmFrameHighBytes, LengthBytesWithTheTopBitDropBackToHunting)
{
    // A length of 0x80 or 0xFF is huge, not negative: the frame is abandoned and
    // the next header is found.
    for (uint8_t L : {0x80, 0xFF, 0xA1, 0x22, 0x01, 0x00}) {
        B stream = {0xFF, 0x34, 0x00, L, 0x11, 0x22};
        const B next = {0xF2, 0x31, 0x00, 0xDC};
        stream.insert(stream.end(), next.begin(), next.end());
        auto got = frames_of(stream);
        ASSERT_EQ(got.size(), 1u) << int(L);
        EXPECT_EQ(got[0], next);
    }
}

TEST(GmFrameHighBytes, ShortFramesWithHighBodyBytes)
{
    B f = {0xFE, 0x80, 0x81, 0x82, 0x83, 0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8A, 0x8B, 0x8C, 0x8D, 0x00};
    set_checksum(f.data(), f.size());
    B key = {0xF4, 0x24, 0x80, 0xFF, 0x00, 0x00};
    set_checksum(key.data(), key.size());
    B stream = f;
    stream.push_back(ACK);
    stream.insert(stream.end(), key.begin(), key.end());
    auto got = frames_of(stream);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0], f);
    EXPECT_EQ(got[1], key);
}

TEST(GmFrameHighBytes, ChecksumOfHighBytesAtOddAddresses)
{
    const B f = long_frame(20);
    for (size_t off : odd_offsets()) {
        OddBuffer buf(f, off);
        EXPECT_TRUE(check_ok(buf.data(), buf.size())) << off;
        buf.data()[buf.size() - 1] = 0;
        set_checksum(buf.data(), buf.size());
        EXPECT_EQ(buf.data()[buf.size() - 1], f.back());
    }
    // The sum is 0x1FF: only its low byte counts.
    const B odd_sum = {0x80, 0xC0, 0xBF};
    EXPECT_TRUE(check_ok(odd_sum.data(), odd_sum.size()));
}

TEST(GmFrameHighBytes, DisplayTextOfHighCharacters)
{
    const std::string text = "\xB0\xC4\xD6\xDC\xFF\x80 12\xB5V";
    OddBuffer out(B(DISPLAY_FRAME_SIZE, 0), 1);
    ASSERT_TRUE(make_display(text.c_str(), out.data()));
    B expect = {0xFF, 0x34, 0x00, 0x11, 0x00, 0x00};
    expect.insert(expect.end(), text.begin(), text.end());
    expect.resize(6 + DISPLAY_CHARS, ' ');
    uint8_t sum = 0;
    for (uint8_t b : expect)
        sum = static_cast<uint8_t>(sum + b);
    expect.push_back(static_cast<uint8_t>(~sum));
    EXPECT_EQ(B(out.data(), out.data() + DISPLAY_FRAME_SIZE), expect);
    EXPECT_TRUE(check_ok(out.data(), DISPLAY_FRAME_SIZE));

    const std::string fourteen(14, '\xFF');
    uint8_t frame[DISPLAY_FRAME_SIZE];
    ASSERT_TRUE(make_display(fourteen.c_str(), frame));
    EXPECT_EQ(frame[20], static_cast<uint8_t>(~static_cast<uint8_t>(0xFF + 0x34 + 0x11 + 14 * 0xFF)));
    EXPECT_FALSE(make_display(std::string(15, '\x80').c_str(), frame));
}
