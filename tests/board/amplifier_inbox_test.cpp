// The amplifier functions on the box's "/dev/i2c-0", whose every byte the box
// logs. The whole program runs inside a box.
#include "board/amplifier.h"
#include "sim/box_client.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace
{

using ms = std::chrono::milliseconds;

class AmplifierInBox : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        if (std::getenv("BOARDBOX_CONTROL") == nullptr)
            GTEST_SKIP() << "runs only inside boardbox";
        ASSERT_EQ(box.connect_inside(), 0);
        ASSERT_EQ(i2c_max9768_init("/dev/i2c-0"), 0);
        // Leave every test with the chip unmuted.
        i2c_max9768_unmute();
        ASSERT_EQ(bytes_seen(), 0);
        start_ = seen_.size();
    }
    void TearDown() override { i2c_max9768_close(); }

    // The bytes the chip received since SetUp. The writes are synchronous, so
    // the log is complete when a call has returned.
    std::vector<uint8_t> received()
    {
        bytes_seen();
        return std::vector<uint8_t>(seen_.begin() + static_cast<long>(start_), seen_.end());
    }

    int bytes_seen()
    {
        std::vector<boardbox::AmpCommand> log;
        if (box.amplifier_log(log) != 0)
            return -1;
        seen_.clear();
        for (const auto &c : log)
            seen_.push_back(c.value);
        return 0;
    }

    boardbox::Client box;
    std::vector<uint8_t> seen_;
    size_t start_ = 0;
};

} // namespace

TEST_F(AmplifierInBox, VolumeIsOneByte)
{
    EXPECT_EQ(i2c_max9768_vol_write(63), 0);
    EXPECT_EQ(i2c_max9768_vol_write(0), 0);
    EXPECT_EQ(i2c_max9768_vol_write(45), 0);
    EXPECT_EQ(received(), (std::vector<uint8_t>{0x3F, 0x00, 0x2D}));
}

TEST_F(AmplifierInBox, VolumeAboveSixtyThreeFailsWithoutTraffic)
{
    for (int v : {64, 100, 255})
        EXPECT_EQ(i2c_max9768_vol_write(static_cast<uint8_t>(v)), -1) << v;
    EXPECT_TRUE(received().empty());
}

TEST_F(AmplifierInBox, VolumeSetWhileMutedArrivesAtUnmute)
{
    EXPECT_EQ(i2c_max9768_mute(), 0);
    EXPECT_EQ(i2c_max9768_vol_write(20), 0);
    EXPECT_EQ(received(), (std::vector<uint8_t>{0x00}));
    EXPECT_EQ(i2c_max9768_unmute(), 0);
    EXPECT_EQ(received(), (std::vector<uint8_t>{0x00, 0x14}));
}

TEST_F(AmplifierInBox, SecondMuteAndUnmuteFailSilently)
{
    EXPECT_EQ(i2c_max9768_unmute(), -1);
    EXPECT_EQ(i2c_max9768_mute(), 0);
    EXPECT_EQ(i2c_max9768_mute(), -1);
    EXPECT_EQ(i2c_max9768_unmute(), 0);
    EXPECT_EQ(i2c_max9768_unmute(), -1);
    ASSERT_EQ(received().size(), 2u);
}

TEST_F(AmplifierInBox, FailedWriteKeepsTheStoredVolume)
{
    EXPECT_EQ(i2c_max9768_vol_write(30), 0);
    i2c_max9768_close();
    EXPECT_EQ(i2c_max9768_vol_write(10), -1) << "no device: nothing written";
    ASSERT_EQ(i2c_max9768_init("/dev/i2c-0"), 0);
    EXPECT_EQ(i2c_max9768_mute(), 0);
    EXPECT_EQ(i2c_max9768_unmute(), 0);
    EXPECT_EQ(received(), (std::vector<uint8_t>{30, 0x00, 30}));
}

TEST_F(AmplifierInBox, MissingDeviceFailsInit)
{
    i2c_max9768_close();
    ASSERT_EQ(std::rename("/dev/i2c-0", "/dev/i2c-0.away"), 0);
    EXPECT_EQ(i2c_max9768_init("/dev/i2c-0"), -1);
    EXPECT_EQ(i2c_max9768_vol_write(5), -1);
    ASSERT_EQ(std::rename("/dev/i2c-0.away", "/dev/i2c-0"), 0);
    EXPECT_EQ(i2c_max9768_init(nullptr), -1);
    EXPECT_EQ(i2c_max9768_init("/dev/null"), -1) << "no I2C device behind it";
}
