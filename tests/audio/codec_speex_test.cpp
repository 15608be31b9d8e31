#include "audio/codec_speex.h"

#include "codec_test_helpers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <random>
#include <vector>

namespace
{

using namespace codectest;
using Bytes = std::vector<uint8_t>;

constexpr int16_t kUnwritten = 12345;

// Encoded bytes are not compared: the board's libspeex is a fixed-point
// build whose bitstream differs from the PC's. Levels and sizes are.

TEST(CodecSpeexSetup, DefaultCodecIs20BytesPer160Samples)
{
    CodecSpeex codec(0, 8000, 0, 0);
    ASSERT_EQ(codec.isInitialized(), 1);
    EXPECT_EQ(codec.getEncodedBlockSize(), 20);
    EXPECT_EQ(codec.getDecodedBlockSize(), 160);
    EXPECT_EQ(codec.getSampleRate(), 8000);
    EXPECT_EQ(codec.getSampleSize(), 2);
    EXPECT_EQ(codec.getSampleSign(), 1);
    EXPECT_EQ(codec.getFrameRate(), 50);
    EXPECT_STREQ(codec.getName(), "speex");
    EXPECT_EQ(codec.getPayloadType(), 97);
}

TEST(CodecSpeexSetup, BlockSizeFollowsTheEncodersEffectiveRate)
{
    CodecSpeex codec(0, 15000, 0, 0);
    ASSERT_EQ(codec.isInitialized(), 1);
    EXPECT_EQ(codec.getEncodedBlockSize(), 38);
}

TEST(CodecSpeexSetup, BlockSizeArithmetic)
{
    EXPECT_EQ(CodecSpeex::blockSizeForBitRate(8000), 20);
    EXPECT_EQ(CodecSpeex::blockSizeForBitRate(15000), 38);
    EXPECT_EQ(CodecSpeex::blockSizeForBitRate(2000), 5);
    EXPECT_EQ(CodecSpeex::blockSizeForBitRate(2150), 6);
    EXPECT_EQ(CodecSpeex::blockSizeForBitRate(24600), 62);
    EXPECT_EQ(CodecSpeex::blockSizeForBitRate(400), 1);
    EXPECT_EQ(CodecSpeex::blockSizeForBitRate(1), 1);
    EXPECT_EQ(CodecSpeex::blockSizeForBitRate(0), 0);
    EXPECT_EQ(CodecSpeex::blockSizeForBitRate(-8000), 0);
}

TEST(CodecSpeexSetup, DecoderOnlyTakesTheGivenRateAndRefusesToEncode)
{
    CodecSpeex codec(2, 2000, 0, 0);
    ASSERT_EQ(codec.isInitialized(), 1);
    EXPECT_EQ(codec.getEncodedBlockSize(), 5);
    EXPECT_EQ(codec.getDecodedBlockSize(), 160);
    Bytes enc(5);
    std::vector<int16_t> pcm(160, 0);
    EXPECT_EQ(codec.encode(enc.data(), pcm.data()), -1);
    EXPECT_EQ(codec.resetEncoder(), -1);
    EXPECT_EQ(codec.resetDecoder(), 0);
    EXPECT_EQ(codec.decode(pcm.data(), enc.data()), 0);
}

TEST(CodecSpeexSetup, DecoderOnlyWithoutARateCannotCarryVoice)
{
    for (int rate : {0, -1, INT_MIN}) {
        CodecSpeex codec(2, rate, 0, 0);
        EXPECT_EQ(codec.isInitialized(), 0) << rate;
    }
}

TEST(CodecSpeexSetup, EncoderOnlyRefusesToDecode)
{
    CodecSpeex codec(1, 8000, 0, 0);
    ASSERT_EQ(codec.isInitialized(), 1);
    Bytes enc(20);
    std::vector<int16_t> pcm(160, 0);
    EXPECT_EQ(codec.encode(enc.data(), pcm.data()), 0);
    EXPECT_EQ(codec.decode(pcm.data(), enc.data()), -1);
    EXPECT_EQ(codec.decodeFrame(pcm.data(), enc.data(), 1), -1);
    EXPECT_EQ(codec.resetDecoder(), -1);
    EXPECT_EQ(codec.resetEncoder(), 0);
}

TEST(CodecSpeexSetup, UnknownInitTypesLeaveItUninitialised)
{
    for (int type : {3, -1}) {
        CodecSpeex codec(type, 8000, 0, 0);
        EXPECT_EQ(codec.isInitialized(), 0);
        Bytes enc(20, 0x11);
        std::vector<int16_t> pcm(160, 5);
        EXPECT_EQ(codec.encode(enc.data(), pcm.data()), -1);
        EXPECT_EQ(codec.decode(pcm.data(), enc.data()), -1);
        EXPECT_EQ(codec.resetEncoder(), -1);
        EXPECT_EQ(codec.resetDecoder(), -1);
        EXPECT_EQ(enc[0], 0x11);
        EXPECT_EQ(pcm[0], 5);
    }
}

TEST(CodecSpeexFrames, ToneKeepsItsLevelWithin3dB)
{
    CodecSpeex codec(0, 8000, 0, 0);
    EXPECT_LT(std::abs(toneRoundTripGain(codec)), 3.0);
}

TEST(CodecSpeexFrames, ToneKeepsItsLevelWithEnhancementAndFullComplexity)
{
    CodecSpeex codec(0, 15000, 1, 10);
    EXPECT_LT(std::abs(toneRoundTripGain(codec)), 3.0);
}

TEST(CodecSpeexFrames, EncodingLeavesTheInputAlone)
{
    CodecSpeex codec(0, 8000, 0, 0);
    const std::vector<int16_t> in = tone(1000.0, 8000.0, 160);
    std::vector<int16_t> copy = in;
    Bytes enc(20);
    ASSERT_EQ(codec.encode(enc.data(), copy.data()), 0);
    EXPECT_EQ(copy, in);
}

TEST(CodecSpeexConcealment, LostFramesFadeOutInsteadOfFailing)
{
    CodecSpeex codec(0, 8000, 0, 0);
    toneRoundTripGain(codec, 20, 5);
    std::vector<int16_t> out(160);
    double previous = 1e9;
    for (int i = 0; i < 30; ++i) {
        ASSERT_EQ(codec.decodeFrame(out.data(), nullptr, 1), 0);
        previous = rms(out.data(), out.size());
    }
    // After 600 ms of loss the library's concealment has gone quiet.
    EXPECT_LT(previous, 200.0);
}

TEST(CodecSpeexFrames, GarbageFramesDecodeWithoutHarm)
{
    CodecSpeex codec(0, 8000, 0, 0);
    std::mt19937 rng(8);
    std::vector<int16_t> out(160);
    for (int i = 0; i < 200; ++i) {
        Bytes frame(20);
        for (auto &b : frame)
            b = static_cast<uint8_t>(rng());
        std::fill(out.begin(), out.end(), kUnwritten);
        ASSERT_EQ(codec.decode(out.data(), frame.data()), 0);
        // Every sample is written, rejected frame or not.
        ASSERT_LT(std::count(out.begin(), out.end(), kUnwritten), 8) << i;
    }
    EXPECT_EQ(codec.resetDecoder(), 0);
    EXPECT_LT(std::abs(toneRoundTripGain(codec)), 3.0);
}

TEST(CodecSpeexFrames, CorruptFramePlaysAsSilence)
{
    CodecSpeex codec(0, 8000, 0, 0);
    // All bits set announces wideband layers a narrowband decoder refuses.
    Bytes frame(20, 0xFF);
    std::vector<int16_t> out(160, kUnwritten);
    ASSERT_EQ(codec.decode(out.data(), frame.data()), 0);
    EXPECT_EQ(out, std::vector<int16_t>(160, 0));
}

TEST(CodecSpeexInfo, BothHalvesPrintEncoderAndDecoderSettings)
{
    CodecSpeex codec(0, 8000, 0, 0);
    EXPECT_EQ(capturePrintInfo(codec), std::string(kBaseInfoBoth) + "Codec name              : speex\n"
                                                                    "Decoded block size      : 160\n"
                                                                    "Encoded block size      : 20\n"
                                                                    "Sample Size             : 2\n"
                                                                    "Sample Sign             : 1\n"
                                                                    "\n"
                                                                    "Bitrate                 : 8000\n"
                                                                    "Sampling rate           : 8000\n"
                                                                    "Complexity              : 2\n"
                                                                    "VBR                     : 0\n"
                                                                    "ABR                     : 0\n"
                                                                    "VAD                     : 0\n"
                                                                    "DTX                     : 0\n"
                                                                    "ENH                     : 0\n");
}

TEST(CodecSpeexInfo, EncoderOnlyOmitsEnh)
{
    CodecSpeex codec(1, 8000, 1, 10);
    EXPECT_EQ(capturePrintInfo(codec), "Initialized             : 1\n"
                                       "Initialization type     : Encoder only\n"
                                       "Codec name              : speex\n"
                                       "Decoded block size      : 160\n"
                                       "Encoded block size      : 20\n"
                                       "Sample Size             : 2\n"
                                       "Sample Sign             : 1\n"
                                       "\n"
                                       "Bitrate                 : 8000\n"
                                       "Sampling rate           : 8000\n"
                                       "Complexity              : 10\n"
                                       "VBR                     : 0\n"
                                       "ABR                     : 0\n"
                                       "VAD                     : 0\n"
                                       "DTX                     : 0\n");
}

TEST(CodecSpeexInfo, DecoderOnlyPrintsOnlyDecoderSettings)
{
    // A decoder reports the rate of its current mode: before any frame, the
    // library's default narrowband mode (15000 bit/s), not the rate asked for.
    CodecSpeex codec(2, 8000, 1, 0);
    EXPECT_EQ(capturePrintInfo(codec), "Initialized             : 1\n"
                                       "Initialization type     : Decoder only\n"
                                       "Codec name              : speex\n"
                                       "Decoded block size      : 160\n"
                                       "Encoded block size      : 20\n"
                                       "Sample Size             : 2\n"
                                       "Sample Sign             : 1\n"
                                       "\n"
                                       "Bitrate                 : 15000\n"
                                       "Sampling rate           : 8000\n"
                                       "ENH                     : 1\n");
}

TEST(CodecSpeexInfo, UninitialisedPrintsTheFirstThreeItems)
{
    CodecSpeex codec(7, 8000, 0, 0);
    EXPECT_EQ(capturePrintInfo(codec), "Initialized             : 0\n"
                                       "Initialization type     : "
                                       "Codec name              : speex\n");
}

TEST(CodecSpeexInfo, ComplexityOutsideOneToTenKeepsTheDefault)
{
    CodecSpeex defaults(0, 8000, 0, 0);
    const std::string expected = capturePrintInfo(defaults);
    for (int complexity : {0, 11, -3}) {
        CodecSpeex codec(0, 8000, 0, complexity);
        EXPECT_EQ(capturePrintInfo(codec), expected) << complexity;
    }
    CodecSpeex ten(0, 8000, 0, 10);
    EXPECT_NE(capturePrintInfo(ten).find("Complexity              : 10\n"), std::string::npos);
    CodecSpeex one(0, 8000, 0, 1);
    EXPECT_NE(capturePrintInfo(one).find("Complexity              : 1\n"), std::string::npos);
}

} // namespace
