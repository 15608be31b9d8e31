// The three serial framings of the XML-linked radios, byte for byte: what each
// assembler delivers from a stream cut into arbitrary pieces, what it drops,
// and the PTT key frames the controls act on.
#include "control/control_mtetra.h"
#include "control/control_nx5.h"
#include "control/mtetra_serialdisp_frame.h"
#include "control/nx5_serialdisp_frame.h"
#include "control/nx700_serialdisp_frame.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace
{

using Bytes = std::vector<uint8_t>;
using Frames = std::vector<Bytes>;

Bytes cat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

// Pushes `chunks` one call each and collects the delivered frames and the
// lines printed meanwhile.
template <class Frame> struct Feed {
    Frames frames;
    std::string out;
    Frame f{[this](const uint8_t *p, size_t n) { frames.emplace_back(p, p + n); }};

    void push(const std::vector<Bytes> &chunks)
    {
        testing::internal::CaptureStdout();
        for (const Bytes &c : chunks)
            f.push(c.data(), c.size());
        out += testing::internal::GetCapturedStdout();
    }
};

// Every byte in a call of its own: the same frames as in one call.
std::vector<Bytes> bytewise(const Bytes &b)
{
    std::vector<Bytes> out;
    for (uint8_t x : b)
        out.push_back({x});
    return out;
}

// ---- MTETRA: 0xFF ... 0xFF ----

TEST(MtetraSerialdispFrame, FramesRunFromOneFfToTheNext)
{
    const Bytes long_open = cat({{0xFF}, Bytes(1022, 0x01)});
    struct Case {
        const char *name;
        Bytes in;
        Frames want;
    } cases[] = {
        {"a doubled opening FF is one opening", {0xFF, 0xFF, 0x01, 0xFF}, {{0xFF, 0x01, 0xFF}}},
        {"bytes outside frames are dropped", {0x01, 0x02, 0xFF, 0x05, 0xFF, 0x07}, {{0xFF, 0x05, 0xFF}}},
        {"two frames back to back",
         {0xFF, 0x01, 0xFF, 0xFF, 0x02, 0x03, 0xFF},
         {{0xFF, 0x01, 0xFF}, {0xFF, 0x02, 0x03, 0xFF}}},
        {"no empty frame", {0xFF, 0xFF, 0xFF, 0xFF}, {}},
        {"1024 bytes is the longest frame", cat({long_open, {0xFF}}), {cat({long_open, {0xFF}})}},
        {"an unclosed frame at 1024 bytes is dropped and the next FF opens",
         cat({long_open, {0x02}, {0xFF, 0x09, 0xFF}}),
         {{0xFF, 0x09, 0xFF}}},
    };
    for (const Case &c : cases) {
        Feed<mtetra_serialdisp_frame> whole, split;
        whole.push({c.in});
        split.push(bytewise(c.in));
        EXPECT_EQ(whole.frames, c.want) << c.name;
        EXPECT_EQ(split.frames, c.want) << c.name;
    }
}

TEST(MtetraSerialdispFrame, HalfAFrameIsKeptAcrossCalls)
{
    Feed<mtetra_serialdisp_frame> r;
    r.push({{0x00, 0xFF, 0x21}, {0x14}, {}, {0x04, 0xFF, 0x33}});
    EXPECT_EQ(r.frames, (Frames{{0xFF, 0x21, 0x14, 0x04, 0xFF}}));
}

TEST(MtetraPttFrame, FourteenByteKeyReports)
{
    //                 0     1     2     3     4     5  6  7  8  9  10    11 12 13
    const Bytes press{0xFF, 0x2A, 0x14, 0x04, 0x01, 0, 0, 0, 0, 0, 0x20, 0, 0, 0xFF};
    auto with = [&](size_t at, uint8_t v) {
        Bytes b = press;
        b[at] = v;
        return b;
    };
    struct Case {
        const char *name;
        Bytes frame;
        int want;
    } cases[] = {
        {"press", press, 1},
        {"byte 4 zero releases", with(4, 0x00), 0},
        {"any high nibble 2 in byte 1", with(1, 0x20), 1},
        {"byte 10 0x21 is no key report", with(10, 0x21), -1},
        {"byte 1 0x30", with(1, 0x30), -1},
        {"byte 2", with(2, 0x15), -1},
        {"byte 3", with(3, 0x05), -1},
        {"13 bytes", Bytes(press.begin() + 1, press.end()), -1},
    };
    for (const Case &c : cases) {
        // Through the assembler, as the radio's bytes come.
        Feed<mtetra_serialdisp_frame> r;
        r.push({c.frame});
        if (c.frame.size() == 14) {
            ASSERT_EQ(r.frames.size(), 1u) << c.name;
            EXPECT_EQ(class_control_mtetra::ptt_frame(r.frames[0].data(), r.frames[0].size()), c.want)
                << c.name;
        } else {
            EXPECT_EQ(class_control_mtetra::ptt_frame(c.frame.data(), c.frame.size()), c.want) << c.name;
        }
    }
}

// ---- NX5: FF, byte, AB AB, L, 2 bytes, payload, word-sum checksum ----

// A frame with the checksum its framing asks for (the high-byte rule for an
// odd length included).
Bytes nx5(uint8_t b1, const Bytes &payload)
{
    const size_t L = payload.size();
    Bytes f = cat({{0xFF, b1, 0xAB, 0xAB, static_cast<uint8_t>(L), static_cast<uint8_t>(L >> 8), 0x00, 0x00},
                   payload,
                   {0x00, 0x00}});
    uint32_t sum = 0;
    for (size_t i = 0; i + 1 < L; i += 2)
        sum += f[8 + i] | (f[9 + i] << 8);
    if (L % 2) {
        const uint8_t lo = static_cast<uint8_t>(sum + f[8 + L - 1]);
        f[8 + L] = lo;
        sum += f[8 + L - 1] | (lo << 8);
    }
    f[8 + L] = static_cast<uint8_t>(sum);
    f[9 + L] = static_cast<uint8_t>(sum >> 8);
    return f;
}

TEST(Nx5SerialdispFrame, ChecksumRuleOnLiteralFrames)
{
    // Payload 01 02 03: words 0x0201 and 0x0403 (the last word's high byte is
    // the checksum's first byte, 04), sum 0x0604.
    const Bytes odd{0xFF, 0x01, 0xAB, 0xAB, 0x03, 0x00, 0x00, 0x00, 0x01, 0x02, 0x03, 0x04, 0x06};
    EXPECT_EQ(nx5(0x01, {0x01, 0x02, 0x03}), odd);
    // Payload 10 20 30 40: 0x2010 + 0x4030 = 0x6040.
    const Bytes even{0xFF, 0x05, 0xAB, 0xAB, 0x04, 0x00, 0x12, 0x34, 0x10, 0x20, 0x30, 0x40, 0x40, 0x60};
    const Bytes empty{0xFF, 0x05, 0xAB, 0xAB, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    // The same odd frame summed without the high-byte rule: 0x0201 + 0x0003.
    const Bytes odd_plain_sum{0xFF, 0x01, 0xAB, 0xAB, 0x03, 0x00, 0x00, 0x00, 0x01, 0x02, 0x03, 0x04, 0x02};
    Bytes even_bad = even;
    even_bad[13] ^= 0x01;

    struct Case {
        const char *name;
        Bytes in;
        Frames want;
        int crc_lines;
    } cases[] = {
        {"odd length", odd, {odd}, 0},
        {"even length", even, {even}, 0},
        {"empty payload", empty, {empty}, 0},
        {"odd length summed plainly is wrong", odd_plain_sum, {}, 1},
        {"wrong checksum, then a good frame", cat({even_bad, odd}), {odd}, 1},
        {"noise before and between", cat({{0x00, 0xAB, 0x13}, odd, {0x22}, even}), {odd, even}, 0},
        {"FF restarts the frame at byte 1", cat({{0xFF}, odd}), {odd}, 0},
        {"FF restarts the frame at the sync bytes", cat({{0xFF, 0x01, 0xAB}, odd}), {odd}, 0},
        {"a byte other than AB at the sync bytes resets", cat({{0xFF, 0x01, 0xAB, 0x00}, even}), {even}, 0},
    };
    const std::string crc_line = "nx5_serialdisp_frame: invalid CRC!\n";
    for (const Case &c : cases) {
        Feed<nx5_serialdisp_frame> whole, split;
        whole.push({c.in});
        split.push(bytewise(c.in));
        EXPECT_EQ(whole.frames, c.want) << c.name;
        EXPECT_EQ(split.frames, c.want) << c.name;
        std::string lines;
        for (int i = 0; i < c.crc_lines; ++i)
            lines += crc_line;
        EXPECT_EQ(whole.out, lines) << c.name;
        EXPECT_EQ(split.out, lines) << c.name;
    }
}

TEST(Nx5SerialdispFrame, LengthLimit)
{
    Bytes longest = nx5(0x01, Bytes(1013, 0x5A));
    ASSERT_EQ(longest.size(), 1023u);
    Bytes too_long = nx5(0x01, Bytes(1014, 0x5A));
    const Bytes tail = nx5(0x02, {0x07});

    Feed<nx5_serialdisp_frame> r;
    r.push({longest});
    EXPECT_EQ(r.frames, Frames{longest});
    r.frames.clear();
    // Reset at the length bytes; the rest is noise, and the next frame comes.
    r.push({too_long, tail});
    EXPECT_EQ(r.frames, Frames{tail});
    EXPECT_EQ(r.out, "");
}

TEST(Nx5PttFrame, TwentyEightByteKeyReports)
{
    Bytes payload(18, 0x00);
    payload[0] = 0x01;
    payload[1] = 0x70;
    payload[14] = 0x27; // frame byte 22
    payload[15] = 0x01; // frame byte 23
    auto with = [&](size_t at, uint8_t v) {
        Bytes p = payload;
        p[at - 8] = v;
        return nx5(0x01, p);
    };
    struct Case {
        const char *name;
        Bytes frame;
        int want;
    } cases[] = {
        {"press", nx5(0x01, payload), 1},
        {"byte 23 zero releases", with(23, 0x00), 0},
        {"byte 8", with(8, 0x02), -1},
        {"byte 9", with(9, 0x71), -1},
        {"byte 22", with(22, 0x28), -1},
        {"L = 17", nx5(0x01, Bytes(payload.begin(), payload.end() - 1)), -1},
    };
    for (const Case &c : cases) {
        Feed<nx5_serialdisp_frame> r;
        r.push({c.frame});
        ASSERT_EQ(r.frames.size(), 1u) << c.name;
        EXPECT_EQ(class_control_nx5::ptt_frame(r.frames[0].data(), r.frames[0].size()), c.want) << c.name;
    }
}

// ---- NX700: 'D', big-endian L, L bytes; 100 ms between bytes at most ----

struct Nx700Run {
    uint64_t now = 5000;
    Frames frames;
    std::string out;
    nx700_serialdisp_frame f{[this](const uint8_t *p, size_t n) { frames.emplace_back(p, p + n); },
                             [this] { return now; }};

    // Each byte with the milliseconds that passed before it.
    void push(const Bytes &b, const std::vector<uint64_t> &gaps = {})
    {
        testing::internal::CaptureStdout();
        for (size_t i = 0; i < b.size(); ++i) {
            now += i < gaps.size() ? gaps[i] : 1;
            f.push(b[i]);
        }
        out += testing::internal::GetCapturedStdout();
    }
};

TEST(Nx700SerialdispFrame, FramesAndTimeOut)
{
    const Bytes up{0x44, 0x00, 0x02, 0x10, 0x01};
    const Bytes empty{0x44, 0x00, 0x00};
    const std::string timeout = "nx700_serialdisp_frame: timeout!\n";
    struct Case {
        const char *name;
        Bytes in;
        std::vector<uint64_t> gaps;
        Frames want;
        std::string out;
    } cases[] = {
        {"one frame", up, {}, {up}, ""},
        {"noise before it", cat({{0x00, 0x12}, up}), {}, {up}, ""},
        {"L = 0", cat({empty, up}), {}, {empty, up}, ""},
        {"100 ms between bytes is still one frame", up, {0, 100, 100, 100, 100}, {up}, ""},
        {"150 ms before the third byte", up, {0, 0, 150, 0, 0}, {}, timeout},
        {"a 'D' after the time-out opens the next frame",
         cat({{0x44, 0x00}, up}),
         {0, 0, 101},
         {up},
         timeout},
        {"a long wait before a frame is no time-out", up, {60000}, {up}, ""},
    };
    for (const Case &c : cases) {
        Nx700Run r;
        r.push(c.in, c.gaps);
        EXPECT_EQ(r.frames, c.want) << c.name;
        EXPECT_EQ(r.out, c.out) << c.name;
    }
}

TEST(Nx700SerialdispFrame, LengthLimitAndStateAcrossCalls)
{
    Nx700Run r;
    Bytes longest = cat({{0x44, 0x01, 0xFC}, Bytes(508, 0x44)});
    r.push(longest);
    EXPECT_EQ(r.frames, Frames{longest});
    r.frames.clear();
    // L = 509 resets at once; the following bytes hunt for a 'D'.
    r.push({0x44, 0x01, 0xFD, 0x00, 0x44, 0x00, 0x01});
    r.push({0x7E});
    EXPECT_EQ(r.frames, (Frames{{0x44, 0x00, 0x01, 0x7E}}));
    EXPECT_EQ(r.out, "");
}

} // namespace
