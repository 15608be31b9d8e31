// The amplifier's state rules without a device: nothing here opens a path.
#include "board/amplifier.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

TEST(AmplifierState, WithoutDeviceVolumeWritesFail)
{
    i2c_max9768_close();
    EXPECT_EQ(i2c_max9768_vol_write(10), -1);
    EXPECT_EQ(i2c_max9768_vol_write(64), -1);
}

TEST(AmplifierState, MuteAndUnmuteAlternate)
{
    i2c_max9768_close();
    EXPECT_EQ(i2c_max9768_mute(), 0);
    EXPECT_EQ(i2c_max9768_mute(), -1);
    // While muted a volume is only stored, so it succeeds without a device.
    EXPECT_EQ(i2c_max9768_vol_write(20), 0);
    EXPECT_EQ(i2c_max9768_vol_write(64), -1);
    EXPECT_EQ(i2c_max9768_unmute(), 0);
    EXPECT_EQ(i2c_max9768_unmute(), -1);
}

TEST(AmplifierState, CallsFromManyThreadsStayConsistent)
{
    i2c_max9768_close();
    std::atomic<int> mutes{0}, unmutes{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 2000; ++i) {
                if (i2c_max9768_mute() == 0)
                    ++mutes;
                i2c_max9768_vol_write(static_cast<uint8_t>(i % 64));
                if (i2c_max9768_unmute() == 0)
                    ++unmutes;
            }
        });
    }
    for (auto &th : threads)
        th.join();
    // Every successful mute is matched by exactly one successful unmute, or
    // the last one is still pending.
    int pending = i2c_max9768_unmute() == 0 ? 1 : 0;
    EXPECT_EQ(mutes.load(), unmutes.load() + pending);
    EXPECT_GT(mutes.load(), 0);
}
