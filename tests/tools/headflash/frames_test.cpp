// The flasher's frames: requests against literal bytes, answers classified
// from literal bytes, and the answer search over noisy, split, truncated and
// odd-address input.
#include "tools/headflash/frames.h"

#include <gtest/gtest.h>

#include "tests/odd_buffer.h"

using namespace headflash;
using B = std::vector<uint8_t>;

namespace
{

B answer(uint8_t hi, uint8_t lo, uint8_t crc_hi, uint8_t crc_lo)
{
    return {0x59, 0x45, 0x41, 0x48, 0x00, 0x04, hi, lo, crc_hi, crc_lo};
}

Answer classify(const B &b)
{
    return classify_answer(b.data(), b.size());
}

std::string text(const B &b)
{
    return answer_text(classify(b));
}

} // namespace

TEST(RequestFrame, QueryIsMagicLengthCommandAndCrc)
{
    EXPECT_EQ(request_frame(CMD_RFS), (B{0xFF, 0x55, 0x43, 0x4B, 0x00, 0x04, 0x00, 0x03, 0xEC, 0xA3}));
}

TEST(RequestFrame, EveryPlainCommandIsTenBytes)
{
    EXPECT_EQ(request_frame(CMD_EFM_ENTER), (B{0xFF, 0x55, 0x43, 0x4B, 0x00, 0x04, 0x00, 0x01, 0xCC, 0xE1}));
    EXPECT_EQ(request_frame(CMD_EFM_LEAVE), (B{0xFF, 0x55, 0x43, 0x4B, 0x00, 0x04, 0x00, 0x02, 0xFC, 0x82}));
    EXPECT_EQ(request_frame(CMD_RST), (B{0xFF, 0x55, 0x43, 0x4B, 0x00, 0x04, 0x00, 0x20, 0xF8, 0xA2}));
}

TEST(RequestFrame, BlockRequestCarriesNumberDataAndCrc)
{
    B data(BLOCK_SIZE);
    for (size_t i = 0; i < data.size(); i++)
        data[i] = static_cast<uint8_t>(i * 37 + 0x80);
    for (size_t off : odd_offsets()) {
        OddBuffer in(data, off);
        B f = block_request_frame(CMD_PRG, 0x1234, in.data());
        ASSERT_EQ(f.size(), 268u);
        EXPECT_EQ(B(f.begin(), f.begin() + 10),
                  (B{0xFF, 0x55, 0x43, 0x4B, 0x01, 0x06, 0x00, 0x10, 0x12, 0x34}));
        EXPECT_EQ(B(f.begin() + 10, f.end() - 2), data);
        EXPECT_EQ(f[266], 0x20);
        EXPECT_EQ(f[267], 0x5C);
    }
    B v = block_request_frame(CMD_VRF, 0xFFFF, data.data());
    EXPECT_EQ(v[7], 0x11);
    EXPECT_EQ(v[8], 0xFF);
    EXPECT_EQ(v[9], 0xFF);
}

TEST(AnswerResult, ZeroStatusIsOk)
{
    EXPECT_EQ(classify(answer(0x00, 0x00, 0xDC, 0xC0)).kind, Answer::OK);
    EXPECT_EQ(text(answer(0x00, 0x00, 0xDC, 0xC0)), "OK");
}

TEST(AnswerResult, BootStateFlagsInOneStatusText)
{
    Answer a = classify(answer(0x83, 0x00, 0x92, 0x0B));
    EXPECT_EQ(a.kind, Answer::STATUS);
    EXPECT_TRUE(a.boot_is_running);
    EXPECT_TRUE(a.boot_is_set);
    EXPECT_EQ(answer_text(a), "STATUS(boot_is_running:1,boot_is_set:1)");
    EXPECT_EQ(text(answer(0x80, 0x00, 0xC7, 0x58)), "STATUS(boot_is_running:0,boot_is_set:0)");
    EXPECT_EQ(text(answer(0x81, 0x00, 0xF4, 0x69)), "STATUS(boot_is_running:1,boot_is_set:0)");
    EXPECT_EQ(text(answer(0x82, 0x00, 0xA1, 0x3A)), "STATUS(boot_is_running:0,boot_is_set:1)");
    EXPECT_EQ(text(answer(0x8F, 0xFF, 0xC9, 0x96)), "STATUS(boot_is_running:1,boot_is_set:1)");
}

TEST(AnswerResult, OtherStatusesAreErrors)
{
    EXPECT_EQ(classify(answer(0x70, 0x00, 0xD4, 0x99)).kind, Answer::ERR);
    // -0x7000 is not below -0x7000.
    EXPECT_EQ(classify(answer(0x90, 0x00, 0xC4, 0x2B)).kind, Answer::ERR);
    EXPECT_EQ(text(answer(0x70, 0x00, 0xD4, 0x99)), "ERR");
    EXPECT_EQ(classify(answer(0x00, 0x01, 0xCC, 0xE1)).kind, Answer::ERR);
    EXPECT_EQ(classify(answer(0x7F, 0xFF, 0xDA, 0x57)).kind, Answer::ERR);
    Answer minus_one = classify(answer(0xFF, 0xFF, 0xC1, 0xCF));
    EXPECT_EQ(minus_one.kind, Answer::ERR);
    EXPECT_EQ(minus_one.status, -1);
}

TEST(AnswerResult, BadCrcLengthOrSizeIsError)
{
    EXPECT_EQ(classify(answer(0x00, 0x00, 0xDC, 0xC1)).kind, Answer::ERR);
    EXPECT_EQ(classify(answer(0x83, 0x00, 0x0B, 0x92)).kind, Answer::ERR);
    B wrong_length = {0x59, 0x45, 0x41, 0x48, 0x00, 0x05, 0x00, 0x00, 0xDC, 0xC0};
    EXPECT_EQ(classify(wrong_length).kind, Answer::ERR);
    B also_wrong = {0x59, 0x45, 0x41, 0x48, 0x01, 0x04, 0x00, 0x00, 0xDC, 0xC0};
    EXPECT_EQ(classify(also_wrong).kind, Answer::ERR);
    B ok = answer(0x00, 0x00, 0xDC, 0xC0);
    EXPECT_EQ(classify_answer(ok.data(), 9).kind, Answer::ERR);
    B longer = ok;
    longer.push_back(0);
    EXPECT_EQ(classify(longer).kind, Answer::ERR);
    EXPECT_EQ(classify_answer(nullptr, 0).kind, Answer::ERR);
}

TEST(AnswerResult, SameResultAtOddAddresses)
{
    for (size_t off : odd_offsets()) {
        OddBuffer a(answer(0x83, 0x00, 0x92, 0x0B), off);
        Answer r = classify_answer(a.data(), a.size());
        EXPECT_EQ(r.kind, Answer::STATUS) << off;
        EXPECT_EQ(r.status, static_cast<int16_t>(0x8300)) << off;
        OddBuffer e(answer(0x8F, 0xFF, 0xC9, 0x96), off);
        EXPECT_EQ(classify_answer(e.data(), e.size()).status, static_cast<int16_t>(0x8FFF)) << off;
    }
}

TEST(AnswerSearch, FoundAfterNoise)
{
    B buf = {0x00, 0x59, 0x45, 0x41, 0xFF, 0x59, 0x45, 0x41, 0x48, 0x00, 0x05, 0x13};
    size_t noise = buf.size();
    B a = answer(0x00, 0x00, 0xDC, 0xC0);
    buf.insert(buf.end(), a.begin(), a.end());
    for (size_t off : odd_offsets()) {
        OddBuffer b(buf, off);
        EXPECT_EQ(find_answer(b.data(), b.size()), static_cast<long>(noise));
    }
}

TEST(AnswerSearch, IncompleteAnswerIsNotYetFound)
{
    B a = answer(0x83, 0x00, 0x92, 0x0B);
    for (size_t n = 0; n < a.size(); n++)
        EXPECT_EQ(find_answer(a.data(), n), -1) << n;
    EXPECT_EQ(find_answer(a.data(), a.size()), 0);
}

TEST(AnswerSearch, FirstOfTwoAnswersWins)
{
    B a = answer(0x70, 0x00, 0xD4, 0x99);
    B b = answer(0x00, 0x00, 0xDC, 0xC0);
    a.insert(a.end(), b.begin(), b.end());
    EXPECT_EQ(find_answer(a.data(), a.size()), 0);
}

TEST(AnswerSearch, GarbageHasNoAnswer)
{
    B g(1024);
    for (size_t i = 0; i < g.size(); i++)
        g[i] = static_cast<uint8_t>(i % 5 == 4 ? 0x80 + i : "YEAH"[i % 4]);
    EXPECT_EQ(find_answer(g.data(), g.size()), -1);
}

TEST(HexText, UpperCaseBytesSeparatedBySpaces)
{
    B b = {0x00, 0x0A, 0xFF, 0x80};
    EXPECT_EQ(hex_bytes(b.data(), b.size()), "00 0A FF 80");
    EXPECT_EQ(hex_bytes(b.data(), 0), "");
}
