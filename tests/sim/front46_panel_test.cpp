// The box's Front46 panel peer, driven directly through a fake line: what it
// checks in the gateway's frames (polls and their spacing, display frames,
// bad lengths, bad CRCs, frames split anywhere, stale pieces) and the frames
// its control requests send, byte for byte and at the ticks they are due.
#include "sim/tty_peer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using B = std::vector<uint8_t>;

namespace
{

const B kPoll{0x00, 0x04, 0x73, 0x07, 0x2D, 0xED};
const B kPtt0Pressed{0x00, 0x07, 0x80, 0x00, 0x00, 0x00, 0xC0, 0xFB, 0x9C};
const B kPtt2Released{0x00, 0x07, 0xA0, 0x04, 0x00, 0x00, 0xC0, 0x39, 0xD9};
const B kP1Pressed{0x00, 0x0D, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xA0, 0x01, 0x0D, 0x5F};
const B kP1Released{0x00, 0x0D, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xA0, 0x00, 0x1D, 0x7E};
const B kBackPressed{0x00, 0x0D, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                     0x00, 0x00, 0x00, 0x8C, 0x01, 0x4E, 0xD4};
const B kBackReleased{0x00, 0x0D, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                      0x00, 0x00, 0x00, 0x8C, 0x00, 0x5E, 0xF5};
const B kDialDown{0x00, 0x0E, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                  0x00, 0x00, 0x00, 0x02, 0xFD, 0xFD, 0x35, 0x4F};
// A display frame: payload 01 02 03 04.
const B kDisplay{0x00, 0x06, 0x01, 0x02, 0x03, 0x04, 0x0D, 0x03};

B operator+(B a, const B &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

class FakeLine : public boardbox::PeerHost
{
  public:
    int port() const override { return 1; }
    void send(const uint8_t *data, size_t count) override { writes.emplace_back(data, data + count); }
    void set_inputs(uint32_t, uint32_t) override {}
    uint32_t gpio_outputs() const override { return 0; }
    uint32_t gpio_levels() const override { return 0; }
    unsigned baud() const override { return 3000000; }
    void log(const std::string &text) override { logged.push_back(text); }
    double now() const override { return clock; }

    std::vector<B> take()
    {
        std::vector<B> w;
        w.swap(writes);
        return w;
    }

    std::vector<B> writes;
    std::vector<std::string> logged;
    double clock = 1;
};

class Front46PanelTest : public testing::Test
{
  protected:
    void SetUp() override
    {
        const boardbox::PeerFactory *f = boardbox::find_peer("front46");
        ASSERT_NE(f, nullptr);
        panel_ = (*f)(line_, "");
        ASSERT_NE(panel_, nullptr);
    }
    void feed(const B &b) { panel_->received(b.data(), b.size()); }
    nlohmann::json ctl(nlohmann::json req)
    {
        req["cmd"] = "front46";
        return panel_->control(req);
    }
    // Ticks every 10 ms for `ms` and returns the writes made.
    std::vector<B> run(int ms)
    {
        for (int t = 0; t < ms; t += 10) {
            line_.clock += 0.01;
            panel_->tick();
        }
        return line_.take();
    }

    FakeLine line_;
    std::unique_ptr<boardbox::TtyPeer> panel_;
};

TEST_F(Front46PanelTest, CountsPollsWithTheirSpacingAndKeepsDisplayFrames)
{
    for (double t : {1.000, 1.020, 1.041, 1.062}) {
        line_.clock = t;
        feed(kPoll);
    }
    // A display frame split anywhere, and one in the same write as a poll.
    feed({kDisplay[0]});
    feed(B(kDisplay.begin() + 1, kDisplay.begin() + 5));
    feed(B(kDisplay.begin() + 5, kDisplay.end()) + kPoll + kDisplay);
    nlohmann::json s = ctl({{"op", "state"}});
    EXPECT_EQ(s["polls"], 5);
    EXPECT_EQ(s["displays"], 2);
    EXPECT_EQ(s["bad_crc"], 0);
    EXPECT_EQ(s["bad_length"], 0);
    EXPECT_EQ(s["last_display"], "00 06 01 02 03 04 0D 03");
    EXPECT_EQ(s["poll_ms"]["intervals"], 4);
    EXPECT_DOUBLE_EQ(s["poll_ms"]["min"].get<double>(), 0);
    EXPECT_DOUBLE_EQ(s["poll_ms"]["max"].get<double>(), 21);
    nlohmann::json d = ctl({{"op", "displays"}});
    EXPECT_EQ(d["frames"], (nlohmann::json{"00 06 01 02 03 04 0D 03", "00 06 01 02 03 04 0D 03"}));
    ctl({{"op", "clear"}});
    EXPECT_EQ(ctl({{"op", "state"}})["polls"], 0);
}

TEST_F(Front46PanelTest, RefusesBadLengthsAndCrcsAndFindsTheNextFrame)
{
    B bad_crc = kDisplay;
    bad_crc.back() ^= 1;
    // The rest of a read with a refused frame is dropped; the next read starts anew.
    feed(B{0x00, 0x03} + kPoll);
    feed(bad_crc + kPoll);
    feed(B{0x05, 0x11, 0x00});
    feed(kPoll);
    nlohmann::json s = ctl({{"op", "state"}});
    EXPECT_EQ(s["bad_length"], 2);
    EXPECT_EQ(s["bad_crc"], 1);
    EXPECT_EQ(s["skipped"], 2 + 6 + 6 + 3);
    EXPECT_EQ(s["polls"], 1);
    EXPECT_EQ(s["displays"], 0);
    // A frame start whose rest never comes is dropped after half a second.
    feed({0x00, 0x06, 0x01});
    run(600);
    EXPECT_EQ(ctl({{"op", "state"}})["incomplete"], 1);
    feed(kDisplay);
    EXPECT_EQ(ctl({{"op", "state"}})["displays"], 1);
}

TEST_F(Front46PanelTest, SendsPttKeyAndDialFramesOfTheRightShape)
{
    EXPECT_TRUE(ctl({{"op", "ptt"}, {"source", 0}, {"on", true}})["ok"].is_null());
    EXPECT_EQ(run(10), (std::vector<B>{kPtt0Pressed}));
    EXPECT_EQ(ctl({{"op", "state"}})["ptt_held"], (nlohmann::json{0}));
    ctl({{"op", "ptt"}, {"source", 2}, {"on", false}});
    EXPECT_EQ(run(10), (std::vector<B>{kPtt2Released}));

    ctl({{"op", "key"}, {"name", "P1"}, {"hold_ms", 50}});
    std::vector<B> w = run(10);
    EXPECT_EQ(w, (std::vector<B>{kP1Pressed}));
    EXPECT_TRUE(run(30).empty());
    EXPECT_EQ(run(30), (std::vector<B>{kP1Released}));

    ctl({{"op", "key"}, {"name", " back "}, {"action", "press"}});
    ctl({{"op", "key"}, {"code", 0x8C}, {"action", "release"}});
    EXPECT_EQ(run(10), (std::vector<B>{kBackPressed + kBackReleased}));

    EXPECT_EQ(ctl({{"op", "dial"}, {"change", -3}})["value"], -3);
    EXPECT_EQ(run(10), (std::vector<B>{kDialDown}));
}

TEST_F(Front46PanelTest, AKeyMayBeClickedWhileAPttSourceIsHeld)
{
    ctl({{"op", "ptt"}, {"source", 0}, {"on", true}, {"hold_ms", 200}});
    ctl({{"op", "key"}, {"name", "P1"}, {"hold_ms", 50}});
    EXPECT_EQ(run(10), (std::vector<B>{kPtt0Pressed + kP1Pressed}));
    EXPECT_EQ(run(100), (std::vector<B>{kP1Released}));
    EXPECT_EQ(ctl({{"op", "state"}})["ptt_held"], (nlohmann::json{0}));
    std::vector<B> w = run(150);
    ASSERT_EQ(w.size(), 1u);
    EXPECT_EQ(w[0][3], 0x04);
    EXPECT_EQ(ctl({{"op", "state"}})["ptt_held"], nlohmann::json::array());
}

TEST_F(Front46PanelTest, NothingComesBetweenThePiecesOfASplitFrame)
{
    ctl({{"op", "key"}, {"name", "P1"}, {"hold_ms", 20}});
    ctl({{"op", "send"}, {"hex", "01020304"}, {"frame", true}, {"pieces", 4}, {"pause_ms", 20}});
    std::vector<B> w = run(80);
    ASSERT_EQ(w.size(), 4u);
    EXPECT_EQ(w[0], kP1Pressed + B({0x00, 0x06}));
    EXPECT_EQ(w[1], (B{0x01, 0x02}));
    EXPECT_EQ(w[2], (B{0x03, 0x04}));
    EXPECT_EQ(w[3], B({0x0D, 0x03}) + kP1Released);
}

TEST_F(Front46PanelTest, SplitsAndInjectsFaultyFrames)
{
    ctl({{"op", "key"}, {"name", "P1"}, {"action", "press"}, {"pieces", 3}, {"pause_ms", 20}});
    std::vector<B> w = run(60);
    ASSERT_EQ(w.size(), 3u);
    EXPECT_EQ(w[0] + w[1] + w[2], kP1Pressed);

    ctl({{"op", "inject"}, {"kind", "bad_crc"}, {"then", "P1"}});
    w = run(10);
    ASSERT_EQ(w.size(), 1u);
    B spoiled = kP1Pressed;
    spoiled.back() ^= 0x5A;
    EXPECT_EQ(w[0], spoiled + kP1Pressed + kP1Released);

    ctl({{"op", "inject"}, {"kind", "length3"}});
    EXPECT_EQ(run(10), (std::vector<B>{{0x00, 0x03, 0xA0, 0x01, 0x00}}));
    ctl({{"op", "inject"}, {"kind", "length1297"}});
    w = run(10);
    ASSERT_EQ(w.size(), 1u);
    EXPECT_EQ(B(w[0].begin(), w[0].begin() + 2), (B{0x05, 0x11}));

    ctl({{"op", "send"}, {"hex", "01 02 03 04"}, {"frame", true}});
    EXPECT_EQ(run(10), (std::vector<B>{kDisplay}));
}

TEST_F(Front46PanelTest, BadRequestsAreRefused)
{
    const nlohmann::json bad[] = {
        {{"op", "ptt"}, {"source", 8}, {"on", true}},
        {{"op", "ptt"}, {"source", 1}},
        {{"op", "ptt"}, {"source", "x"}, {"on", true}},
        {{"op", "key"}, {"name", "F9"}},
        {{"op", "key"}, {"name", "P1"}, {"action", "tap"}},
        {{"op", "key"}, {"name", "P1"}, {"hold_ms", -1}},
        {{"op", "dial"}, {"change", 200}},
        {{"op", "inject"}, {"kind", "length5"}},
        {{"op", "inject"}, {"kind", "bad_crc"}, {"then", 3}},
        {{"op", "send"}, {"hex", "0G"}},
        {{"op", "send"}, {"hex", "012"}},
        {{"op", "send"}, {"hex", "01"}, {"frame", true}},
        {{"op", "key"}, {"name", "P1"}, {"pieces", 0}},
        {{"op", "key"}, {"name", "P1"}, {"pause_ms", "long"}},
        {{"op", "fly"}},
    };
    for (const auto &r : bad) {
        SCOPED_TRACE(r.dump());
        nlohmann::json reply = ctl(r);
        EXPECT_EQ(reply["ok"], false);
        EXPECT_TRUE(reply["error"].is_string());
    }
    EXPECT_TRUE(run(20).empty());
}

} // namespace
