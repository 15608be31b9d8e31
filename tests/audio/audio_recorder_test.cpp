#include "audio/audio_recorder.h"
#include "fake_audio.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

TEST(AudioRecorderChecks, ReadyWithMatchingDeviceAndCodec)
{
    FakeDevice dev;
    FakeCodec codec;
    AudioRecorder r(&dev, &codec, false);
    EXPECT_EQ(r.isInitialized(), 1);
    EXPECT_EQ(r.getPeriodSize(), 160);
    EXPECT_EQ(r.getSampleSize(), 2);
    EXPECT_NE(r.getFrameBuffer(), nullptr);
}

TEST(AudioRecorderChecks, NeedsARecordingDeviceButNotAPlayingOne)
{
    FakeCodec codec;
    FakeDevice playOnly;
    playOnly.recordable = 0;
    EXPECT_EQ(AudioRecorder(&playOnly, &codec, false).isInitialized(), 0);
    FakeDevice recordOnly;
    recordOnly.playable = 0;
    EXPECT_EQ(AudioRecorder(&recordOnly, &codec, false).isInitialized(), 1);
}

TEST(AudioRecorderChecks, MismatchedFormatsAreNotReady)
{
    FakeCodec codec(160);
    FakeDevice shortPeriod(159);
    EXPECT_EQ(AudioRecorder(&shortPeriod, &codec, false).isInitialized(), 0);
    FakeCodec notReady(160, false);
    FakeDevice dev;
    EXPECT_EQ(AudioRecorder(&dev, &notReady, false).isInitialized(), 0);
    FakeDevice closed(160, false);
    EXPECT_EQ(AudioRecorder(&closed, &codec, false).isInitialized(), 0);
    AudioRecorder r(&closed, &codec, false);
    uint8_t out[160];
    EXPECT_EQ(r.record(out), -1);
}

TEST(AudioRecorderRecord, EncodesOneCapturedPeriod)
{
    FakeDevice dev;
    FakeCodec codec;
    AudioRecorder r(&dev, &codec, false);
    std::vector<int16_t> s(160);
    for (int i = 0; i < 160; i++)
        s[i] = static_cast<int16_t>(i);
    dev.captures.push_back(s);
    std::vector<uint8_t> out(160, 0xEE);
    EXPECT_EQ(r.record(out.data()), 0);
    for (int i = 0; i < 160; i++)
        EXPECT_EQ(out[i], i);
}

TEST(AudioRecorderRecord, EncodeFailureIsReported)
{
    FakeDevice dev;
    FakeCodec codec;
    codec.failEncode = true;
    AudioRecorder r(&dev, &codec, false);
    uint8_t out[160];
    EXPECT_EQ(r.record(out), -1);
}

TEST(AudioRecorderRecord, FailingReadIsRetriedUntilItSucceeds)
{
    FakeDevice dev;
    FakeCodec codec;
    AudioRecorder r(&dev, &codec, false);
    dev.failures = 3;
    dev.captures.push_back(std::vector<int16_t>(160, 5));
    uint8_t out[160];
    EXPECT_EQ(r.record(out), 0);
    EXPECT_EQ(dev.recovers, 3);
    EXPECT_EQ(out[0], 5);
}

TEST(CaptureFilter, BlocksDirectCurrent)
{
    capture_highpass_reset();
    int last = 0;
    for (int i = 0; i < 4000; i++)
        last = capture_highpass(1000);
    EXPECT_LE(std::abs(last), 2);
    capture_highpass_reset();
}

TEST(CaptureFilter, FirstOutputsFollowTheDifferenceEquation)
{
    capture_highpass_reset();
    // With zero state, the first output is B5 * x.
    EXPECT_EQ(capture_highpass(1000), static_cast<int16_t>(static_cast<int32_t>(0.4258f * 1000.0f)));
    capture_highpass_reset();
}

TEST(CaptureFilter, RecorderWithFilterReturnsThePeriodAndDecaysDc)
{
    capture_highpass_reset();
    FakeDevice dev;
    FakeCodec codec;
    AudioRecorder r(&dev, &codec, true);
    for (int i = 0; i < 60; i++)
        dev.captures.push_back(std::vector<int16_t>(160, 1000));
    uint8_t out[160];
    int last = 0;
    for (int i = 0; i < 60; i++)
        last = r.record(out);
    EXPECT_EQ(last, 160);
    int16_t *f = r.getFrameBuffer();
    for (int i = 0; i < 160; i++)
        EXPECT_LE(std::abs(f[i]), 2);
    capture_highpass_reset();
}

// The filter's difference equation, step by step in single precision.
class ReferenceHighpass
{
  public:
    float step(int16_t x)
    {
        static const float B[6] = {-0.4258f, 2.129f, -4.258f, 4.258f, -2.129f, 0.4258f};
        static const float A[5] = {-0.0438f, 0.9394f, -3.267f, 4.885f, -3.491f};
        float accA = 0, accB = 0;
        for (int k = 0; k < 5; k++) {
            float v = w[k + 1];
            w[k] = v;
            accA += v * A[k];
            accB += v * B[k];
        }
        w[5] = static_cast<float>(x) - accA;
        return accB + w[5] * B[5];
    }

  private:
    float w[6] = {};
};

TEST(CaptureFilter, OutputsBeyondSixteenBitsWrapWithoutSaturating)
{
    capture_highpass_reset();
    ReferenceHighpass ref;
    // Alternating full-scale input drives the output far beyond 16 bits.
    int wrapped = 0;
    for (int i = 0; i < 200; i++) {
        int16_t x = static_cast<int16_t>(i % 2 ? 32767 : -32768);
        float y = ref.step(x);
        ASSERT_TRUE(y > -2147483648.0f && y < 2147483647.0f) << i;
        int32_t whole = static_cast<int32_t>(y); // truncation toward zero
        if (whole > 32767 || whole < -32768)
            wrapped++;
        ASSERT_EQ(capture_highpass(x), static_cast<int16_t>(whole)) << "sample " << i << ", y " << y;
    }
    EXPECT_GE(wrapped, 50) << "the input must drive the output beyond 16 bits";
    capture_highpass_reset();
}
