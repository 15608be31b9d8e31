// The GM360 front relay against a head on a pseudo-terminal: the test plays the
// head on the pty master (acknowledging frames, answering polls) while the relay
// writes through a real SerialControl on the slave.
#include "fronts/gmfront.h"

#include "board/gpio.h"
#include "board/serial_control.h"
#include "link/roip_conn.h"
#include "tests/board/control_stub.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace
{

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

const Bytes kPoll{0xF2, 0x36, 0x00, 0xD7};

Bytes key_frame(uint8_t k, uint8_t s, uint8_t x = 0)
{
    Bytes f{0xF4, 0x24, k, s, x, 0};
    gmframe::set_checksum(f.data(), f.size());
    return f;
}

Bytes display_frame(const char *text)
{
    uint8_t f[gmframe::DISPLAY_FRAME_SIZE];
    gmframe::make_display(text, f);
    return Bytes(f, f + sizeof f);
}

class FakeGpio : public Gpio
{
  public:
    int set_bits(uint32_t mask) override
    {
        std::lock_guard<std::mutex> lock(m);
        calls.push_back("set " + std::to_string(mask));
        return 0;
    }
    int clear_bits(uint32_t mask) override
    {
        std::lock_guard<std::mutex> lock(m);
        calls.push_back("clear " + std::to_string(mask));
        return 0;
    }
    std::mutex m;
    std::vector<std::string> calls;
};

struct SentPair {
    Bytes a, b;
    int len;
    uint32_t mode;
};

class FakeConn : public class_roip_conn
{
  public:
    FakeConn() : class_roip_conn(nullptr, "127.0.0.1", 1, "u", "p", 8000, 0) {}
    int send_front_state(uint8_t v) override
    {
        std::lock_guard<std::mutex> lock(m);
        states.push_back(v);
        cv.notify_all();
        return 0;
    }
    int send_front_frames(const uint8_t *a, const uint8_t *b, int len, uint32_t mode) override
    {
        std::lock_guard<std::mutex> lock(m);
        pairs.push_back({Bytes(a, a + len), Bytes(b, b + len), len, mode});
        cv.notify_all();
        return 0;
    }
    bool is_logged_in() override { return logged_in; }
    bool wait_pairs(size_t n)
    {
        std::unique_lock<std::mutex> lock(m);
        return cv.wait_for(lock, 10s, [&] { return pairs.size() >= n; });
    }
    bool wait_states(size_t n)
    {
        std::unique_lock<std::mutex> lock(m);
        return cv.wait_for(lock, 10s, [&] { return states.size() >= n; });
    }
    std::mutex m;
    std::condition_variable cv;
    std::vector<SentPair> pairs;
    std::vector<uint8_t> states;
    std::atomic<bool> logged_in{false};
};

class TestControl : public ControlStub
{
  public:
    void cb_serialread(int, const uint8_t *data, uint16_t len) override
    {
        if (class_gmfront *f = front.load())
            f->feed_front(data, len);
    }
    void cb_front_ptt(int ptt) override
    {
        std::lock_guard<std::mutex> lock(m);
        ptts.push_back(ptt);
        cv.notify_all();
    }
    bool wait_ptts(size_t n)
    {
        std::unique_lock<std::mutex> lock(m);
        return cv.wait_for(lock, 10s, [&] { return ptts.size() >= n; });
    }
    std::atomic<class_gmfront *> front{nullptr};
    std::mutex m;
    std::condition_variable cv;
    std::vector<int> ptts;
};

// The control head on the pty master: collects complete frames, acknowledges
// them when told to, and answers a poll with a queued key frame.
class FakeHead
{
  public:
    explicit FakeHead(int master) : master_(master), thread_([this] { loop(); }) {}
    ~FakeHead()
    {
        stop_ = true;
        thread_.join();
    }
    void write(const Bytes &b)
    {
        ssize_t n = ::write(master_, b.data(), b.size());
        (void)n;
    }
    bool wait_frames(size_t n)
    {
        std::unique_lock<std::mutex> lock(m);
        return cv.wait_for(lock, 15s, [&] { return frames.size() >= n; });
    }
    std::vector<Bytes> snapshot()
    {
        std::lock_guard<std::mutex> lock(m);
        return frames;
    }
    std::atomic<bool> auto_ack{true};
    std::mutex m;
    Bytes answer;      // written once in reply to the next poll
    Bytes during_wait; // written before the acknowledgement of the next frame

  private:
    void loop()
    {
        gmframe::Assembler a;
        while (!stop_) {
            struct pollfd p = {master_, POLLIN, 0};
            if (::poll(&p, 1, 20) != 1)
                continue;
            uint8_t buf[256];
            ssize_t n = ::read(master_, buf, sizeof buf);
            for (ssize_t i = 0; i < n; i++) {
                if (a.feed(buf[i]) != gmframe::Assembler::FRAME)
                    continue;
                Bytes f(a.data(), a.data() + a.size());
                Bytes reply;
                {
                    std::lock_guard<std::mutex> lock(m);
                    frames.push_back(f);
                    if (f == kPoll) {
                        reply.swap(answer);
                    } else {
                        if (!during_wait.empty())
                            reply.swap(during_wait);
                        if (auto_ack)
                            reply.push_back(gmframe::ACK);
                    }
                    cv.notify_all();
                }
                if (!reply.empty())
                    write(reply);
            }
        }
    }
    std::vector<Bytes> frames;
    std::condition_variable cv;
    int master_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

class GmFrontTest : public testing::Test
{
  protected:
    void SetUp() override
    {
        char name[64];
        ASSERT_EQ(::openpty(&master_, &slave_, name, nullptr, nullptr), 0);
        serial_ = std::make_unique<SerialControl>(&control_, 0, name);
        SerialSettings s{9600, 'n', 1};
        ASSERT_EQ(serial_->open(&s), 0);
        serial_->SetTimeoutReset(0);
        head_ = std::make_unique<FakeHead>(master_);
        front_ = std::make_unique<class_gmfront>(&control_, &conn_, &gpio_, serial_.get());
        control_.front = front_.get();
    }
    void TearDown() override
    {
        serial_->close();
        control_.front = nullptr;
        front_.reset();
        head_.reset();
        serial_.reset();
        ::close(master_);
        ::close(slave_);
    }

    int master_ = -1, slave_ = -1;
    TestControl control_;
    FakeConn conn_;
    FakeGpio gpio_;
    std::unique_ptr<SerialControl> serial_;
    std::unique_ptr<FakeHead> head_;
    std::unique_ptr<class_gmfront> front_;
};

TEST_F(GmFrontTest, ConstructionPulsesTheResetLine)
{
    std::lock_guard<std::mutex> lock(gpio_.m);
    EXPECT_EQ(gpio_.calls, (std::vector<std::string>{"set 8", "clear 8"}));
}

TEST_F(GmFrontTest, RadioFramesReachTheHeadOneAtATime)
{
    head_->auto_ack = false;
    const Bytes a{0xF2, 0x31, 0x00, 0xDC};
    const Bytes b{0xF1, 0x33, 0xDB};
    Bytes both = a;
    both.insert(both.end(), b.begin(), b.end());
    front_->feed_radio(both.data(), both.size());
    ASSERT_TRUE(head_->wait_frames(1));
    // No acknowledgement yet: the second frame waits (until the 1 s time-out).
    EXPECT_EQ(head_->snapshot().size(), 1u);
    head_->auto_ack = true;
    head_->write({gmframe::ACK});
    ASSERT_TRUE(head_->wait_frames(2));
    EXPECT_EQ(head_->snapshot(), (std::vector<Bytes>{a, b}));
}

TEST_F(GmFrontTest, SplitFrameFromTheServerIsRelayedWhole)
{
    const uint8_t p1[] = {0xF2, 0x31};
    const uint8_t p2[] = {0x00, 0xDC};
    front_->feed_radio(p1, 2);
    front_->feed_radio(p2, 2);
    ASSERT_TRUE(head_->wait_frames(1));
    EXPECT_EQ(head_->snapshot()[0], (Bytes{0xF2, 0x31, 0x00, 0xDC}));
}

TEST_F(GmFrontTest, UnansweredFrameCostsOneSecondThenTheNextGoes)
{
    head_->auto_ack = false;
    const Bytes a{0xF1, 0x33, 0xDB};
    const Bytes b{0xF2, 0x31, 0x3D, 0x9F};
    front_->feed_radio(a.data(), a.size());
    front_->feed_radio(b.data(), b.size());
    ASSERT_TRUE(head_->wait_frames(2));
    EXPECT_EQ(head_->snapshot(), (std::vector<Bytes>{a, b}));
}

TEST_F(GmFrontTest, PollAndKeyFramesFromTheRadioAreNeverPassedOn)
{
    Bytes junk = kPoll;
    Bytes key = key_frame(0x05, 1);
    junk.insert(junk.end(), key.begin(), key.end());
    const Bytes marker{0xF1, 0x33, 0xDB};
    junk.insert(junk.end(), marker.begin(), marker.end());
    front_->feed_radio(junk.data(), junk.size());
    ASSERT_TRUE(head_->wait_frames(1));
    EXPECT_EQ(head_->snapshot(), (std::vector<Bytes>{marker}));
}

TEST_F(GmFrontTest, CorruptRadioFrameIsDroppedAndLogged)
{
    testing::internal::CaptureStdout();
    const Bytes bad{0xF2, 0x31, 0x00, 0xDB, 0xF1, 0x33, 0xDB};
    front_->feed_radio(bad.data(), bad.size());
    ASSERT_TRUE(head_->wait_frames(1));
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("f <- r  : [ F2 31 00 DB F1 33 DB ]\n"), std::string::npos) << out;
    EXPECT_NE(out.find("radio : CRC ERROR :   : [ F2 31 00 DB ]\n"), std::string::npos) << out;
    EXPECT_EQ(head_->snapshot(), (std::vector<Bytes>{{0xF1, 0x33, 0xDB}}));
}

TEST_F(GmFrontTest, PollAnsweredWithThePttKeyKeysTheControl)
{
    {
        std::lock_guard<std::mutex> lock(head_->m);
        head_->answer = key_frame(0x00, 1);
    }
    testing::internal::CaptureStdout();
    front_->irq(1);
    ASSERT_TRUE(control_.wait_ptts(1));
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("front : [ IRQ ]\n"), std::string::npos);
    EXPECT_EQ(head_->snapshot()[0], kPoll);
    {
        std::lock_guard<std::mutex> lock(head_->m);
        head_->answer = key_frame(0x00, 0);
    }
    front_->irq(1);
    ASSERT_TRUE(control_.wait_ptts(2));
    std::lock_guard<std::mutex> lock(control_.m);
    EXPECT_EQ(control_.ptts, (std::vector<int>{1, 0}));
}

TEST_F(GmFrontTest, IrqLevelZeroDoesNothing)
{
    front_->irq(0);
    const Bytes marker{0xF1, 0x33, 0xDB};
    front_->feed_radio(marker.data(), marker.size());
    ASSERT_TRUE(head_->wait_frames(1));
    EXPECT_EQ(head_->snapshot(), (std::vector<Bytes>{marker}));
}

TEST_F(GmFrontTest, PressedKeyGoesToTheServerAsPairMode0)
{
    Bytes pressed = key_frame(0x05, 1);
    {
        std::lock_guard<std::mutex> lock(head_->m);
        head_->answer = pressed;
    }
    front_->irq(1);
    ASSERT_TRUE(conn_.wait_pairs(1));
    std::lock_guard<std::mutex> lock(conn_.m);
    EXPECT_EQ(conn_.pairs[0].a, pressed);
    EXPECT_EQ(conn_.pairs[0].b, key_frame(0x05, 0));
    EXPECT_EQ(conn_.pairs[0].len, 6);
    EXPECT_EQ(conn_.pairs[0].mode, 0u);
}

TEST_F(GmFrontTest, ReleasedKeyGoesAsPairMode1)
{
    Bytes released = key_frame(0x07, 0);
    {
        std::lock_guard<std::mutex> lock(head_->m);
        head_->answer = released;
    }
    front_->irq(1);
    ASSERT_TRUE(conn_.wait_pairs(1));
    std::lock_guard<std::mutex> lock(conn_.m);
    EXPECT_EQ(conn_.pairs[0].a, key_frame(0x07, 1));
    EXPECT_EQ(conn_.pairs[0].b, released);
    EXPECT_EQ(conn_.pairs[0].mode, 1u);
}

TEST_F(GmFrontTest, ExclamationKeyReleasedGoesAsMode2AndPressedIsDropped)
{
    {
        std::lock_guard<std::mutex> lock(head_->m);
        head_->answer = key_frame(0x21, 1);
    }
    // Pressed (s = 1): nothing is sent; then released (s = 0): mode 2.
    front_->irq(1);
    ASSERT_TRUE(head_->wait_frames(1));
    {
        std::lock_guard<std::mutex> lock(head_->m);
        head_->answer = key_frame(0x21, 0);
    }
    // The marker is queued behind the poll, so it reaches the head only after
    // the poll's answer was handled.
    const Bytes marker{0xF1, 0x33, 0xDB};
    front_->feed_radio(marker.data(), marker.size());
    ASSERT_TRUE(head_->wait_frames(2));
    front_->irq(1);
    ASSERT_TRUE(conn_.wait_pairs(1));
    std::lock_guard<std::mutex> lock(conn_.m);
    ASSERT_EQ(conn_.pairs.size(), 1u);
    EXPECT_EQ(conn_.pairs[0].a, key_frame(0x21, 0));
    EXPECT_EQ(conn_.pairs[0].b, key_frame(0x21, 1));
    EXPECT_EQ(conn_.pairs[0].mode, 2u);
}

TEST_F(GmFrontTest, IgnoredKeysAndOtherValuesSendNothing)
{
    const Bytes keys[] = {key_frame(0xFF, 1), key_frame(0x20, 1), key_frame(0x05, 2)};
    for (const Bytes &k : keys)
        front_->handle_front_frame(k.data(), k.size());
    // A key with a non-zero extra byte is an ordinary key, even with code 0.
    Bytes extra = key_frame(0x00, 1, 3);
    front_->handle_front_frame(extra.data(), extra.size());
    std::lock_guard<std::mutex> lock(conn_.m);
    ASSERT_EQ(conn_.pairs.size(), 1u);
    EXPECT_EQ(conn_.pairs[0].a, extra);
    EXPECT_EQ(control_.ptts.size(), 0u);
}

TEST_F(GmFrontTest, VolumeKnobLogsTheAmplifierLevel)
{
    testing::internal::CaptureStdout();
    Bytes knob = key_frame(0x10, 0xFC);
    front_->handle_front_frame(knob.data(), knob.size());
    std::string out = testing::internal::GetCapturedStdout();
    // No amplifier is open in this process, so the write itself fails.
    EXPECT_EQ(out, "setting volume : 252 -> 63\nsetting volume : FAILED !\n");
}

TEST_F(GmFrontTest, KeyFrameDuringAnAcknowledgementWaitIsDropped)
{
    {
        std::lock_guard<std::mutex> lock(head_->m);
        head_->during_wait = key_frame(0x00, 1);
    }
    const Bytes a{0xF1, 0x33, 0xDB};
    front_->feed_radio(a.data(), a.size());
    ASSERT_TRUE(head_->wait_frames(1));
    // The key frame was taken while waiting for the acknowledgement and dropped:
    // the next poll without an answer finds nothing to handle.
    front_->irq(1);
    const Bytes marker{0xF2, 0x31, 0x3D, 0x9F};
    front_->feed_radio(marker.data(), marker.size());
    ASSERT_TRUE(head_->wait_frames(3));
    std::lock_guard<std::mutex> lock(control_.m);
    EXPECT_TRUE(control_.ptts.empty());
}

TEST_F(GmFrontTest, ConnectedShowsConnectingThenInitialisesTheHead)
{
    conn_.logged_in = true;
    front_->connected();
    ASSERT_TRUE(head_->wait_frames(8));
    ASSERT_TRUE(conn_.wait_states(1));
    auto frames = head_->snapshot();
    ASSERT_EQ(frames.size(), 8u);
    EXPECT_EQ(frames[0], display_frame("Connecting .."));
    for (int i = 0; i < 7; i++)
        EXPECT_EQ(frames[i + 1],
                  Bytes(gmframe::INIT_FRAMES[i], gmframe::INIT_FRAMES[i] + gmframe::INIT_FRAME_SIZES[i]));
    std::lock_guard<std::mutex> lock(conn_.m);
    EXPECT_EQ(conn_.states, (std::vector<uint8_t>{0}));
}

TEST_F(GmFrontTest, ConnectedButAlreadyDroppedShowsNoConn)
{
    conn_.logged_in = false;
    front_->connected();
    ASSERT_TRUE(head_->wait_frames(9));
    EXPECT_EQ(head_->snapshot()[8], display_frame("No conn."));
}

TEST_F(GmFrontTest, DisconnectedShowsNoConn)
{
    front_->disconnected();
    ASSERT_TRUE(head_->wait_frames(1));
    EXPECT_EQ(head_->snapshot()[0], display_frame("No conn."));
}

TEST_F(GmFrontTest, OverlongDisplayTextChangesNothing)
{
    front_->display("ABCDEFGHIJKLMNO");
    front_->display("Fourteen chars");
    ASSERT_TRUE(head_->wait_frames(1));
    EXPECT_EQ(head_->snapshot(), (std::vector<Bytes>{display_frame("Fourteen chars")}));
}

TEST_F(GmFrontTest, StuckRequestLineQueuesAtMostOnePendingPoll)
{
    for (int i = 0; i < 50; i++)
        front_->irq(1);
    const Bytes marker{0xF1, 0x33, 0xDB};
    front_->feed_radio(marker.data(), marker.size());
    // The head never answers the polls; the frame must come after at most two.
    for (size_t n = 1;; n++) {
        ASSERT_TRUE(head_->wait_frames(n));
        if (head_->snapshot().back() == marker)
            break;
    }
    auto frames = head_->snapshot();
    EXPECT_LE(frames.size(), 3u);
}

TEST_F(GmFrontTest, ShortHeadFramesAndAcksOutsideWaitsAreHarmless)
{
    const Bytes noise{0x50, 0x50, 0xF1, 0x33, 0xDB, 0xF4, 0x24, 0x00, 0x01, 0x00, 0xE6, 0x00, 0x13};
    front_->feed_front(noise.data(), noise.size());
    // A key frame outside a poll is only queued; the relay drops it with the
    // acknowledgements when it next waits.
    const Bytes marker{0xF2, 0x31, 0x3D, 0x9F};
    front_->feed_radio(marker.data(), marker.size());
    ASSERT_TRUE(head_->wait_frames(1));
    std::lock_guard<std::mutex> lock(control_.m);
    EXPECT_TRUE(control_.ptts.empty());
}

} // namespace
