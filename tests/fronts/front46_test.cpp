// The Front46 panel: the frame assembler and the frame handler with a test
// clock (pause and hold-time rules without sleeping), and the poll thread and
// display frames through a real SerialControl on a pseudo-terminal.
#include "fronts/front46.h"

#include "base/crc16_xmodem.h"
#include "board/serial_control.h"
#include "tests/fronts/fake_panel_control.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace
{

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;
using Calls = std::vector<std::string>;

// Frames as the panel sends them (length, payload, CRC-16/XMODEM big-endian).
const Bytes kPoll{0x00, 0x04, 0x73, 0x07, 0x2D, 0xED};
const Bytes kPtt0Pressed{0x00, 0x07, 0x80, 0x00, 0x00, 0x00, 0xC0, 0xFB, 0x9C};
const Bytes kPtt0Released{0x00, 0x07, 0x80, 0x04, 0x00, 0x00, 0xC0, 0x31, 0x6D};
const Bytes kPtt2Pressed{0x00, 0x07, 0xA0, 0x00, 0x00, 0x00, 0xC0, 0xF3, 0x28};
const Bytes kPtt2Released{0x00, 0x07, 0xA0, 0x04, 0x00, 0x00, 0xC0, 0x39, 0xD9};
const Bytes kPtt5Pressed{0x00, 0x07, 0xD0, 0x00, 0x00, 0x00, 0xC0, 0xEE, 0xAE};
const Bytes kP1Pressed{0x00, 0x0D, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                       0x00, 0x00, 0x00, 0xA0, 0x01, 0x0D, 0x5F};
const Bytes kP1Released{0x00, 0x0D, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                        0x00, 0x00, 0x00, 0xA0, 0x00, 0x1D, 0x7E};
const Bytes kBackPressed{0x00, 0x0D, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                         0x00, 0x00, 0x00, 0x8C, 0x01, 0x4E, 0xD4};
const Bytes kBackReleased{0x00, 0x0D, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                          0x00, 0x00, 0x00, 0x8C, 0x00, 0x5E, 0xF5};
const Bytes kUnknownKey{0x00, 0x0D, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                        0x00, 0x00, 0x00, 0x42, 0x01, 0x7B, 0x8F};
const Bytes kDial{0x00, 0x0E, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                  0x00, 0x00, 0x00, 0x02, 0xFD, 0xFF, 0x15, 0x0D};

Bytes frame(const Bytes &payload)
{
    const size_t l = payload.size() + 2;
    Bytes f{static_cast<uint8_t>(l >> 8), static_cast<uint8_t>(l)};
    f.insert(f.end(), payload.begin(), payload.end());
    const uint16_t crc = crc16::xmodem(payload.data(), payload.size());
    f.push_back(static_cast<uint8_t>(crc >> 8));
    f.push_back(static_cast<uint8_t>(crc));
    return f;
}

Bytes button(uint8_t code, uint8_t state)
{
    Bytes p(11, 0);
    p[9] = code;
    p[10] = state;
    return frame(p);
}

Bytes join(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes &p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

class Front46Frames : public testing::Test
{
  protected:
    void feed(const Bytes &b, uint64_t at)
    {
        now_ = at;
        panel_.feed(b.data(), b.size());
    }
    // Feeds and returns what the panel printed.
    std::string feed_logged(const Bytes &b, uint64_t at)
    {
        testing::internal::CaptureStdout();
        feed(b, at);
        return testing::internal::GetCapturedStdout();
    }

    uint64_t now_ = 1000;
    FakePanelControl control_;
    class_front46 panel_{&control_, nullptr, nullptr, [this] { return now_; }};
};

TEST(Front46Format, PollFrameIsLengthPayloadAndXmodemCrc)
{
    EXPECT_EQ(Bytes(class_front46::POLL_FRAME, class_front46::POLL_FRAME + 6), kPoll);
    EXPECT_EQ(frame({0x73, 0x07}), kPoll);
    EXPECT_EQ(button(0xA0, 1), kP1Pressed);
    // The CRC taken over payload and CRC together is 0.
    EXPECT_EQ(crc16::xmodem(kDial.data() + 2, kDial.size() - 2), 0);
}

TEST_F(Front46Frames, TwoFramesInOneChunkAreBothHandled)
{
    feed(join({kP1Pressed, kP1Released}), 1000);
    EXPECT_EQ(control_.take(), (Calls{"button 160 1 0", "button 160 0 0"}));
}

TEST_F(Front46Frames, FrameSplitOverManyChunksIsHandledOnce)
{
    // Byte by byte, with pauses: a pause never cuts a frame in progress.
    const Bytes f = join({kP1Pressed, kPtt0Pressed});
    uint64_t t = 1000;
    for (uint8_t b : f)
        feed({b}, t += 10);
    EXPECT_EQ(control_.take(), (Calls{"button 160 1 0", "ptt 1"}));
}

TEST_F(Front46Frames, RefusedFramesDropEverythingUntilAPauseOfMoreThan3ms)
{
    Bytes bad_crc = kP1Pressed;
    bad_crc.back() ^= 0x01;
    const struct {
        const char *what;
        Bytes bad;
        std::string line;
    } cases[] = {
        {"length 3", {0x00, 0x03, 0x01, 0x02, 0x03}, "frame46: feed: error: size: 3 !\n"},
        {"length 1297", {0x05, 0x11, 0x00, 0x00, 0x00}, "frame46: feed: error: size: 1297 !\n"},
        {"length 0", {0x00, 0x00}, "frame46: feed: error: size: 0 !\n"},
        {"bad CRC", bad_crc, "frame46: feed: error: CRC16 !\n"},
    };
    uint64_t t = 10000;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        // The rest of the chunk, and what follows within 3 ms of the previous
        // read, is dropped even when it is a good frame.
        EXPECT_EQ(feed_logged(join({c.bad, kP1Pressed}), t), c.line);
        feed(kP1Released, t + 2);
        feed(kP1Released, t + 5);
        EXPECT_TRUE(control_.take().empty());
        feed(join({kP1Pressed, kP1Released}), t + 9);
        EXPECT_EQ(control_.take(), (Calls{"button 160 1 0", "button 160 0 0"}));
        t += 1000;
    }
    // The largest and smallest frames the panel may send are taken.
    feed(frame(Bytes(1294, 0x11)), t);
    feed(frame({0x5A, 0xA5}), t + 1);
    EXPECT_EQ(feed_logged(kP1Pressed, t + 2), "front46: button: [ P1 ]: [#] ---\n");
    EXPECT_EQ(control_.take(), (Calls{"button 160 1 0"}));
}

TEST_F(Front46Frames, AnyOfFourPttSourcesKeysTheGateway)
{
    Bytes no_mark = kPtt0Pressed; // byte 6 is not 0xC0
    no_mark[6] = 0xC1;
    no_mark = frame(Bytes(no_mark.begin() + 2, no_mark.end() - 2));
    Bytes no_bit7 = frame({0x00, 0x00, 0x00, 0x00, 0xC0});
    const struct {
        Bytes f;
        Calls calls;
    } steps[] = {
        {kPtt0Pressed, {"ptt 1"}},
        {kPtt2Pressed, {}},
        {kPtt0Released, {}}, // source 2 still held
        {kPtt2Released, {"ptt 0"}},
        {kPtt2Released, {}},
        {kPtt5Pressed, {}}, // sources 4-7 are unused
        {no_mark, {}},
        {no_bit7, {}},
        {kPtt2Pressed, {"ptt 1"}},
        {kPtt2Pressed, {}},
        {kPtt2Released, {"ptt 0"}},
    };
    uint64_t t = 1000;
    for (size_t i = 0; i < sizeof steps / sizeof steps[0]; i++) {
        SCOPED_TRACE(i);
        feed(steps[i].f, t += 20);
        EXPECT_EQ(control_.take(), steps[i].calls);
    }
}

TEST_F(Front46Frames, PttLogLines)
{
    EXPECT_EQ(feed_logged(kPtt0Pressed, 1000), "front46: ptt: 1 !\n");
    EXPECT_EQ(feed_logged(kPtt0Released, 1020), "front46: ptt: 0 !\n");
}

TEST_F(Front46Frames, BackHeldOver4000msStartsTheResetSequence)
{
    const struct {
        uint64_t held;
        bool resets;
    } cases[] = {{4001, true}, {3000, false}, {4000, false}, {60000, true}};
    uint64_t t = 100000;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.held);
        feed(kBackPressed, t);
        const std::string log = feed_logged(kBackReleased, t + c.held);
        Calls want{"button 140 1 0", "button 140 0 0"};
        if (c.resets)
            want.push_back("reset");
        EXPECT_EQ(control_.take(), want);
        EXPECT_EQ(log, std::string("front46: button: [BACK]: [ ] ---\n") +
                           (c.resets ? "--- RESET SEQ DETECTED ---\n" : ""));
        t += 100000;
    }
    // A release with no press remembered counts as a long press: one after
    // the last release (whose press is forgotten), and a second release after
    // a short press.
    const std::string log = feed_logged(kBackReleased, t);
    EXPECT_EQ(control_.take(), (Calls{"button 140 0 0", "reset"}));
    EXPECT_EQ(log, "front46: button: [BACK]: [ ] ---\n--- RESET SEQ DETECTED ---\n");
    feed(kBackPressed, t + 10);
    feed(kBackReleased, t + 3000);
    feed(kBackReleased, t + 3010);
    EXPECT_EQ(control_.take(), (Calls{"button 140 1 0", "button 140 0 0", "button 140 0 0", "reset"}));
}

TEST_F(Front46Frames, EveryKeyOfTheTableGoesToTheControl)
{
    const struct {
        uint8_t code;
        const char *name;
    } keys[] = {{0xA0, " P1 "}, {0xA1, " P2 "}, {0xA2, " P3 "}, {0xA3, " P4 "}, {0x87, " UP "},
                {0x88, "DOWN"}, {0x5C, " OK "}, {0x8C, "BACK"}, {0x5B, "DIAL"}};
    uint64_t t = 1000;
    for (const auto &k : keys) {
        SCOPED_TRACE(k.name);
        EXPECT_EQ(feed_logged(button(k.code, 7), t += 10),
                  std::string("front46: button: [") + k.name + "]: [#] ---\n");
        EXPECT_EQ(feed_logged(button(k.code, 0), t += 10),
                  std::string("front46: button: [") + k.name + "]: [ ] ---\n");
        const std::string id = std::to_string(k.code);
        EXPECT_EQ(control_.take(), (Calls{"button " + id + " 1 0", "button " + id + " 0 0"}));
    }
}

TEST_F(Front46Frames, UnknownKeysDialAndOtherFramesOnlyLog)
{
    EXPECT_EQ(feed_logged(kUnknownKey, 1000), "");
    EXPECT_EQ(feed_logged(button(0x00, 1), 1010), "");
    EXPECT_EQ(feed_logged(button(0xFF, 0), 1020), "");
    EXPECT_EQ(feed_logged(kDial, 1030), "front46: dial: val: -3, change: -1\n");
    Bytes dial_other = kDial; // byte 11 is not the dial's code
    dial_other[11] = 3;
    EXPECT_EQ(feed_logged(frame(Bytes(dial_other.begin() + 2, dial_other.end() - 2)), 1040), "");
    EXPECT_EQ(feed_logged(kPoll, 1050), "");
    EXPECT_EQ(feed_logged(frame(Bytes(12, 0x8C)), 1060), "");
    EXPECT_TRUE(control_.take().empty());
}

// The panel on a pseudo-terminal: the test reads what the gateway writes.
class Front46Line : public testing::Test
{
  protected:
    void SetUp() override
    {
        char name[64];
        ASSERT_EQ(::openpty(&master_, &slave_, name, nullptr, nullptr), 0);
        serial_ = std::make_unique<SerialControl>(&control_, 0, name);
        SerialSettings s{3000000, 'n', 1};
        ASSERT_EQ(serial_->open(&s), 0);
        panel_ = std::make_unique<class_front46>(&control_, nullptr, serial_.get());
        control_.front = panel_.get();
    }
    void TearDown() override
    {
        serial_->close();
        control_.front = nullptr;
        panel_.reset();
        serial_.reset();
        ::close(master_);
        ::close(slave_);
    }
    // Reads from the line until `done` says enough (or 10 s pass).
    Bytes read_until(const std::function<bool(const Bytes &)> &done)
    {
        Bytes got;
        auto deadline = std::chrono::steady_clock::now() + 10s;
        while (!done(got) && std::chrono::steady_clock::now() < deadline) {
            pollfd p{master_, POLLIN, 0};
            if (::poll(&p, 1, 50) != 1)
                continue;
            uint8_t buf[4096];
            ssize_t n = ::read(master_, buf, sizeof buf);
            if (n > 0)
                got.insert(got.end(), buf, buf + n);
        }
        return got;
    }
    static size_t count(const Bytes &hay, const Bytes &needle)
    {
        size_t n = 0;
        for (auto it = hay.begin();
             (it = std::search(it, hay.end(), needle.begin(), needle.end())) != hay.end();
             it += static_cast<long>(needle.size()))
            n++;
        return n;
    }

    int master_ = -1, slave_ = -1;
    FakePanelControl control_;
    std::unique_ptr<SerialControl> serial_;
    std::unique_ptr<class_front46> panel_;
};

TEST_F(Front46Line, PollsAndDisplayFramesGoOutWhole)
{
    ASSERT_EQ(panel_->init(), 0);
    EXPECT_EQ(panel_->init(), -1);
    const Bytes display = frame(Bytes(600, 0x3C));
    std::thread writer([&] {
        for (int i = 0; i < 5; i++)
            panel_->send_frame(display.data(), display.size());
    });
    Bytes got = read_until([&](const Bytes &b) { return count(b, display) >= 5 && count(b, kPoll) >= 5; });
    writer.join();
    EXPECT_EQ(count(got, display), 5u);
    EXPECT_GE(count(got, kPoll), 5u);
    // Nothing but whole polls and whole display frames.
    const size_t rest = got.size() - count(got, display) * display.size() - count(got, kPoll) * kPoll.size();
    EXPECT_LT(rest, kPoll.size());
}

// The poll thread sends a poll every 20 ms (and holds the line 1 ms after
// each): the mean of 25 intervals, in a band wide enough for a busy machine.
TEST_F(Front46Line, PollsComeEvery20Milliseconds)
{
    ASSERT_EQ(panel_->init(), 0);
    std::vector<std::chrono::steady_clock::time_point> seen;
    read_until([&](const Bytes &b) {
        const size_t n = count(b, kPoll);
        while (seen.size() < n)
            seen.push_back(std::chrono::steady_clock::now());
        return n >= 26;
    });
    ASSERT_GE(seen.size(), 26u);
    const auto mean = std::chrono::duration_cast<std::chrono::microseconds>(seen[25] - seen[0]) / 25;
    EXPECT_GE(mean, 15ms);
    EXPECT_LE(mean, 80ms);
}

TEST_F(Front46Line, PanelFramesReadFromTheLineReachTheControl)
{
    const Bytes keys = join({kPtt0Pressed, kP1Pressed, kP1Released, kPtt0Released});
    ASSERT_EQ(::write(master_, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
    ASSERT_TRUE(control_.wait_calls(4));
    EXPECT_EQ(control_.take(), (Calls{"ptt 1", "button 160 1 0", "button 160 0 0", "ptt 0"}));
}

// The control holds its own lock while it hands display frames to the panel,
// and the panel's callbacks take that lock on the reader thread: both at once,
// many times, must never block each other for good.
TEST_F(Front46Line, DisplayFramesUnderTheControlLockAndPanelEventsTogether)
{
    ASSERT_EQ(panel_->init(), 0);
    constexpr int rounds = 200;
    std::thread server([&] {
        const Bytes display = frame({0x01, 0x02, 0x03});
        for (int i = 0; i < rounds; i++) {
            std::lock_guard<std::recursive_mutex> lock(control_.mutex);
            panel_->send_frame(display.data(), display.size());
        }
    });
    std::atomic<bool> done{false};
    std::thread drain([&] { read_until([&](const Bytes &) { return done.load(); }); });
    const Bytes keys = join({kP1Pressed, kP1Released});
    for (int i = 0; i < rounds; i++)
        ASSERT_EQ(::write(master_, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
    EXPECT_TRUE(control_.wait_calls(2 * rounds));
    server.join();
    done = true;
    drain.join();
}

TEST(Front46Lifetime, DestroyingARunningPanelStopsItsPollThread)
{
    char name[64];
    int master = -1, slave = -1;
    ASSERT_EQ(::openpty(&master, &slave, name, nullptr, nullptr), 0);
    FakePanelControl control;
    SerialControl serial(&control, 0, name);
    SerialSettings s{3000000, 'n', 1};
    ASSERT_EQ(serial.open(&s), 0);
    for (int i = 0; i < 20; i++) {
        class_front46 panel(&control, nullptr, &serial);
        ASSERT_EQ(panel.init(), 0);
    }
    serial.close();
    ::close(master);
    ::close(slave);
}

} // namespace
