// End-to-end tests of an XCMP site. This program runs inside a box started
// with the Front46 panel emulator on "/dev/ttyS1" (`--tty1 front46`); it runs
// the server (gatesimd with its XML side) and the unmodified gwlinkd (radio
// type xcmp) as children in the same box, then drives the panel, the server's
// events and the audio through the two control sockets.
#include "tests/system/site_test.h"

#include "base/crc16_xmodem.h"
#include "gateway/config_record.h"
#include "sim/box_client.h"

#include <gtest/gtest.h>

#include <regex>

namespace
{

using namespace std::chrono_literals;
using nlohmann::json;
using site::Clock;
using site::count_lines;
using site::file_size;
using site::ms;

using site::eventually;
using site::kEvent;
using site::kStartup;
constexpr uint32_t POWER_OUTPUT = 0x20000;
constexpr uint32_t BATTERY_OUTPUT = 0x40000;

// A panel frame: big-endian length, payload, CRC-16/XMODEM of the payload.
site::Bytes panel_frame(const site::Bytes &payload)
{
    const size_t l = payload.size() + 2;
    site::Bytes f(2 + l);
    f[0] = static_cast<uint8_t>(l >> 8);
    f[1] = static_cast<uint8_t>(l);
    std::copy(payload.begin(), payload.end(), f.begin() + 2);
    const uint16_t crc = crc16::xmodem(payload.data(), payload.size());
    f[l] = static_cast<uint8_t>(crc >> 8);
    f[l + 1] = static_cast<uint8_t>(crc);
    return f;
}

std::string hex(const site::Bytes &b, const char *sep = " ")
{
    std::string s;
    char h[4];
    for (size_t i = 0; i < b.size(); i++) {
        std::snprintf(h, sizeof h, "%02X", b[i]);
        if (i)
            s += sep;
        s += h;
    }
    return s;
}

class XcmpSite : public site::SiteTest
{
  protected:
    void SetUp() override
    {
        site::SiteTest::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        write_users("alaw");
        ::unlink("/config/blocked.cfg");
        panel({{"op", "clear"}});
    }

    void write_users(const std::string &codec)
    {
        site::SiteTest::write_users("user qzv 1 " + codec + "\nbob bob 1 alaw\n");
    }

    json panel(json req) { return tty1(std::move(req)); }
    int panel_count(const char *field) { return panel({{"op", "state"}}).value(field, -1); }
    // Everything asked of the panel has been written to the line.
    bool panel_sent()
    {
        return eventually([&] { return panel_count("pending") == 0; });
    }

    // gatesimd with its XML side; `extra` options such as --voice.
    void start_server(std::vector<std::string> extra = {})
    {
        extra.push_back("--debug");
        start_gatesimd(extra);
    }
    void start_gateway(int codec = 1)
    {
        site::GatewayConfig c;
        c.port = xml_port();
        c.codec = codec;
        c.radio_type = config_format::radio_xcmp;
        site::SiteTest::start_gateway(c);
    }
    void wait_logins(size_t n) { wait_server("gatesimd: xml login [user]", n); }
    // Logged in, the voice synced and both status requests answered.
    void bring_up(std::vector<std::string> extra = {})
    {
        start_server(extra);
        start_gateway();
        wait_logins(1);
        ASSERT_TRUE(srv_.wait_for_line("<GpioStateReq")) << srv_.tail();
        ASSERT_TRUE(gw_.wait_for_line(" - battery")) << gw_.tail();
    }
};

TEST_F(XcmpSite, LogsInSyncsAsksForStatusAndPollsThePanel)
{
    bring_up();
    // The login, the three hello packets that synced the relay, then the two
    // status requests in this order.
    const long login = srv_.find("gatesimd: xml login [user] from 127.0.0.1: level 1, codec alaw");
    ASSERT_GE(login, 0) << srv_.tail();
    EXPECT_TRUE(srv_.wait_for_line("roip: rtp: user synced 127.0.0.1:8000")) << srv_.tail();
    const long status = srv_.find("<XCMPStatusReq", static_cast<size_t>(login));
    const long gpio = srv_.find("<GpioStateReq", static_cast<size_t>(login));
    EXPECT_GT(status, login);
    EXPECT_GT(gpio, status);
    EXPECT_TRUE(gw_.wait_for_line("control_xcmp: logged in, remote rtp port: " + std::to_string(rtp_port())));

    // The panel sees nothing but good polls, at the product's line speed.
    ASSERT_TRUE(eventually([&] { return panel_count("polls") >= 100; })) << panel({{"op", "state"}}).dump();
    json s = panel({{"op", "state"}});
    EXPECT_EQ(s["bad_crc"], 0);
    EXPECT_EQ(s["bad_length"], 0);
    EXPECT_EQ(s["incomplete"], 0);
    EXPECT_EQ(s["displays"], 0);
    EXPECT_EQ(s["baud"], 3000000);
    std::printf("poll spacing (ms): %s\n", s["poll_ms"].dump().c_str());
}

TEST_F(XcmpSite, SerialDisplayFramesReachThePanelByteForByte)
{
    bring_up();
    std::vector<std::string> want;
    size_t n = 0;
    for (const char *enc : {"b64", "b64z"}) {
        for (size_t size : {2u, 17u, 300u, 1294u}) {
            site::Bytes p(size);
            for (size_t i = 0; i < size; i++)
                p[i] = static_cast<uint8_t>(i * 13 + size + n);
            const site::Bytes f = panel_frame(p);
            ASSERT_EQ(server(std::string("disp XCMPEvent ") + enc + " " + hex(f, "")), "ok: 1 xml gateways");
            want.push_back(hex(f));
            n++;
        }
    }
    // A payload that does not decode (base64 of "ABCD", which is no zlib
    // stream) reaches nobody.
    ASSERT_EQ(server("xmlraw <XCMPEvent><SerialDisp d=\"QUJDRA==\" denc=\"b64z\"/></XCMPEvent>"),
              "ok: 1 xml gateways");
    EXPECT_TRUE(gw_.wait_for_line("control_xcmp: XCMPEvent/SerialDisp decode error !")) << gw_.tail();
    ASSERT_TRUE(eventually([&] { return panel_count("displays") >= static_cast<int>(want.size()); }));
    json d = panel({{"op", "displays"}});
    EXPECT_EQ(d["frames"], json(want));
    EXPECT_EQ(panel_count("bad_crc"), 0);
}

TEST_F(XcmpSite, PanelPttKeysTheServerAndTheVoiceAndItsReleaseStopsThem)
{
    bring_up({"--voice", "record:" + path("heard.wav")});
    size_t from = srv_.line_count();
    panel({{"op", "ptt"}, {"source", 1}, {"on", true}});
    ASSERT_TRUE(srv_.wait_for_line("<SetPttReq ptt=\"1\"", kEvent, from)) << srv_.tail();
    ASSERT_TRUE(srv_.wait_for_line("gatesimd: xml ptt on [user]", kEvent, from)) << srv_.tail();
    EXPECT_TRUE(gw_.wait_for_line("control_xcmp: ptt: 1"));
    // Half a second of the microphone's voice recorded by the server.
    EXPECT_TRUE(eventually([&] { return file_size(path("heard.wav")) >= 44 + 4000 * 2; }))
        << "the talker's voice did not reach the server";

    // A second source pressed and the first released: still keyed.
    panel({{"op", "ptt"}, {"source", 3}, {"on", true}});
    panel({{"op", "ptt"}, {"source", 1}, {"on", false}});
    panel({{"op", "key"}, {"name", "P2"}, {"hold_ms", 20}});
    ASSERT_TRUE(srv_.wait_for_line("<Button id=\"161\" state=\"0\"", kEvent, from)) << srv_.tail();
    EXPECT_EQ(count_lines(srv_, "<SetPttReq ptt=\"0\"", from), 0u);

    from = srv_.line_count();
    panel({{"op", "ptt"}, {"source", 3}, {"on", false}});
    ASSERT_TRUE(srv_.wait_for_line("<SetPttReq ptt=\"0\"", kEvent, from)) << srv_.tail();
    EXPECT_TRUE(gw_.wait_for_line("control_xcmp: ptt: 0"));
    EXPECT_TRUE(recording_stops(path("heard.wav"))) << "voice still recorded after the release";
}

// The panel's key frames and the server's display frames at the same time:
// the panel calls into the control on the serial reader's thread while the
// link's thread hands display frames to the panel.
TEST_F(XcmpSite, PanelKeysAndDisplayFramesAtTheSameTime)
{
    bring_up();
    constexpr int rounds = 60;
    const size_t from = srv_.line_count();
    std::thread displays([&] {
        for (int i = 0; i < rounds; i++)
            server("disp XCMPEvent b64 " + hex(panel_frame({0x10, static_cast<uint8_t>(i), 0x20}), ""));
    });
    for (int i = 0; i < rounds; i++) {
        panel({{"op", "key"}, {"name", i % 2 ? "UP" : "DOWN"}, {"hold_ms", 5}});
        std::this_thread::sleep_for(15ms);
    }
    displays.join();
    EXPECT_TRUE(eventually([&] {
        return count_lines(srv_, "gatesimd: xml XCMPAction", from) >= 2u * rounds;
    })) << count_lines(srv_, "gatesimd: xml XCMPAction", from);
    EXPECT_TRUE(eventually([&] { return panel_count("displays") >= rounds; })) << panel_count("displays");
    EXPECT_EQ(panel_count("bad_crc"), 0);
    EXPECT_EQ(count_lines(gw_, "frame46: feed: error"), 0u);
}

TEST_F(XcmpSite, PanelKeysBecomeXcmpActionsAndBadFramesAreDropped)
{
    bring_up();
    size_t from = srv_.line_count();
    panel({{"op", "key"}, {"name", "P1"}, {"hold_ms", 50}});
    // The server's own line for a request comes after the one that shows it.
    ASSERT_TRUE(
        srv_.wait_for_line("xml XCMPAction [user]: <XCMPAction><Button id=\"160\" state=\"0\"", kEvent, from))
        << srv_.tail();
    std::vector<std::string> actions;
    for (const std::string &l : srv_.lines())
        if (l.find("gatesimd: xml in") != std::string::npos && l.find("<XCMPAction>") != std::string::npos)
            actions.push_back(l.substr(l.find("<XCMPAction>")));
    EXPECT_EQ(actions, (std::vector<std::string>{
                           "<XCMPAction><Button id=\"160\" state=\"1\" type=\"0\" /></XCMPAction>",
                           "<XCMPAction><Button id=\"160\" state=\"0\" type=\"0\" /></XCMPAction>"}));

    // Faulty frames: the good P1 frames written right behind them are lost
    // with them, a key a read later is not. The pause that counts is the one
    // between two reads of the gateway, which a busy machine can shorten, so
    // a press lost so is tried again. The dial only logs.
    from = srv_.line_count();
    for (const char *kind : {"bad_crc", "length3", "length1297"}) {
        SCOPED_TRACE(kind);
        panel({{"op", "inject"}, {"kind", kind}, {"then", "P1"}});
        ASSERT_TRUE(panel_sent());
        bool pressed = false;
        for (int i = 0; i < 5 && !pressed; i++) {
            const size_t at = srv_.line_count();
            panel({{"op", "key"}, {"name", "UP"}, {"hold_ms", 30}});
            ASSERT_TRUE(srv_.wait_for_line("<Button id=\"135\" state=\"0\"", kEvent, at)) << srv_.tail();
            pressed = count_lines(srv_, "<Button id=\"135\" state=\"1\"", at) > 0;
        }
        EXPECT_TRUE(pressed);
    }
    panel({{"op", "dial"}, {"change", 2}});
    ASSERT_TRUE(panel_sent());
    panel({{"op", "key"}, {"name", "DOWN"}, {"pieces", 4}, {"pause_ms", 20}});
    ASSERT_TRUE(srv_.wait_for_line("<Button id=\"136\" state=\"0\"", kEvent, from)) << srv_.tail();
    EXPECT_EQ(count_lines(srv_, "id=\"160\"", from), 0u);
    EXPECT_EQ(count_lines(srv_, "<Button id=\"136\" state=\"1\"", from), 2u); // in and logged
    EXPECT_TRUE(gw_.wait_for_line("frame46: feed: error: CRC16 !"));
    EXPECT_TRUE(gw_.wait_for_line("frame46: feed: error: size: 3 !"));
    EXPECT_TRUE(gw_.wait_for_line("frame46: feed: error: size: 1297 !"));
    EXPECT_TRUE(gw_.wait_for_line("front46: dial: val:  2, change: 2"));
}

TEST_F(XcmpSite, BackHeldOverFourSecondsResetsTheRadioThroughTheServer)
{
    bring_up();
    size_t from = srv_.line_count();
    // Held well over 4 s: the gateway times the hold between its reads, which a
    // busy machine can bring closer together than the panel's writes.
    panel({{"op", "key"}, {"name", "BACK"}, {"hold_ms", 4500}});
    ASSERT_TRUE(srv_.wait_for_line("gatesimd: xml GpioSetReq [user]: bitmap 0x8", kEvent, from))
        << srv_.tail();
    const auto set_at = Clock::now();
    ASSERT_TRUE(srv_.wait_for_line("gatesimd: xml GpioClrReq [user]: bitmap 0x8", kEvent, from))
        << srv_.tail();
    // The pause between the two is the gateway's two seconds (less the time
    // the set request took to be seen here).
    EXPECT_GE(Clock::now() - set_at, 1500ms);
    EXPECT_TRUE(gw_.wait_for_line("--- RESET SEQ DETECTED ---"));
    EXPECT_EQ(count_lines(gw_, "control_xcmp: xml_GpioSetReq(1 << 3)"), 2u);

    // A shorter hold sends the key's two actions and nothing else.
    from = srv_.line_count();
    panel({{"op", "key"}, {"name", "BACK"}, {"hold_ms", 3000}});
    ASSERT_TRUE(srv_.wait_for_line("<Button id=\"140\" state=\"0\"", kEvent, from)) << srv_.tail();
    panel({{"op", "key"}, {"name", "UP"}, {"hold_ms", 20}});
    ASSERT_TRUE(srv_.wait_for_line("<Button id=\"135\" state=\"0\"", kEvent, from)) << srv_.tail();
    EXPECT_EQ(count_lines(srv_, "GpioSetReq", from), 0u);
}

TEST_F(XcmpSite, GpioChangedEventsDriveThePowerAndBatteryOutputs)
{
    bring_up();
    // Each step drives one output high and the other low: the box's PIO model
    // merges two writes to the same set or clear register within one of its
    // polls, so a step driving both the same way could lose one of them.
    const struct {
        uint32_t bitmap;
        uint32_t want;
    } steps[] = {
        {0x200000 | 0x200, BATTERY_OUTPUT}, // on battery, battery good
        {0x000000, POWER_OUTPUT},           // on mains, battery low
        {0x200200, BATTERY_OUTPUT},
    };
    for (const auto &s : steps) {
        SCOPED_TRACE(s.bitmap);
        char cmd[64];
        std::snprintf(cmd, sizeof cmd, "xmlraw <GpioChangedEv bitmap=\"0x%X\" mask=\"0x%X\"/>", s.bitmap,
                      0x200200u);
        ASSERT_EQ(server(cmd), "ok: 1 xml gateways");
        EXPECT_TRUE(eventually([&] { return (outputs() & (POWER_OUTPUT | BATTERY_OUTPUT)) == s.want; }))
            << std::hex << outputs();
    }
    // One that does not parse changes nothing (the squelch event behind it
    // shows it was handled).
    ASSERT_EQ(server("xmlraw <GpioChangedEv bitmap=\"x\" mask=\"1\"/>"), "ok: 1 xml gateways");
    ASSERT_EQ(server("xmlraw <UnlockSqlEv sql=\"1\"/>"), "ok: 1 xml gateways");
    ASSERT_TRUE(gw_.wait_for_line("control_xcmp: UnlockSqlEv: 1")) << gw_.tail();
    EXPECT_EQ(outputs() & (POWER_OUTPUT | BATTERY_OUTPUT), BATTERY_OUTPUT);
}

TEST_F(XcmpSite, ABlockedTalkerIsSilentUntilTheNextPttRelease)
{
    site::Child cfg;
    ASSERT_EQ(cfg.start({site::bin("gwcfg"), "--dir", "/config", "blocked", "add", "bob"}), 0);
    ASSERT_EQ(cfg.wait_exit(kEvent), 0) << cfg.tail();
    bring_up({"--voice", "tone:600"});
    // The server's tone reaches the loudspeaker.
    ASSERT_TRUE(eventually([&] { return playback_level() > -30; })) << playback_level();

    ASSERT_EQ(server("xmlraw <SetPttEv ptt=\"1\" login_roip=\"site-radio\" login_local=\"bob\"/>"),
              "ok: 1 xml gateways");
    ASSERT_TRUE(gw_.wait_for_line("control_xcmp: on_setptt(1) blocking user [bob]")) << gw_.tail();
    EXPECT_TRUE(eventually([&] { return playback_level() < -60; })) << playback_level();
    // Still silent a while later.
    EXPECT_TRUE(site::holds_for([&] { return playback_level() < -60; }, 500ms)) << playback_level();

    ASSERT_EQ(server("xmlraw <SetPttEv ptt=\"0\" login_roip=\"site-radio\" login_local=\"bob\"/>"),
              "ok: 1 xml gateways");
    EXPECT_TRUE(eventually([&] { return playback_level() > -30; })) << playback_level();

    // The gateway's own user is never muted, even when listed.
    size_t from = gw_.line_count();
    ASSERT_EQ(server("xmlraw <SetPttEv ptt=\"1\" login_roip=\"site-radio\" login_local=\"user\"/>"),
              "ok: 1 xml gateways");
    ASSERT_TRUE(gw_.wait_for_line("control_xcmp: mute (0)", kEvent, from));
}

TEST_F(XcmpSite, ACodecChangeToGsmIsStoredAndTheGatewayRestarts)
{
    write_users("gsm");
    start_server();
    start_gateway(1);
    wait_logins(1);
    EXPECT_TRUE(gw_.wait_for_line("control_xcmp: codec change (2)")) << gw_.tail();
    // "killall gwlinkd" ends the daemon; it is started again from outside.
    EXPECT_GE(gw_.wait_exit(kEvent), 0) << gw_.tail();
    EXPECT_EQ(site::read_codec_file(), 2);

    const size_t from = srv_.line_count(), gw_from = gw_.line_count();
    ASSERT_EQ(gw_.start({site::bin("gwlinkd")}), 0);
    wait_logins(2);
    ASSERT_TRUE(srv_.wait_for_line("<GpioStateReq", kEvent, from)) << srv_.tail();
    EXPECT_TRUE(gw_.wait_for_line("control_xcmp: logged in", kEvent, gw_from)) << gw_.tail();
    EXPECT_EQ(gw_.find("codec change", gw_from), -1) << gw_.tail();
    EXPECT_TRUE(gw_.running());
}

TEST_F(XcmpSite, ServerLostStopsTransmittingAndTheLinkLogsInAgain)
{
    bring_up();
    size_t from = srv_.line_count();
    panel({{"op", "ptt"}, {"source", 0}, {"on", true}});
    ASSERT_TRUE(srv_.wait_for_line("gatesimd: xml ptt on [user]", kEvent, from)) << srv_.tail();

    srv_.stop();
    ASSERT_TRUE(gw_.wait_for_line("control_xcmp: disconnected")) << gw_.tail();

    // The new server records: the panel still holds PTT, but the gateway
    // stopped transmitting with the lost link and does not start by itself.
    from = srv_.line_count();
    start_server({"--voice", "record:" + path("heard.wav")});
    wait_logins(2);
    ASSERT_TRUE(srv_.wait_for_line("<GpioStateReq", kEvent, from)) << srv_.tail();
    EXPECT_TRUE(site::holds_for(
        [&] {
            return count_lines(srv_, "gatesimd: xml ptt on", from) == 0 && file_size(path("heard.wav")) <= 44;
        },
        1000ms))
        << "voice or PTT reached the new server without a press";

    // Releasing and pressing again keys the new server.
    panel({{"op", "ptt"}, {"source", 0}, {"on", false}});
    panel({{"op", "ptt"}, {"source", 0}, {"on", true}, {"hold_ms", 1000}});
    EXPECT_TRUE(srv_.wait_for_line("gatesimd: xml ptt on [user]", kEvent, from)) << srv_.tail();
}

} // namespace
