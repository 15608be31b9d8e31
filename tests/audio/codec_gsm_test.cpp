#include "audio/codec_gsm.h"

#include "codec_test_helpers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <vector>

namespace
{

using namespace codectest;
using Bytes = std::vector<uint8_t>;

constexpr int16_t kUnwritten = 12345;

const Bytes kSilence = {0xD8, 0x20, 0xA2, 0xE1, 0x5A, 0x50, 0x00, 0x49, 0x24, 0x92, 0x49,
                        0x24, 0x50, 0x00, 0x49, 0x24, 0x92, 0x49, 0x24, 0x50, 0x00, 0x49,
                        0x24, 0x92, 0x49, 0x24, 0x50, 0x00, 0x49, 0x24, 0x92, 0x49, 0x24};

TEST(CodecGsmSetup, BothHalvesReportTheGsmSizes)
{
    CodecGsm codec(0, 0, 0);
    ASSERT_EQ(codec.isInitialized(), 1);
    EXPECT_EQ(codec.getEncodedBlockSize(), 33);
    EXPECT_EQ(codec.getDecodedBlockSize(), 160);
    EXPECT_EQ(codec.getSampleRate(), 8000);
    EXPECT_EQ(codec.getSampleSize(), 2);
    EXPECT_EQ(codec.getSampleSign(), 1);
    EXPECT_EQ(codec.getFrameRate(), 50);
    EXPECT_STREQ(codec.getName(), "gsm");
    EXPECT_EQ(codec.getPayloadType(), 3);
    EXPECT_EQ(codec.resetEncoder(), 0);
    EXPECT_EQ(codec.resetDecoder(), 0);
}

TEST(CodecGsmSetup, UnknownInitTypesLeaveItUninitialised)
{
    for (int type : {3, -1, 100}) {
        CodecGsm codec(type, 0, 0);
        EXPECT_EQ(codec.isInitialized(), 0) << type;
        Bytes enc(33, 0x11);
        std::vector<int16_t> pcm(160, 5);
        EXPECT_EQ(codec.encode(enc.data(), pcm.data()), -1);
        EXPECT_EQ(codec.decode(pcm.data(), enc.data()), -1);
        EXPECT_EQ(codec.decodeFrame(pcm.data(), enc.data(), 1), -1);
        EXPECT_EQ(enc[0], 0x11);
        EXPECT_EQ(pcm[0], 5);
    }
}

TEST(CodecGsmSetup, MissingHalfRefusesItsWork)
{
    Bytes enc(33);
    std::vector<int16_t> pcm(160, 0);
    CodecGsm encoderOnly(1, 0, 0);
    ASSERT_EQ(encoderOnly.isInitialized(), 1);
    EXPECT_EQ(encoderOnly.encode(enc.data(), pcm.data()), 0);
    EXPECT_EQ(encoderOnly.decode(pcm.data(), enc.data()), -1);
    EXPECT_EQ(encoderOnly.decodeFrame(pcm.data(), enc.data(), 1), -1);
    CodecGsm decoderOnly(2, 0, 0);
    ASSERT_EQ(decoderOnly.isInitialized(), 1);
    EXPECT_EQ(decoderOnly.encode(enc.data(), pcm.data()), -1);
    EXPECT_EQ(decoderOnly.decode(pcm.data(), enc.data()), 0);
}

TEST(CodecGsmFrames, SilenceEncodesToTheSilenceFrame)
{
    CodecGsm codec(0, 0, 0);
    std::vector<int16_t> zero(160, 0);
    Bytes enc(33);
    ASSERT_EQ(codec.encode(enc.data(), zero.data()), 0);
    EXPECT_EQ(enc, kSilence);
    EXPECT_EQ(Bytes(CodecGsm::kSilenceFrame, CodecGsm::kSilenceFrame + 33), kSilence);
}

TEST(CodecGsmFrames, ToneKeepsItsLevelWithin3dB)
{
    CodecGsm codec(0, 0, 0);
    EXPECT_LT(std::abs(toneRoundTripGain(codec)), 3.0);
}

TEST(CodecGsmFrames, FastAndLtpCutOptionsStillCarryTheTone)
{
    CodecGsm codec(0, 1, 1);
    ASSERT_EQ(codec.isInitialized(), 1);
    EXPECT_LT(std::abs(toneRoundTripGain(codec)), 3.0);
}

TEST(CodecGsmConcealment, LostFrameDecodesTheSilenceFrameWhateverTheInput)
{
    CodecGsm lostCodec(0, 0, 0), silenceCodec(0, 0, 0);
    Bytes garbage(33, 0xA5);
    std::vector<int16_t> lost(160, 1), silence(160, 2);
    ASSERT_EQ(lostCodec.decodeFrame(lost.data(), garbage.data(), 1), 0);
    ASSERT_EQ(silenceCodec.decode(silence.data(), kSilence.data()), 0);
    EXPECT_EQ(lost, silence);
    EXPECT_LT(rms(lost.data(), lost.size()), 20.0);
    // The input pointer is not read at all.
    ASSERT_EQ(lostCodec.decodeFrame(lost.data(), nullptr, 1), 0);
}

TEST(CodecGsmFrames, GarbageFramesDecodeWithoutHarm)
{
    CodecGsm codec(0, 0, 0);
    std::mt19937 rng(5);
    std::vector<int16_t> out(160);
    for (int i = 0; i < 200; ++i) {
        Bytes frame(33);
        for (auto &b : frame)
            b = static_cast<uint8_t>(rng());
        std::fill(out.begin(), out.end(), kUnwritten);
        ASSERT_EQ(codec.decode(out.data(), frame.data()), 0);
        // Every sample is written, rejected frame or not.
        ASSERT_LT(std::count(out.begin(), out.end(), kUnwritten), 8) << i;
    }
}

TEST(CodecGsmConcealment, FrameWithoutTheGsmSignatureIsPlayedAsLost)
{
    CodecGsm rejected(0, 0, 0), lost(0, 0, 0);
    Bytes frame(kSilence);
    frame[0] = 0x18; // signature nibble 1 instead of 0xD
    std::vector<int16_t> a(160, kUnwritten), b(160, 0);
    ASSERT_EQ(rejected.decode(a.data(), frame.data()), 0);
    ASSERT_EQ(lost.decodeFrame(b.data(), nullptr, 1), 0);
    EXPECT_EQ(a, b);
}

TEST(CodecGsmInfo, BothHalvesPrintFastAndLtpCut)
{
    CodecGsm codec(0, 1, 0);
    EXPECT_EQ(capturePrintInfo(codec), std::string(kBaseInfoBoth) + "Codec name              : gsm\n"
                                                                    "Decoded block size      : 160\n"
                                                                    "Encoded block size      : 33\n"
                                                                    "Sample Size             : 2\n"
                                                                    "Sample Sign             : 1\n"
                                                                    "\n"
                                                                    "GSM_OPT_FAST\t        : 1\n"
                                                                    "GSM_OPT_LTP_CUT         : 0\n");
}

TEST(CodecGsmInfo, EncoderOnlyPrintsLtpCut)
{
    CodecGsm codec(1, 0, 1);
    EXPECT_EQ(capturePrintInfo(codec), "Initialized             : 1\n"
                                       "Initialization type     : Encoder only\n"
                                       "Codec name              : gsm\n"
                                       "Decoded block size      : 160\n"
                                       "Encoded block size      : 33\n"
                                       "Sample Size             : 2\n"
                                       "Sample Sign             : 1\n"
                                       "\n"
                                       "GSM_OPT_FAST\t        : 0\n"
                                       "GSM_OPT_LTP_CUT         : 1\n");
}

TEST(CodecGsmInfo, DecoderOnlyOmitsLtpCut)
{
    CodecGsm codec(2, 0, 1);
    EXPECT_EQ(capturePrintInfo(codec), "Initialized             : 1\n"
                                       "Initialization type     : Decoder only\n"
                                       "Codec name              : gsm\n"
                                       "Decoded block size      : 160\n"
                                       "Encoded block size      : 33\n"
                                       "Sample Size             : 2\n"
                                       "Sample Sign             : 1\n"
                                       "\n"
                                       "GSM_OPT_FAST\t        : 0\n");
}

TEST(CodecGsmInfo, UninitialisedPrintsNoInitTypeForUnknownValues)
{
    CodecGsm codec(5, 0, 0);
    EXPECT_EQ(capturePrintInfo(codec), "Initialized             : 0\n"
                                       "Initialization type     : "
                                       "Codec name              : gsm\n");
}

} // namespace
