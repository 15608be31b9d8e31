// The voice alarm: raised when a logged-in link expects voice (squelch open
// or somebody else sending) and no packet has come for the limit; lowered
// when voice comes again or none is expected any more.
#include "control/voice_alarm.h"

#include "tests/captured_stdout.h"

#include <gtest/gtest.h>

#include <atomic>

namespace
{

using Captured = CapturedStdout;

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

template <class Pred> bool eventually(Pred pred, std::chrono::milliseconds timeout = 10s)
{
    for (auto deadline = Clock::now() + timeout; Clock::now() < deadline;) {
        if (pred())
            return true;
        std::this_thread::sleep_for(2ms);
    }
    return pred();
}

VoiceAlarm::Timing timing(std::chrono::milliseconds limit)
{
    VoiceAlarm::Timing t;
    t.limit = limit;
    t.tick = 10ms;
    return t;
}

} // namespace

TEST(VoiceAlarm, RaisedAfterTheLimitOfMissingVoiceAndLoweredWhenItComesBack)
{
    std::atomic<uint64_t> packets{0};
    Captured out;
    VoiceAlarm a(timing(300ms), [&] { return packets.load(); });

    // What raises it, each case starting from a quiet logged-in link.
    struct Case {
        const char *name;
        void (*expect)(VoiceAlarm &);
        void (*end)(VoiceAlarm &);
    };
    const Case cases[] = {
        {"squelch", [](VoiceAlarm &v) { v.squelch(true); }, [](VoiceAlarm &v) { v.squelch(false); }},
        {"talker", [](VoiceAlarm &v) { v.remote_talking(true); },
         [](VoiceAlarm &v) { v.remote_talking(false); }},
        {"link lost", [](VoiceAlarm &v) { v.squelch(true); }, [](VoiceAlarm &v) { v.link_up(false); }},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.name);
        a.link_up(true);
        const auto expected_at = Clock::now();
        k.expect(a);
        ASSERT_TRUE(eventually([&] { return a.active(); }));
        EXPECT_GE(Clock::now() - expected_at, 300ms);
        // Voice: lowered at once; missing again for the limit: raised again.
        const auto voice_at = Clock::now();
        packets++;
        ASSERT_TRUE(eventually([&] { return !a.active(); }));
        ASSERT_TRUE(eventually([&] { return a.active(); }));
        EXPECT_GE(Clock::now() - voice_at, 300ms);
        // No voice expected any more: lowered.
        k.end(a);
        ASSERT_TRUE(eventually([&] { return !a.active(); }));
    }
    // A new session starts without the old one's squelch: the talker alone
    // raises the alarm, and its end lowers it.
    a.link_up(true);
    a.remote_talking(true);
    ASSERT_TRUE(eventually([&] { return a.active(); }));
    a.remote_talking(false);
    ASSERT_TRUE(eventually([&] { return !a.active(); }));
    a.stop();
    const std::string raised =
        "voice   : alarm: no voice for 0.3 s while the squelch is open or the server sends\n";
    const std::string back = "voice   : voice is back, alarm cleared\n";
    const std::string none = "voice   : no voice expected any more, alarm cleared\n";
    const std::string once = raised + back + raised + none;
    EXPECT_EQ(out.take(), once + once + once + raised + none);
}

// Voice that keeps coming, or a link that is not logged in, never raises it:
// with voice arriving faster than the limit, and the squelch open before any
// login, it is still down when a logged-in expectation finally raises it.
TEST(VoiceAlarm, FlowingVoiceOrNoLoginNeverRaiseIt)
{
    std::atomic<uint64_t> packets{0};
    Captured out;
    VoiceAlarm a(timing(200ms), [&] { return packets.load(); });
    a.squelch(true);
    a.remote_talking(true);
    const auto until = Clock::now() + 600ms;
    while (Clock::now() < until) {
        EXPECT_FALSE(a.active());
        std::this_thread::sleep_for(5ms);
    }
    a.link_up(true);
    a.squelch(true);
    const auto flowing_until = Clock::now() + 600ms;
    while (Clock::now() < flowing_until) {
        packets++;
        EXPECT_FALSE(a.active());
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_TRUE(eventually([&] { return a.active(); }));
    a.stop();
    out.take();
}

TEST(VoiceAlarm, OffWithoutALimit)
{
    Captured out;
    VoiceAlarm a(timing(0ms), [] { return uint64_t(0); });
    a.link_up(true);
    a.squelch(true);
    EXPECT_FALSE(a.active());
    a.stop();
    EXPECT_EQ(out.take(), "");
}
