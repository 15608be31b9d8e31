#include "audio/audio_device_ssc.h"
#include "audio/codec_alaw.h"

#include <gtest/gtest.h>

#include <cstring>

TEST(SscWords, PlaybackCodeGoesToBits12To19AndEchoToBits2To9)
{
    EXPECT_EQ(ssc_play_word(0xD5, 0xD5), 0x000D5354u);
    EXPECT_EQ(ssc_play_word(0xFF, 0x00), 0x000FF000u);
    EXPECT_EQ(ssc_play_word(0x00, 0xFF), 0x000003FCu);
    // Nothing outside the 20 meaningful bits.
    EXPECT_EQ(ssc_play_word(0xFF, 0xFF) & ~0xFFFFFu, 0u);
}

TEST(SscWords, SilenceWordOfAZeroSample)
{
    uint8_t c = alaw_encode(0);
    EXPECT_EQ(ssc_play_word(c, c), 0x000D5354u);
}

TEST(SscWords, CapturedCodeIsBits11To18)
{
    EXPECT_EQ(ssc_capture_code(0x0006A800), 0xD5);
    EXPECT_EQ(alaw_decode(ssc_capture_code(0x0006A800)), 8);
    EXPECT_EQ(ssc_capture_code(0xFFF807FF), 0x00);
    EXPECT_EQ(ssc_capture_code(0x0007F800), 0xFF);
}

TEST(SscWords, PeriodsPackAndUnpackWordForWord)
{
    const int16_t samples[8] = {0, -1, 32767, -32768, 1000, -1000, 16, -16};
    uint32_t words[8];
    AudioDeviceSSC::packPlayWords(words, samples, 8, nullptr);
    const uint32_t same[8] = {0xD5354, 0x55154, 0xAA2A8, 0x2A0A8, 0xFA3E8, 0x7A1E8, 0xD4350, 0x54150};
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(words[i], same[i]) << i;

    const uint32_t echo[8] = {0x00, 0xFF, 0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC};
    AudioDeviceSSC::packPlayWords(words, samples, 8, echo);
    const uint32_t echoed[8] = {0xD5000, 0x553FC, 0xAA048, 0x2A0D0, 0xFA158, 0x7A1E0, 0xD4268, 0x542F0};
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(words[i], echoed[i]) << i;

    const uint32_t captured[5] = {0x0006A800, 0xFFF807FF, 0x0007F800, 0x000557FF, 0x00015000};
    int16_t out[5];
    uint32_t codes[5];
    AudioDeviceSSC::unpackCaptureWords(out, codes, captured, 5);
    const int16_t wantSamples[5] = {8, -5504, 848, 32256, -32256};
    const uint32_t wantCodes[5] = {0xD5, 0x00, 0xFF, 0xAA, 0x2A};
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(out[i], wantSamples[i]) << i;
        EXPECT_EQ(codes[i], wantCodes[i]) << i;
    }
}

TEST(SscConfig, RecordCarriesTheBoardsFraming)
{
    pcmlink_cfg r{};
    AudioDeviceSSC::fillConfig(r, 160);
    // Six native-order words, in this order: the driver copies them as one record.
    static_assert(sizeof(pcmlink_cfg) == 24);
    uint32_t words[6];
    std::memcpy(words, &r, sizeof words);
    const uint32_t want[6] = {192, 0x0F000424, 0x00200093, 0x0F000404, 0x00200093, 160};
    for (int i = 0; i < 6; i++)
        EXPECT_EQ(words[i], want[i]) << "word " << i;
}

TEST(SscOpen, MissingDeviceIsNotReady)
{
    AudioDeviceSSC dev("/nonexistent/ssc0", 160);
    EXPECT_EQ(dev.isInitialized(), 0);
    EXPECT_EQ(dev.getPeriodSize(), 160);
    EXPECT_EQ(dev.getSampleSize(), 2);
    EXPECT_EQ(dev.getSampleSign(), 1);
    EXPECT_EQ(dev.getSampleRate(), 8000);
    EXPECT_EQ(dev.getSilenceValue(), 0);
    EXPECT_EQ(dev.canPlay(), 1);
    EXPECT_EQ(dev.canRecord(), 1);
    EXPECT_EQ(dev.recover(), 0);
}

TEST(SscOpen, FileThatRefusesTheConfigurationIsNotReady)
{
    // /dev/null does not answer the driver's configuration request.
    AudioDeviceSSC dev("/dev/null", 160);
    EXPECT_EQ(dev.isInitialized(), 0);
}

TEST(SscSizes, OversizedOrNegativeCountsFailBeforeAnyIo)
{
    AudioDeviceSSC dev("/nonexistent/ssc0", 160);
    int16_t s[1100] = {};
    EXPECT_EQ(dev.write(s, 161, 0), -1);
    EXPECT_EQ(dev.read(s, 161), -1);
    EXPECT_EQ(dev.write(s, -1, 0), -1);
    EXPECT_EQ(dev.read(s, -1), -1);

    AudioDeviceSSC big("/nonexistent/ssc0", 2000);
    EXPECT_EQ(big.read(s, 1025), -1);
    EXPECT_EQ(big.write(s, 1025, 0), -1);
}
