#include "tests/fake_pio_window.h"
#include "tools/fwwriter/ledblink.h"
#include "tools/fwwriter/simple_gpio_at91.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <unistd.h>
#include <vector>

TEST(SimpleGpioAt91, WindowMatchesTheGatewaysRegisterMap)
{
    EXPECT_EQ(simple_gpio_at91::window_size, 392544u);
    EXPECT_EQ(simple_gpio_at91::piob, 0x5F600u);
    EXPECT_EQ(simple_gpio_at91::pio_sodr, 0x30u);
    EXPECT_EQ(simple_gpio_at91::pio_codr, 0x34u);
    EXPECT_LE(simple_gpio_at91::piob + simple_gpio_at91::pio_codr + 4, simple_gpio_at91::window_size);
}

TEST(SimpleGpioAt91, LedOnSetsPb3AndOffClearsIt)
{
    FakePioWindow w;
    simple_gpio_at91::drive(w.base(), simple_gpio_at91::pb3_led, 1);
    EXPECT_EQ(w.written(), std::vector<size_t>{0x5F630});
    EXPECT_EQ(w.at(0x5F630), 0x8u);
    simple_gpio_at91::drive(w.base(), simple_gpio_at91::pb3_led, 0);
    EXPECT_EQ(w.written(), (std::vector<size_t>{0x5F630, 0x5F634}));
    EXPECT_EQ(w.at(0x5F634), 0x8u);
}

TEST(SimpleGpioAt91, BeeperIsPb8)
{
    FakePioWindow w;
    simple_gpio_at91::drive(w.base(), simple_gpio_at91::pb8_beep, 1);
    EXPECT_EQ(w.at(0x5F630), 0x100u);
    simple_gpio_at91::drive(w.base(), simple_gpio_at91::pb8_beep, 0);
    EXPECT_EQ(w.at(0x5F634), 0x100u);
    EXPECT_EQ(w.written(), (std::vector<size_t>{0x5F630, 0x5F634}));
}

TEST(SimpleGpioAt91, WithoutTheDeviceOpenFailsAndTheHelpersTouchNothing)
{
    if (::access("/dev/uio0", F_OK) == 0)
        GTEST_SKIP() << "this machine has a /dev/uio0";
    EXPECT_EQ(simple_gpio_at91_open(), -1);
    // Nothing is mapped: a helper that wrote anyway would fault here.
    simple_gpio_at91_led(1);
    simple_gpio_at91_beep(1);
    simple_gpio_at91_close();
    simple_gpio_at91_close();
    EXPECT_EQ(simple_gpio_at91_open(), -1) << "a failed open keeps nothing open";
}

namespace
{

std::mutex calls_lock;
std::condition_variable calls_cv;
std::vector<int> calls;

void record(int on)
{
    std::lock_guard<std::mutex> g(calls_lock);
    calls.push_back(on);
    calls_cv.notify_all();
}

} // namespace

TEST(LedBlink, AlternatesOffAndOnUntilStopped)
{
    {
        std::lock_guard<std::mutex> g(calls_lock);
        calls.clear();
    }
    fwwriter::LedBlink blink(record);
    ASSERT_EQ(blink.start(), 0);
    {
        std::unique_lock<std::mutex> g(calls_lock);
        ASSERT_TRUE(calls_cv.wait_for(g, std::chrono::seconds(30), [] { return calls.size() >= 5; }));
    }
    blink.stop();
    std::vector<int> seen;
    {
        std::lock_guard<std::mutex> g(calls_lock);
        seen = calls;
    }
    ASSERT_GE(seen.size(), 5u);
    for (size_t i = 0; i < seen.size(); ++i)
        EXPECT_EQ(seen[i], static_cast<int>(i % 2)) << i;
    // Stopped means no further call.
    blink.stop();
    std::lock_guard<std::mutex> g(calls_lock);
    EXPECT_EQ(calls, seen);
}

size_t call_count()
{
    std::lock_guard<std::mutex> g(calls_lock);
    return calls.size();
}

TEST(LedBlink, StopWithoutStartAndDestructionStop)
{
    const size_t before = call_count();
    fwwriter::LedBlink idle(record);
    idle.stop();
    EXPECT_EQ(call_count(), before) << "never started, never called";
    {
        fwwriter::LedBlink running(record);
        ASSERT_EQ(running.start(), 0);
        std::unique_lock<std::mutex> g(calls_lock);
        ASSERT_TRUE(
            calls_cv.wait_for(g, std::chrono::seconds(30), [&] { return calls.size() >= before + 2; }));
    }
    // Destruction stopped the thread: several blink periods later no call
    // has come.
    const size_t after = call_count();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(call_count(), after);
}
