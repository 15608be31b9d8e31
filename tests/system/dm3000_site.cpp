// End-to-end tests of a DM3000 site. This program runs inside a box started
// with a DM3000 head on "/dev/ttyS1" (`--tty1 dm3000`); it runs the server
// (gatesimd) and the unmodified gwlinkd (radio type dm3000) as children in the
// same box, then drives the head's keys, volume and PTT line and reads its
// display through the box's control socket.
#include "tests/system/site_test.h"

#include "base/pbm.h"
#include "gateway/config_record.h"
#include "sim/box_client.h"
#include "tools/gatesimd/dm3000.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace
{

using namespace std::chrono_literals;
using site::count_lines;
using site::file_size;
using site::ms;

constexpr uint32_t HEAD_PTT = 0x200; // active low
using site::kEvent;
using site::kStartup;

std::vector<uint8_t> logo()
{
    pbm::Image img;
    std::string error;
    pbm::load(std::string(GW_SOURCE_DIR) + "/fronts/dm3000_logo.pbm", img, error);
    return img.pixels;
}

class Dm3000Site : public site::SiteTest
{
  protected:
    void SetUp() override
    {
        site::SiteTest::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        head({{"op", "ptt"}, {"on", false}});
        head({{"op", "clear"}});
        // The server's fixed picture: a frame and a diagonal, nothing like the logo.
        pbm::Image img;
        img.width = 132;
        img.height = 32;
        img.pixels.assign(4224, 0);
        for (int c = 0; c < 132; c++)
            img.pixels[c] = img.pixels[31 * 132 + c] = 1;
        for (int r = 0; r < 32; r++)
            img.pixels[r * 132 + r * 4] = 1;
        server_picture_ = img.pixels;
        ASSERT_TRUE(pbm::save(path("server.pbm"), img));
    }

    nlohmann::json head(nlohmann::json req) { return tty1(std::move(req)); }
    std::vector<uint8_t> display()
    {
        std::vector<uint8_t> px;
        nlohmann::json rows = head({{"op", "display"}}).value("rows", nlohmann::json::array());
        for (const auto &r : rows)
            for (char ch : r.get<std::string>())
                px.push_back(ch == '#');
        return px;
    }
    template <class Pred> bool wait_display(Pred pred, ms timeout = kEvent)
    {
        return site::eventually([&] { return pred(display()); }, timeout);
    }
    bool wait_picture(const std::vector<uint8_t> &want, ms timeout = kEvent)
    {
        return wait_display([&](const std::vector<uint8_t> &px) { return px == want; }, timeout);
    }
    std::string shown()
    {
        std::string s;
        nlohmann::json rows = head({{"op", "display"}}).value("rows", nlohmann::json::array());
        for (const auto &r : rows)
            s += r.get<std::string>() + "\n";
        return s;
    }

    void start_gateway()
    {
        site::GatewayConfig c;
        c.port = tcp_port();
        c.radio_type = config_format::radio_dm3000;
        site::SiteTest::start_gateway(c);
    }
    void wait_logins(size_t n) { wait_server("gatesimd: login [user]", n); }
    // A key byte from the head and the server's line for it.
    void key(int code, const std::string &server_line)
    {
        size_t from = srv_.line_count();
        head({{"op", "key"}, {"code", code}});
        ASSERT_TRUE(srv_.wait_for_line(server_line, kEvent, from)) << srv_.tail();
    }

    std::vector<uint8_t> server_picture_;
};

TEST_F(Dm3000Site, LogoAtStartThenTheServersScreenOncePerLogin)
{
    const std::vector<uint8_t> want_logo = logo();
    ASSERT_EQ(want_logo.size(), 4224u);
    start_gateway();
    // No server yet: the head shows the built-in picture, pixel for pixel.
    EXPECT_TRUE(wait_picture(want_logo, kStartup)) << shown();
    EXPECT_EQ(head({{"op", "state"}}).value("bad_frames", -1), 0);

    start_gatesimd({"--dm-display", path("server.pbm")});
    wait_logins(1);
    ASSERT_TRUE(srv_.wait_for_line("gatesimd: dm3000 status request")) << srv_.tail();
    EXPECT_TRUE(wait_picture(server_picture_)) << shown();
    // A later event from the same gateway: by then a second request would
    // have arrived before it.
    key(0x25, "gatesimd: dm3000 button 0x25 0x35 mode 1 (press)");
    EXPECT_EQ(count_lines(srv_, "gatesimd: dm3000 status request"), 1u);
    EXPECT_EQ(head({{"op", "state"}}).value("baud", 0), 115200);
}

TEST_F(Dm3000Site, ServerLostShowsTheLogoAndTheScreenComesBackAfterTheReconnect)
{
    start_gatesimd({"--dm-display", path("server.pbm")});
    start_gateway();
    wait_logins(1);
    ASSERT_TRUE(wait_picture(server_picture_)) << shown();

    srv_.stop();
    EXPECT_TRUE(gw_.wait_for_line("event\t: cb_conn_disconnected")) << gw_.tail();
    EXPECT_TRUE(wait_picture(logo())) << shown();

    start_gatesimd({"--dm-display", path("server.pbm")});
    wait_logins(2);
    EXPECT_TRUE(wait_picture(server_picture_)) << shown();
    EXPECT_EQ(count_lines(srv_, "gatesimd: dm3000 status request"), 2u);
}

TEST_F(Dm3000Site, HeadAndMicrophoneKeysReachTheServerWithTheirCodesAndModes)
{
    start_gatesimd();
    start_gateway();
    wait_logins(1);
    ASSERT_TRUE(srv_.wait_for_line("gatesimd: dm3000 status request"));
    key(0x25, "gatesimd: dm3000 button 0x25 0x35 mode 1 (press)");
    key(0x35, "gatesimd: dm3000 button 0x35 0x35 mode 2 (release)");
    key(0x75, "gatesimd: dm3000 button 0x35 0x35 mode 2 (release)");
    // 0x17 and 0xC0 are no keys: the next line the server prints is the mic key's.
    size_t from = srv_.line_count();
    head({{"op", "key"}, {"codes", {0x17, 0xC0, 0x16}}});
    ASSERT_TRUE(srv_.wait_for_line("gatesimd: dm3000 button 0x16 0x00 mode 3 (mic)", kEvent, from));
    EXPECT_EQ(srv_.find("gatesimd: dm3000 button", from), srv_.find("mode 3 (mic)", from));
    EXPECT_TRUE(gw_.wait_for_line("event\t: button_press (mic): 0x16 / 0x00"));
    // The site screen shows the last key on its third line.
    const dm3000::Pixels want = dm3000::render_lines({"", "", "KEY 16/00 MIC"});
    EXPECT_TRUE(wait_display([&](const std::vector<uint8_t> &px) {
        return px.size() == 4224 &&
               std::equal(px.begin() + 16 * 132, px.begin() + 24 * 132, want.begin() + 16 * 132);
    })) << shown();
}

TEST_F(Dm3000Site, VolumeBytesSetTheAmplifier)
{
    // The server talks all the time, so the amplifier is on and takes the
    // volume at once.
    start_gatesimd({"--voice", "tone:600"});
    start_gateway();
    wait_logins(1);
    head({{"op", "volume"}, {"level", 45}});
    ASSERT_TRUE(gw_.wait_for_line("event\t: setting volume : 45")) << gw_.tail();
    head({{"op", "volume"}, {"level", 0}});
    ASSERT_TRUE(gw_.wait_for_line("event\t: setting volume : 0")) << gw_.tail();
    bool seen45 = false, seen0 = false;
    site::eventually([&] {
        std::vector<boardbox::AmpCommand> log;
        box_.amplifier_log(log);
        for (size_t i = 0; i < log.size(); i++) {
            seen45 = seen45 || log[i].value == 45;
            seen0 = seen0 || (seen45 && log[i].value == 0);
        }
        return seen45 && seen0;
    });
    EXPECT_TRUE(seen45) << "amplifier never set to 45";
    EXPECT_TRUE(seen0) << "amplifier never set to 0 after 45";
}

TEST_F(Dm3000Site, PttLineKeysTheServerAndTheVoiceAndItsReleaseStopsThem)
{
    start_gatesimd({"--voice", "record:" + path("heard.wav")});
    start_gateway();
    wait_logins(1);
    size_t from = srv_.line_count();
    head({{"op", "ptt"}, {"on", true}});
    ASSERT_TRUE(srv_.wait_for_line("gatesimd: ptt on", kEvent, from)) << srv_.tail() << gw_.tail();
    EXPECT_TRUE(gw_.wait_for_line("event\t: cb_front_ptt(1)"));
    // Half a second of the microphone's voice recorded by the server.
    EXPECT_TRUE(site::eventually([&] { return file_size(path("heard.wav")) >= 44 + 4000 * 2; }))
        << "the talker's voice did not reach the server";

    from = srv_.line_count();
    head({{"op", "ptt"}, {"on", false}});
    ASSERT_TRUE(srv_.wait_for_line("gatesimd: ptt off", kEvent, from)) << srv_.tail();
    EXPECT_TRUE(gw_.wait_for_line("event\t: cb_front_ptt(0)"));
    EXPECT_TRUE(recording_stops(path("heard.wav"))) << "voice still recorded after the release";
}

TEST_F(Dm3000Site, ShortestStatusClearsTheDisplayAndAShorterOneResetsTheLink)
{
    start_gatesimd({"--dm-display", path("server.pbm")});
    start_gateway();
    wait_logins(1);
    ASSERT_TRUE(wait_picture(server_picture_)) << shown();

    // Nine bytes: a status without picture data.
    EXPECT_EQ(server("dm3000 0 0"), "ok");
    EXPECT_TRUE(wait_picture(std::vector<uint8_t>(4224, 0))) << shown();

    // Eight bytes cannot be a status record: the gateway drops the link and
    // logs in again, and the screen comes back.
    EXPECT_EQ(server("raw 2003 00 00 00 00 00 00 00 00"), "ok");
    EXPECT_TRUE(gw_.wait_for_line("event\t: cb_conn_disconnected")) << gw_.tail();
    wait_logins(2);
    EXPECT_TRUE(wait_picture(server_picture_)) << shown();
}

} // namespace
