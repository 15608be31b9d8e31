// The transmit time-out: a held PTT ends at the limit as if released, the
// next transmission needs a release and a press, the beeper sounds in the
// last stretch, and without a limit every PTT change passes unchanged.
#include "control/tx_timeout.h"

#include "board/gpio.h"

#include "tests/captured_stdout.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <vector>

namespace
{

using Captured = CapturedStdout;

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// The beeper line's edges, with their times.
class BeeperLine : public Gpio
{
  public:
    struct Edge {
        bool on;
        Clock::time_point at;
    };
    int set_bits(uint32_t mask) override { return edge(mask, true); }
    int clear_bits(uint32_t mask) override { return edge(mask, false); }
    std::vector<Edge> edges()
    {
        std::lock_guard<std::mutex> lock(m_);
        return edges_;
    }
    uint32_t other_bits = 0;

  private:
    int edge(uint32_t mask, bool on)
    {
        std::lock_guard<std::mutex> lock(m_);
        if (mask & TxTimeout::beeper_bit)
            edges_.push_back({on, Clock::now()});
        other_bits |= mask & ~TxTimeout::beeper_bit;
        return 0;
    }
    std::mutex m_;
    std::vector<Edge> edges_;
};

// What a control does with it: its lock around filter() and take_expiry(),
// and the ends it makes.
class Control
{
  public:
    explicit Control(TxTimeout::Timing t) : tot(t, &beeper, [this] { expired(); }) {}

    int ptt(int p)
    {
        std::lock_guard<std::mutex> lock(m_);
        return tot.filter(p);
    }
    // Waits until `n` transmissions have been ended by the timer.
    bool wait_ends(size_t n, std::chrono::milliseconds timeout = 10s)
    {
        std::unique_lock<std::mutex> lock(m_);
        return cv_.wait_for(lock, timeout, [&] { return ends.size() >= n; });
    }

    BeeperLine beeper;
    std::vector<Clock::time_point> ends;
    TxTimeout tot; // last: its thread stops before the rest goes

  private:
    void expired()
    {
        std::lock_guard<std::mutex> lock(m_);
        if (tot.take_expiry()) {
            ends.push_back(Clock::now());
            cv_.notify_all();
        }
    }
    std::mutex m_;
    std::condition_variable cv_;
};

TxTimeout::Timing timing(std::chrono::milliseconds limit)
{
    TxTimeout::Timing t;
    t.limit = limit;
    t.warning = 400ms;
    t.beep_every = 100ms;
    t.beep_length = 30ms;
    return t;
}

} // namespace

TEST(TxTimeout, AHeldTransmissionEndsAtTheLimitAndNeedsAReleaseBeforeTheNext)
{
    Captured out;
    Control c(timing(600ms));
    const auto pressed = Clock::now();
    EXPECT_EQ(c.ptt(1), 1);
    EXPECT_EQ(c.ptt(1), 1) << "a second source keying while keyed passes as before";
    ASSERT_TRUE(c.wait_ends(1));
    EXPECT_GE(c.ends[0] - pressed, 600ms);
    EXPECT_LT(c.ends[0] - pressed, 600ms + 2s) << "loaded machine, generous";

    // Held on: nothing; pressed again without a release: nothing.
    EXPECT_EQ(c.ptt(1), -1);
    // The release itself was already told to the server at the time-out.
    EXPECT_EQ(c.ptt(0), -1);
    EXPECT_EQ(c.ptt(0), 0) << "once released, PTT passes as before";
    const auto again = Clock::now();
    EXPECT_EQ(c.ptt(1), 1);
    ASSERT_TRUE(c.wait_ends(2));
    EXPECT_GE(c.ends[1] - again, 600ms);
    EXPECT_EQ(c.ptt(0), -1);
    c.tot.stop();
    EXPECT_EQ(out.take(), "tot     : PTT released, the next press transmits\n"
                          "tot     : PTT released, the next press transmits\n");

    // Four beeps in the last 400 ms of each transmission, due 100 ms apart,
    // the line low again by the end; nothing but the beeper was touched.
    const std::vector<BeeperLine::Edge> edges = c.beeper.edges();
    ASSERT_EQ(edges.size(), 16u);
    for (size_t i = 0; i < edges.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(edges[i].on, i % 2 == 0);
        const auto start = i < 8 ? pressed : again;
        const auto end = i < 8 ? c.ends[0] : c.ends[1];
        EXPECT_LE(edges[i].at, end);
        if (i % 8 == 0) {
            EXPECT_GE(edges[i].at - start, 200ms);
        }
        if (i % 2 == 1 && edges[i].at < start + 600ms) {
            // A beep sounds its whole length however late it starts; only
            // the end of the transmission cuts one short.
            EXPECT_GE(edges[i].at - edges[i - 1].at, 29ms);
        }
    }
    EXPECT_EQ(c.beeper.other_bits, 0u);
}

// A release before the limit disarms the timer: the only end is the second
// transmission's, a full limit after its own press.
TEST(TxTimeout, AReleaseOrALostLinkBeforeTheLimitDisarmsIt)
{
    for (bool lost_link : {false, true}) {
        SCOPED_TRACE(lost_link ? "link lost" : "released");
        Control c(timing(500ms));
        EXPECT_EQ(c.ptt(1), 1);
        // The beeper sounds at least once before the transmission is cut short.
        for (auto deadline = Clock::now() + 10s; c.beeper.edges().empty() && Clock::now() < deadline;)
            std::this_thread::yield();
        ASSERT_FALSE(c.beeper.edges().empty());
        if (lost_link) {
            c.tot.cancel();
            EXPECT_EQ(c.ptt(0), 0) << "after a lost link the release passes";
        } else {
            EXPECT_EQ(c.ptt(0), 0);
        }
        const auto second = Clock::now();
        EXPECT_EQ(c.ptt(1), 1);
        ASSERT_TRUE(c.wait_ends(1));
        EXPECT_GE(c.ends[0] - second, 500ms);
        EXPECT_FALSE(c.beeper.edges().back().on) << "the beeper is left low";
    }
}

TEST(TxTimeout, WithoutALimitEveryChangePassesAndNothingRuns)
{
    Captured out;
    Control c(timing(0ms));
    EXPECT_FALSE(c.tot.enabled());
    for (int p : {1, 1, 0, 0, 1, 7, 0})
        EXPECT_EQ(c.ptt(p), p ? 1 : 0);
    EXPECT_FALSE(c.tot.take_expiry());
    c.tot.cancel();
    c.tot.stop();
    EXPECT_TRUE(c.beeper.edges().empty());
    EXPECT_EQ(out.take(), "");
}
