// AudioDeviceSSC on the box's "/dev/ssc0": the configuration request, the
// pacing of whole periods, the capture conversion and what reaches the
// loudspeaker. Runs inside a box (the device path is fixed).
#include "audio/audio_device_ssc.h"
#include "audio/codec_alaw.h"
#include "sim/box_client.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <thread>
#include <vector>

namespace
{

bool inBox()
{
    return std::getenv("BOARDBOX_CONTROL") != nullptr;
}

double rmsDbfs(const int16_t *s, size_t n)
{
    double sum = 0;
    for (size_t i = 0; i < n; i++)
        sum += static_cast<double>(s[i]) * s[i];
    return 20 * std::log10(std::sqrt(sum / static_cast<double>(n)) / 32768.0);
}

class SscInBox : public testing::Test
{
  protected:
    void SetUp() override
    {
        if (!inBox())
            GTEST_SKIP() << "needs the box's /dev/ssc0";
        ASSERT_EQ(box.connect_inside(), 0);
    }
    boardbox::Client box;
};

} // namespace

TEST_F(SscInBox, OpeningConfiguresTheDriver)
{
    AudioDeviceSSC dev("/dev/ssc0", 160);
    EXPECT_EQ(dev.isInitialized(), 1);
    boardbox::AudioLevels levels;
    ASSERT_EQ(box.audio_levels(levels), 0);
    EXPECT_TRUE(levels.configured);
}

TEST_F(SscInBox, ReadsArePacedOnePeriodEach)
{
    AudioDeviceSSC dev("/dev/ssc0", 160);
    ASSERT_EQ(dev.isInitialized(), 1);
    int16_t s[160];
    ASSERT_EQ(dev.read(s, 160), 0);
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 10; i++)
        ASSERT_EQ(dev.read(s, 160), 0);
    // Never faster than the port's clock; slower only on a busy machine.
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(9 * 20));
}

TEST_F(SscInBox, SilentCaptureReadsAsTheSmallestALawLevel)
{
    ASSERT_EQ(box.set_capture("silence"), 0);
    AudioDeviceSSC dev("/dev/ssc0", 160);
    ASSERT_EQ(dev.isInitialized(), 1);
    int16_t s[160];
    // The first blocks after a configuration are the driver's zeroed buffers.
    for (int i = 0; i < 3; i++)
        dev.read(s, 160);
    for (int i = 0; i < 160; i++)
        EXPECT_EQ(s[i], 8) << i;
}

TEST_F(SscInBox, CapturedToneKeepsItsLevel)
{
    ASSERT_EQ(box.set_capture("tone:1000"), 0);
    AudioDeviceSSC dev("/dev/ssc0", 160);
    ASSERT_EQ(dev.isInitialized(), 1);
    int16_t s[160];
    for (int i = 0; i < 5; i++)
        dev.read(s, 160);
    // A sine of -6 dBFS peak: -9 dBFS RMS.
    EXPECT_NEAR(rmsDbfs(s, 160), -9.03, 0.5);
    ASSERT_EQ(box.set_capture("silence"), 0);
}

TEST_F(SscInBox, PlayedPeriodsReachTheLoudspeakerAtTheirLevel)
{
    AudioDeviceSSC dev("/dev/ssc0", 160);
    ASSERT_EQ(dev.isInitialized(), 1);
    std::vector<int16_t> tone(160);
    for (int i = 0; i < 160; i++)
        tone[i] = static_cast<int16_t>(std::lround(8000 * std::sin(2 * M_PI * 500 * i / 8000.0)));
    double expected = 20 * std::log10(8000 / std::sqrt(2.0) / 32768.0);
    boardbox::AudioLevels levels;
    bool reached = false;
    // Write until the meter (a few blocks' mean) has settled on the tone.
    for (int i = 0; i < 100 && !reached; i++) {
        ASSERT_EQ(dev.write(tone.data(), 160, i % 2), 0);
        ASSERT_EQ(box.audio_levels(levels), 0);
        reached = i > 10 && std::fabs(levels.playback_dbfs - expected) < 0.5;
    }
    EXPECT_TRUE(reached) << "last playback level " << levels.playback_dbfs << " dBFS";
    EXPECT_GT(levels.tx_written, 0u);
}

TEST_F(SscInBox, OversizedPeriodsFailWithoutTouchingTheDriver)
{
    AudioDeviceSSC dev("/dev/ssc0", 160);
    ASSERT_EQ(dev.isInitialized(), 1);
    boardbox::AudioLevels before, after;
    ASSERT_EQ(box.audio_levels(before), 0);
    int16_t s[161] = {};
    EXPECT_EQ(dev.read(s, 161), -1);
    EXPECT_EQ(dev.write(s, 161, 0), -1);
    ASSERT_EQ(box.audio_levels(after), 0);
    EXPECT_EQ(after.rx_read, before.rx_read);
}

// A driver that fails every transfer at once (here: configured by another
// opener for shorter blocks than this device's period) must not let the
// voice threads run free: each period still takes its 20 ms, and the failure
// is reported once per direction, not once per period.
TEST_F(SscInBox, FailingDriverKeepsThePaceAndIsReportedOnce)
{
    AudioDeviceSSC dev("/dev/ssc0", 160);
    ASSERT_EQ(dev.isInitialized(), 1);
    AudioDeviceSSC shorter("/dev/ssc0", 40);
    ASSERT_EQ(shorter.isInitialized(), 1);
    int16_t s[160] = {};
    testing::internal::CaptureStdout();
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 10; i++) {
        ASSERT_EQ(dev.read(s, 160), 0);
        ASSERT_EQ(dev.write(s, 160, 0), 0);
    }
    auto took = std::chrono::steady_clock::now() - start;
    std::string out = testing::internal::GetCapturedStdout();
    // Both directions wait out their period: at least 20 periods of 20 ms,
    // less one for each direction's first.
    EXPECT_GE(took, std::chrono::milliseconds(18 * 20));
    EXPECT_EQ(out, "ssc : read failed: Invalid argument\nssc : write failed: Invalid argument\n");
}
