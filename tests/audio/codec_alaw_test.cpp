#include "audio/codec_alaw.h"

#include "codec_test_helpers.h"

#include <gtest/gtest.h>
#include <spandsp.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace
{

std::string capturePrintInfo(Codec &codec)
{
    fflush(stdout);
    testing::internal::CaptureStdout();
    codec.printInfo();
    fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

TEST(AlawConversion, EncodesTheKnownCodes)
{
    EXPECT_EQ(alaw_encode(0), 0xD5);
    EXPECT_EQ(alaw_encode(-1), 0x55);
    EXPECT_EQ(alaw_encode(32767), 0xAA);
    EXPECT_EQ(alaw_encode(-32768), 0x2A);
    EXPECT_EQ(alaw_encode(-16), 0x54);
    EXPECT_EQ(alaw_encode(15), 0xD5);
    EXPECT_EQ(alaw_encode(16), 0xD4);
    EXPECT_EQ(alaw_encode(255), 0xDA);
    EXPECT_EQ(alaw_encode(256), 0xC5);
    EXPECT_EQ(alaw_encode(1000), 0xFA);
    EXPECT_EQ(alaw_encode(-1000), 0x7A);
}

TEST(AlawConversion, SamplesBeyondSixteenBitsSaturate)
{
    EXPECT_EQ(alaw_encode(32768), 0xAA);
    EXPECT_EQ(alaw_encode(40000), 0xAA);
    EXPECT_EQ(alaw_encode(INT_MAX), 0xAA);
    EXPECT_EQ(alaw_encode(-32769), 0x2A);
    EXPECT_EQ(alaw_encode(-40000), 0x2A);
    EXPECT_EQ(alaw_encode(INT_MIN), 0x2A);
}

TEST(AlawConversion, DecodesTheKnownCodes)
{
    EXPECT_EQ(alaw_decode(0xD5), 8);
    EXPECT_EQ(alaw_decode(0x55), -8);
    EXPECT_EQ(alaw_decode(0xAA), 32256);
    EXPECT_EQ(alaw_decode(0x2A), -32256);
    EXPECT_EQ(alaw_decode(0x00), -5504);
    EXPECT_EQ(alaw_decode(0xC5), 264);
}

TEST(AlawConversion, DecodedValuesStayWithinTheA_lawRange)
{
    for (int code = 0; code < 256; ++code) {
        const int v = alaw_decode(static_cast<uint8_t>(code));
        const int mag = v < 0 ? -v : v;
        EXPECT_GE(mag, 8) << code;
        EXPECT_LE(mag, 32256) << code;
        EXPECT_EQ(v > 0, (code & 0x80) != 0) << code;
    }
}

TEST(AlawConversion, EveryCodeSurvivesDecodeThenEncode)
{
    for (int code = 0; code < 256; ++code)
        EXPECT_EQ(alaw_encode(alaw_decode(static_cast<uint8_t>(code))), code) << code;
}

TEST(AlawConversion, DecodingAgreesWithAnIndependentG711)
{
    for (int code = 0; code < 256; ++code)
        EXPECT_EQ(alaw_decode(static_cast<uint8_t>(code)), alaw_to_linear(static_cast<uint8_t>(code)))
            << code;
}

TEST(AlawConversion, EncodingAgreesWithAnIndependentG711UpToTheNegativeMagnitude)
{
    // For negative samples the reference quantises -x-1; this codec keeps the
    // magnitude -x so that a sample and its negation mirror each other.
    for (int x = 0; x <= 32767; ++x)
        ASSERT_EQ(alaw_encode(x), linear_to_alaw(x)) << x;
    for (int x = -32767; x < 0; ++x)
        ASSERT_EQ(alaw_encode(x), linear_to_alaw(x - 1)) << x;
}

TEST(AlawConversion, NegationFlipsOnlyTheSignBit)
{
    for (int x = 1; x <= 32767; ++x)
        ASSERT_EQ(alaw_encode(-x), alaw_encode(x) ^ 0x80) << x;
}

TEST(AlawConversion, QuantisationErrorIsWithinHalfAStepOfTheSegment)
{
    for (int x = -32767; x <= 32767; ++x) {
        const int back = alaw_decode(alaw_encode(x));
        const int mag = x < 0 ? -x : x;
        // Step of the segment holding the magnitude: 16 up to 511, doubling above.
        int step = 16;
        for (int top = 512; top <= mag && top < 32768; top <<= 1)
            step <<= 1;
        ASSERT_LE(std::abs(back - x), step / 2) << x;
    }
}

TEST(AlawConversion, EncodingIsMonotonic)
{
    int previous = alaw_decode(alaw_encode(-32768));
    for (int x = -32767; x <= 32767; ++x) {
        const int v = alaw_decode(alaw_encode(x));
        ASSERT_GE(v, previous) << x;
        previous = v;
    }
}

TEST(CodecAlawFrames, ConstructedCodecReportsItsSizes)
{
    CodecAlaw codec(160);
    EXPECT_EQ(codec.isInitialized(), 1);
    EXPECT_EQ(codec.getEncodedBlockSize(), 160);
    EXPECT_EQ(codec.getDecodedBlockSize(), 160);
    EXPECT_EQ(codec.getSampleRate(), 8000);
    EXPECT_EQ(codec.getSampleSize(), 2);
    EXPECT_EQ(codec.getSampleSign(), 1);
    EXPECT_EQ(codec.getFrameRate(), 50);
    EXPECT_STREQ(codec.getName(), "alaw");
    EXPECT_EQ(codec.getPayloadType(), 8);
    EXPECT_EQ(codec.resetEncoder(), 0);
}

TEST(CodecAlawFrames, SilenceDecodesToEight)
{
    CodecAlaw codec(160);
    std::vector<int16_t> pcm(160, 0), back(160, 1);
    std::vector<uint8_t> enc(160, 0);
    ASSERT_EQ(codec.encode(enc.data(), pcm.data()), 0);
    for (uint8_t b : enc)
        EXPECT_EQ(b, 0xD5);
    ASSERT_EQ(codec.decode(back.data(), enc.data()), 0);
    for (int16_t s : back)
        EXPECT_EQ(s, 8);
}

TEST(CodecAlawFrames, EncodeIsPerSampleConversion)
{
    CodecAlaw codec(160);
    std::vector<int16_t> pcm(160);
    for (int i = 0; i < 160; ++i)
        pcm[i] = static_cast<int16_t>(i * 409 - 32768);
    std::vector<uint8_t> enc(160);
    ASSERT_EQ(codec.encode(enc.data(), pcm.data()), 0);
    for (int i = 0; i < 160; ++i)
        EXPECT_EQ(enc[i], alaw_encode(pcm[i])) << i;
}

// The frame loops are the conversions sample for sample: every 16-bit value
// and every code, with frames of any size starting at any alignment (the
// loops work on whole words in the middle of a frame).
TEST(CodecAlawFrames, FramesOfAnySizeAndAlignmentConvertEverySampleAndCode)
{
    std::vector<int16_t> all(65536 + 8);
    for (int i = 0; i < 65536; ++i)
        all[i] = static_cast<int16_t>(i - 32768);
    std::vector<uint8_t> codes(512 + 8);
    for (int i = 0; i < 512; ++i)
        codes[i] = static_cast<uint8_t>(i * 37 + i / 256);
    for (int size : {1, 2, 3, 4, 5, 7, 8, 9, 160, 161}) {
        CodecAlaw codec(size);
        for (int skew = 0; skew < 4; ++skew) {
            SCOPED_TRACE("size " + std::to_string(size) + ", skew " + std::to_string(skew));
            std::vector<uint8_t> enc(size + 4, 0x99);
            for (int at = 0; at + size <= 65536; at += size) {
                const int16_t *in = all.data() + at + skew;
                ASSERT_EQ(codec.encode(enc.data() + skew, in), 0);
                for (int i = 0; i < size; ++i)
                    ASSERT_EQ(enc[skew + i], alaw_encode(in[i])) << "sample " << in[i];
                ASSERT_EQ(enc[skew + size], 0x99) << "wrote past the frame";
            }
            std::vector<int16_t> dec(size + 4, 0x1234);
            for (int at = 0; at + size <= 512; at += size) {
                const uint8_t *in = codes.data() + at + skew;
                ASSERT_EQ(codec.decode(dec.data() + skew, in), 0);
                for (int i = 0; i < size; ++i)
                    ASSERT_EQ(dec[skew + i], alaw_decode(in[i])) << "code " << int(in[i]);
                ASSERT_EQ(dec[skew + size], 0x1234) << "wrote past the frame";
            }
        }
    }
}

TEST(CodecAlawFrames, ToneKeepsItsLevelWithin3dB)
{
    CodecAlaw codec(160);
    EXPECT_LT(std::abs(codectest::toneRoundTripGain(codec)), 3.0);
}

TEST(CodecAlawConcealment, LostFrameBeforeAnyGoodFrameIsCodeZero)
{
    CodecAlaw codec(160);
    std::vector<int16_t> out(160, 0);
    ASSERT_EQ(codec.decodeFrame(out.data(), nullptr, 1), 0);
    for (int16_t s : out)
        EXPECT_EQ(s, -5504);
}

TEST(CodecAlawConcealment, LostFrameRepeatsTheLastGoodFrame)
{
    CodecAlaw codec(160);
    std::vector<uint8_t> frame(160);
    for (int i = 0; i < 160; ++i)
        frame[i] = static_cast<uint8_t>(i * 7 + 3);
    std::vector<int16_t> good(160), concealed(160);
    ASSERT_EQ(codec.decodeFrame(good.data(), frame.data(), 0), 0);
    std::vector<uint8_t> garbage(160, 0x77);
    ASSERT_EQ(codec.decodeFrame(concealed.data(), garbage.data(), 1), 0);
    EXPECT_EQ(concealed, good);
    ASSERT_EQ(codec.decodeFrame(concealed.data(), nullptr, 1), 0);
    EXPECT_EQ(concealed, good);
}

TEST(CodecAlawConcealment, ResetDecoderForgetsTheLastFrame)
{
    CodecAlaw codec(160);
    std::vector<uint8_t> frame(160, 0xAA);
    std::vector<int16_t> out(160);
    ASSERT_EQ(codec.decode(out.data(), frame.data()), 0);
    EXPECT_EQ(codec.resetDecoder(), 0);
    ASSERT_EQ(codec.decodeFrame(out.data(), nullptr, 1), 0);
    for (int16_t s : out)
        EXPECT_EQ(s, -5504);
}

TEST(CodecAlawUninitialised, ZeroOrNegativeBlockSizeRefusesEveryFrame)
{
    for (int size : {0, -1, -160}) {
        CodecAlaw codec(size);
        EXPECT_EQ(codec.isInitialized(), 0);
        uint8_t enc[4] = {1, 2, 3, 4};
        int16_t pcm[4] = {5, 6, 7, 8};
        EXPECT_EQ(codec.encode(enc, pcm), -1);
        EXPECT_EQ(codec.decode(pcm, enc), -1);
        EXPECT_EQ(codec.decodeFrame(pcm, enc, 1), -1);
        EXPECT_EQ(enc[0], 1);
        EXPECT_EQ(pcm[0], 5);
        EXPECT_EQ(codec.resetDecoder(), 0);
    }
}

TEST(CodecAlawInfo, InitialisedCodecPrintsAllLines)
{
    CodecAlaw codec(160);
    EXPECT_EQ(capturePrintInfo(codec), "Initialized             : 1\n"
                                       "Initialization type     : Encoder and Decoder\n"
                                       "Codec name              : alaw\n"
                                       "Decoded block size      : 160\n"
                                       "Encoded block size      : 160\n"
                                       "Sample Size             : 2\n"
                                       "Sample Sign             : 1\n");
}

TEST(CodecAlawInfo, UninitialisedCodecPrintsOnlyTheFirstThreeLines)
{
    CodecAlaw codec(0);
    EXPECT_EQ(capturePrintInfo(codec), "Initialized             : 0\n"
                                       "Initialization type     : Encoder and Decoder\n"
                                       "Codec name              : alaw\n");
}

} // namespace
