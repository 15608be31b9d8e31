// The Front46 panel code against the box's panel emulator on "/dev/ttyS1"
// (run as `boardbox --tty1 front46 -- front46_inbox_test`): polls and display
// frames as the panel checks them, and the panel's PTT, keys, dial, split and
// faulty frames as the control receives them.
#include "base/crc16_xmodem.h"
#include "board/serial_control.h"
#include "sim/box_client.h"
#include "tests/fronts/fake_panel_control.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <set>
#include <string>
#include <thread>

namespace
{

using namespace std::chrono_literals;
using Calls = FakePanelControl::Calls;
using nlohmann::json;

class Front46Inbox : public testing::Test
{
  protected:
    void SetUp() override
    {
        ASSERT_EQ(box_.connect_inside(), 0);
        serial_ = std::make_unique<SerialControl>(&control_, 0, "/dev/ttyS1");
        SerialSettings s{3000000, 'n', 1};
        ASSERT_EQ(serial_->open(&s), 0);
        panel_ = std::make_unique<class_front46>(&control_, nullptr, serial_.get());
        control_.front = panel_.get();
        ASSERT_EQ(panel_->init(), 0);
        ASSERT_EQ(ask({{"op", "clear"}}, nullptr), 0);
    }
    void TearDown() override
    {
        serial_->close();
        control_.front = nullptr;
        panel_.reset();
        serial_.reset();
    }
    int ask(json req, json *reply)
    {
        req["cmd"] = "front46";
        json r;
        int rc = box_.request(req, r);
        if (reply)
            *reply = r;
        return rc;
    }
    json state()
    {
        json s;
        EXPECT_EQ(ask({{"op", "state"}}, &s), 0);
        return s;
    }
    // Waits until the panel has sent everything it was asked to.
    bool wait_sent()
    {
        for (auto deadline = std::chrono::steady_clock::now() + 10s;
             std::chrono::steady_clock::now() < deadline;) {
            if (state()["pending"] == 0)
                return true;
            std::this_thread::sleep_for(5ms);
        }
        return false;
    }
    // Presses and releases `key` and waits for both events, returning the
    // calls made before them.
    Calls click(const std::string &key, int code)
    {
        EXPECT_EQ(ask({{"op", "key"}, {"name", key}, {"hold_ms", 30}}, nullptr), 0);
        Calls before;
        EXPECT_TRUE(control_.wait_for_call("button " + std::to_string(code) + " 0 0", &before));
        return before;
    }

    boardbox::Client box_;
    FakePanelControl control_;
    std::unique_ptr<SerialControl> serial_;
    std::unique_ptr<class_front46> panel_;
};

TEST_F(Front46Inbox, PollsAndDisplayFramesReachThePanelWhole)
{
    // Display frames of every size, from several threads, among the polls.
    std::vector<std::string> sent;
    std::vector<std::vector<uint8_t>> frames;
    for (size_t payload : {2u, 3u, 60u, 500u, 1294u}) {
        std::vector<uint8_t> p(payload);
        for (size_t i = 0; i < payload; i++)
            p[i] = static_cast<uint8_t>(i * 7 + payload);
        const size_t l = payload + 2;
        std::vector<uint8_t> f{static_cast<uint8_t>(l >> 8), static_cast<uint8_t>(l)};
        f.insert(f.end(), p.begin(), p.end());
        const uint16_t crc = crc16::xmodem(p.data(), p.size());
        f.push_back(static_cast<uint8_t>(crc >> 8));
        f.push_back(static_cast<uint8_t>(crc));
        frames.push_back(f);
    }
    std::vector<std::thread> senders;
    for (int t = 0; t < 3; t++)
        senders.emplace_back([&] {
            for (const auto &f : frames)
                panel_->send_frame(f.data(), f.size());
        });
    for (auto &t : senders)
        t.join();

    json s;
    for (auto deadline = std::chrono::steady_clock::now() + 20s;
         std::chrono::steady_clock::now() < deadline;) {
        s = state();
        if (s["displays"] >= 15 && s["polls"] >= 100)
            break;
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_EQ(s["displays"], 15);
    EXPECT_GE(s["polls"], 100);
    EXPECT_EQ(s["bad_crc"], 0);
    EXPECT_EQ(s["bad_length"], 0);
    EXPECT_EQ(s["incomplete"], 0);
    EXPECT_EQ(s["baud"], 3000000);
    std::printf("poll spacing (ms): %s\n", s["poll_ms"].dump().c_str());

    json d;
    ASSERT_EQ(ask({{"op", "displays"}}, &d), 0);
    std::multiset<std::string> want, got;
    for (const auto &f : frames) {
        std::string h;
        char b[4];
        for (size_t i = 0; i < f.size(); i++) {
            std::snprintf(b, sizeof b, i ? " %02X" : "%02X", f[i]);
            h += b;
        }
        for (int t = 0; t < 3; t++)
            want.insert(h);
    }
    for (const auto &h : d["frames"])
        got.insert(h.get<std::string>());
    EXPECT_TRUE(want == got);
}

TEST_F(Front46Inbox, PanelPttKeysAndDialReachTheControl)
{
    ASSERT_EQ(ask({{"op", "ptt"}, {"source", 0}, {"on", true}}, nullptr), 0);
    ASSERT_TRUE(control_.wait_for_call("ptt 1"));
    ASSERT_EQ(ask({{"op", "ptt"}, {"source", 2}, {"on", true}}, nullptr), 0);
    ASSERT_EQ(ask({{"op", "ptt"}, {"source", 0}, {"on", false}}, nullptr), 0);
    // Source 2 still holds PTT: the key events that follow come first.
    EXPECT_EQ(click("UP", 0x87), (Calls{"button 135 1 0"}));
    ASSERT_EQ(ask({{"op", "ptt"}, {"source", 2}, {"on", false}}, nullptr), 0);
    ASSERT_TRUE(control_.wait_for_call("ptt 0"));

    ASSERT_EQ(ask({{"op", "dial"}, {"change", 5}}, nullptr), 0);
    ASSERT_EQ(ask({{"op", "key"}, {"code", 0x42}}, nullptr), 0); // not a key of the panel
    EXPECT_EQ(click("P4", 0xA3), (Calls{"button 163 1 0"}));

    // A key frame split over five reads 20 ms apart is one press.
    ASSERT_EQ(ask({{"op", "key"}, {"name", "OK"}, {"pieces", 5}, {"pause_ms", 20}}, nullptr), 0);
    Calls before;
    ASSERT_TRUE(control_.wait_for_call("button 92 0 0", &before));
    EXPECT_EQ(before, (Calls{"button 92 1 0"}));
}

TEST_F(Front46Inbox, RefusedFramesCostTheRestOfTheirReadOnly)
{
    for (const char *kind : {"bad_crc", "length3", "length1297"}) {
        SCOPED_TRACE(kind);
        // The good P1 frames in the same write are dropped with the bad one;
        // a later write, at least a tick later, is read again. The pause that
        // counts is the one between two reads, which a busy machine can
        // shorten: a press lost so is tried again.
        ASSERT_EQ(ask({{"op", "inject"}, {"kind", kind}, {"then", "P1"}}, nullptr), 0);
        ASSERT_TRUE(wait_sent());
        Calls before;
        for (int i = 0; i < 5 && before != Calls{"button 161 1 0"}; i++) {
            before = click("P2", 0xA1);
            EXPECT_TRUE(before.empty() || before == Calls{"button 161 1 0"});
        }
        EXPECT_EQ(before, (Calls{"button 161 1 0"}));
    }
}

TEST_F(Front46Inbox, BackHeldOverFourSecondsStartsTheResetSequence)
{
    ASSERT_EQ(ask({{"op", "key"}, {"name", "BACK"}, {"hold_ms", 3000}}, nullptr), 0);
    Calls before;
    ASSERT_TRUE(control_.wait_for_call("button 140 0 0", &before));
    EXPECT_EQ(before, (Calls{"button 140 1 0"}));
    // Held well over 4 s: the gateway times the hold between its reads, which a
    // busy machine can bring closer together than the panel's writes.
    ASSERT_EQ(ask({{"op", "key"}, {"name", "BACK"}, {"hold_ms", 4500}}, nullptr), 0);
    ASSERT_TRUE(control_.wait_for_call("reset", &before));
    EXPECT_EQ(before, (Calls{"button 140 1 0", "button 140 0 0"}));
}

} // namespace
