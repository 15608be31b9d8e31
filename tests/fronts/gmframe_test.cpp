#include "fronts/gmfmsg.h"
#include "fronts/gmframe.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace
{

using Bytes = std::vector<uint8_t>;

struct Out {
    std::vector<Bytes> frames;
    std::vector<Bytes> crc_errors;
    int acks = 0;
};

void feed(gmframe::Assembler &a, const Bytes &in, Out &out)
{
    for (uint8_t b : in) {
        switch (a.feed(b)) {
        case gmframe::Assembler::FRAME:
            out.frames.emplace_back(a.data(), a.data() + a.size());
            break;
        case gmframe::Assembler::CRC_ERROR:
            out.crc_errors.emplace_back(a.data(), a.data() + a.size());
            break;
        case gmframe::Assembler::ACK_BYTE:
            out.acks++;
            break;
        case gmframe::Assembler::NONE:
            break;
        }
    }
}

TEST(GmFrameChecksum, FixedFramesCarryValidCheckBytes)
{
    EXPECT_TRUE(gmframe::check_ok(gmframe::POLL, 4));
    for (int i = 0; i < 7; i++)
        EXPECT_TRUE(gmframe::check_ok(gmframe::INIT_FRAMES[i], gmframe::INIT_FRAME_SIZES[i])) << i;
    EXPECT_EQ(Bytes(gmframe::INIT_FRAMES[3], gmframe::INIT_FRAMES[3] + gmframe::INIT_FRAME_SIZES[3]),
              (Bytes{0xFF, 0x34, 0x00, 0x03, 0x00, 0x0C, 0xBD}));
}

TEST(GmFrameChecksum, SetChecksumComplementsTheSum)
{
    Bytes key{0xF4, 0x24, 0x05, 0x00, 0x00, 0x00};
    gmframe::set_checksum(key.data(), key.size());
    EXPECT_EQ(key[5], 0xE2);
    EXPECT_TRUE(gmframe::check_ok(key.data(), key.size()));
    Bytes tiny{0xF0, 0x12};
    gmframe::set_checksum(tiny.data(), tiny.size());
    EXPECT_EQ(tiny, (Bytes{0xF0, 0x12}));
}

TEST(GmFrameDisplay, PadsWithSpacesAndChecks)
{
    uint8_t f[gmframe::DISPLAY_FRAME_SIZE];
    ASSERT_TRUE(gmframe::make_display("No conn.", f));
    Bytes expect{0xFF, 0x34, 0x00, 0x11, 0x00, 0x00, 'N', 'o', ' ', 'c',
                 'o',  'n',  'n',  '.',  ' ',  ' ',  ' ', ' ', ' ', ' '};
    uint8_t sum = 0;
    for (uint8_t b : expect)
        sum = static_cast<uint8_t>(sum + b);
    expect.push_back(static_cast<uint8_t>(~sum));
    EXPECT_EQ(Bytes(f, f + sizeof f), expect);
    EXPECT_TRUE(gmframe::check_ok(f, sizeof f));
}

TEST(GmFrameDisplay, FourteenCharactersFitFifteenDoNot)
{
    uint8_t f[gmframe::DISPLAY_FRAME_SIZE] = {};
    EXPECT_TRUE(gmframe::make_display("ABCDEFGHIJKLMN", f));
    EXPECT_EQ(std::string(reinterpret_cast<char *>(f + 6), 14), "ABCDEFGHIJKLMN");
    uint8_t g[gmframe::DISPLAY_FRAME_SIZE] = {};
    EXPECT_FALSE(gmframe::make_display("ABCDEFGHIJKLMNO", g));
    EXPECT_EQ(Bytes(g, g + sizeof g), Bytes(sizeof g, 0));
}

TEST(GmFrameAssembler, ShortFrameSplitOverTwoCallsIsOneFrame)
{
    gmframe::Assembler a;
    Out out;
    feed(a, {0xF2, 0x31}, out);
    EXPECT_TRUE(out.frames.empty());
    feed(a, {0x00, 0xDC}, out);
    ASSERT_EQ(out.frames.size(), 1u);
    EXPECT_EQ(out.frames[0], (Bytes{0xF2, 0x31, 0x00, 0xDC}));
}

TEST(GmFrameAssembler, LongAndEmptyFrames)
{
    gmframe::Assembler a;
    Out out;
    feed(a, {0xFF, 0x34, 0x00, 0x03, 0x00, 0x0E, 0xBB, 0xF0, 0x0F, 0xF1, 0x33, 0xDB}, out);
    ASSERT_EQ(out.frames.size(), 3u);
    EXPECT_EQ(out.frames[0], (Bytes{0xFF, 0x34, 0x00, 0x03, 0x00, 0x0E, 0xBB}));
    EXPECT_EQ(out.frames[1], (Bytes{0xF0, 0x0F}));
    EXPECT_EQ(out.frames[2], (Bytes{0xF1, 0x33, 0xDB}));
}

TEST(GmFrameAssembler, DisplayFrameOfMaximumLengthClass)
{
    uint8_t f[gmframe::DISPLAY_FRAME_SIZE];
    ASSERT_TRUE(gmframe::make_display("Connecting ..", f));
    gmframe::Assembler a;
    Out out;
    feed(a, Bytes(f, f + sizeof f), out);
    ASSERT_EQ(out.frames.size(), 1u);
    EXPECT_EQ(out.frames[0], Bytes(f, f + sizeof f));
}

TEST(GmFrameAssembler, LongestLongFrame)
{
    Bytes f{0xFF, 0x01, 0x02, 33};
    for (int i = 0; i < 32; i++)
        f.push_back(static_cast<uint8_t>(i));
    f.push_back(0);
    gmframe::set_checksum(f.data(), f.size());
    gmframe::Assembler a;
    Out out;
    feed(a, f, out);
    ASSERT_EQ(out.frames.size(), 1u);
    EXPECT_EQ(out.frames[0].size(), 37u);
}

TEST(GmFrameAssembler, BadSumIsACrcErrorAndTheNextHeaderStartsAFrame)
{
    gmframe::Assembler a;
    Out out;
    // Sum 0xFE.
    feed(a, {0xF2, 0x31, 0x00, 0xDB, 0xF1, 0x33, 0xDB}, out);
    ASSERT_EQ(out.crc_errors.size(), 1u);
    EXPECT_EQ(out.crc_errors[0], (Bytes{0xF2, 0x31, 0x00, 0xDB}));
    ASSERT_EQ(out.frames.size(), 1u);
    EXPECT_EQ(out.frames[0], (Bytes{0xF1, 0x33, 0xDB}));
}

TEST(GmFrameAssembler, LongFrameWithBadLengthIsAbandonedAtTheLengthByte)
{
    for (uint8_t len : {uint8_t{0x00}, uint8_t{0x01}, uint8_t{0x22}, uint8_t{0xFF}}) {
        gmframe::Assembler a;
        Out out;
        // After the abandoned length byte, 0x50 is an acknowledgement again and
        // the init frame that follows is found.
        feed(a, {0xFF, 0x34, 0x00, len, 0x50, 0xF1, 0x33, 0xDB}, out);
        EXPECT_TRUE(out.crc_errors.empty()) << int(len);
        EXPECT_EQ(out.acks, 1) << int(len);
        ASSERT_EQ(out.frames.size(), 1u) << int(len);
        EXPECT_EQ(out.frames[0], (Bytes{0xF1, 0x33, 0xDB}));
    }
}

TEST(GmFrameAssembler, AcknowledgementsOnlyOutsideFrames)
{
    gmframe::Assembler a;
    Out out;
    feed(a, {0x50, 0x00, 0x12, 0x50, 0xF1, 0x50, 0xDB - 0x50 + 0x33, 0x50}, out);
    EXPECT_EQ(out.acks, 3);
}

TEST(GmFrameAssembler, GarbageIsDroppedWithoutFrames)
{
    gmframe::Assembler a;
    Out out;
    Bytes junk;
    for (int i = 0; i < 4096; i++)
        junk.push_back(static_cast<uint8_t>((i * 37 + 11) & 0xEF)); // never a header
    feed(a, junk, out);
    EXPECT_TRUE(out.frames.empty());
    EXPECT_TRUE(out.crc_errors.empty());
    // Still in step afterwards.
    feed(a, {0xF2, 0x36, 0x00, 0xD7}, out);
    ASSERT_EQ(out.frames.size(), 1u);
}

TEST(GmFrameAssembler, RandomBytesNeverOverrunTheBuffer)
{
    gmframe::Assembler a;
    uint32_t x = 12345;
    for (int i = 0; i < 200000; i++) {
        x = x * 1103515245u + 12345u;
        a.feed(static_cast<uint8_t>(x >> 16));
        ASSERT_LE(a.size(), gmframe::Assembler::CAPACITY);
    }
}

TEST(GmFrameAssembler, TruncatedFrameThenNewHeaderIsAbsorbed)
{
    // A frame cut short swallows the following bytes until its count is met.
    gmframe::Assembler a;
    Out out;
    feed(a, {0xF4, 0x24, 0x10}, out);
    feed(a, {0xF1, 0x33, 0xDB}, out);
    EXPECT_TRUE(out.frames.empty());
    EXPECT_EQ(out.crc_errors.size(), 1u);
}

TEST(GmFmsg, OwnsACopyOfItsData)
{
    uint8_t b[3] = {1, 2, 3};
    class_gmfmsg m(GMFMSG_FRAME, b, 3);
    b[0] = 9;
    EXPECT_EQ(m.type(), static_cast<uint32_t>(GMFMSG_FRAME));
    ASSERT_EQ(m.length(), 3u);
    EXPECT_EQ(m.data()[0], 1);
    class_gmfmsg e(GMFMSG_IRQ);
    EXPECT_EQ(e.length(), 0u);
    EXPECT_EQ(e.data(), nullptr);
}

} // namespace
