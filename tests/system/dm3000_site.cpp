// End-to-end tests of a DM3000 site. This program runs inside a box started
// with a DM3000 head on "/dev/ttyS1" (`--tty1 dm3000`); it runs the server
// (gatesimd) and the unmodified gwlinkd (radio type dm3000) as children in the
// same box, then drives the head's keys, volume and PTT line and reads its
// display through the box's control socket.
#include "tests/system/site.h"

#include "base/pbm.h"
#include "gateway/config_record.h"
#include "sim/box_client.h"
#include "tools/gatesimd/dm3000.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace
{

using namespace std::chrono_literals;
using site::Clock;
using site::count_lines;
using site::file_size;
using site::ms;

constexpr uint32_t HEAD_PTT = 0x200; // active low
const ms kStartup = 40s;             // gwlinkd start, login (loaded machine)
const ms kEvent = 15s;

std::vector<uint8_t> logo()
{
    pbm::Image img;
    std::string error;
    pbm::load(std::string(GW_SOURCE_DIR) + "/fronts/dm3000_logo.pbm", img, error);
    return img.pixels;
}

class Dm3000Site : public testing::Test
{
  protected:
    static int next_port_;

    void SetUp() override
    {
        std::string why;
        if (!site::inside_isolated_box(why))
            GTEST_SKIP() << why;
        ASSERT_EQ(box_.connect_inside(), 0) << "no box control socket";
        head({{"op", "ptt"}, {"on", false}});
        head({{"op", "clear"}});
        ASSERT_EQ(box_.set_capture("tone:1000"), 0);
        port_ = next_port_;
        next_port_ += 2;
        sock_ = "/tmp/dmsite-" + std::to_string(::getpid()) + "-" + std::to_string(port_) + ".sock";
        picture_ = "/tmp/dmsite-" + std::to_string(::getpid()) + ".pbm";
        wav_ = "/tmp/dmsite-" + std::to_string(::getpid()) + ".wav";
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
        ASSERT_TRUE(pbm::save(picture_, img));
    }

    void TearDown() override
    {
        gw_.stop();
        srv_.stop();
        if (HasFailure()) {
            std::printf("---- gwlinkd output (tail) ----\n%s", gw_.tail(60).c_str());
            std::printf("---- gatesimd output (tail) ----\n%s", srv_.tail(30).c_str());
        }
        ::unlink(picture_.c_str());
        ::unlink(wav_.c_str());
        ::unlink(sock_.c_str());
    }

    nlohmann::json head(nlohmann::json req)
    {
        req["cmd"] = "dm3000";
        nlohmann::json reply;
        box_.request(req, reply);
        return reply;
    }
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
        auto deadline = Clock::now() + timeout;
        while (Clock::now() < deadline) {
            if (pred(display()))
                return true;
            std::this_thread::sleep_for(30ms);
        }
        return false;
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

    // gatesimd on loopback; `extra` options such as --dm-display or --voice.
    void start_server(std::vector<std::string> extra = {})
    {
        std::vector<std::string> argv = {site::bin("gatesimd"),
                                         "--bind",
                                         "127.0.0.1",
                                         "--port",
                                         std::to_string(port_),
                                         "--rtp-port",
                                         std::to_string(port_ + 1),
                                         "--control",
                                         sock_};
        argv.insert(argv.end(), extra.begin(), extra.end());
        size_t from = srv_.line_count();
        ASSERT_EQ(srv_.start(argv), 0);
        ASSERT_TRUE(srv_.wait_for_line("gatesimd: serving on", kEvent, from)) << srv_.tail();
    }
    std::string server(const std::string &line)
    {
        boardbox::Client c;
        std::string reply;
        if (c.connect(sock_) != 0 || c.raw(line, reply) != 0)
            return "no reply";
        return reply;
    }
    void start_gateway()
    {
        site::write_config(port_, 0, 1, 4, config_format::radio_dm3000);
        ASSERT_EQ(gw_.start({site::bin("gwlinkd")}), 0);
    }
    void wait_logins(size_t n)
    {
        auto deadline = Clock::now() + kStartup;
        while (count_lines(srv_, "gatesimd: login [user]") < n && Clock::now() < deadline)
            std::this_thread::sleep_for(20ms);
        ASSERT_GE(count_lines(srv_, "gatesimd: login [user]"), n) << gw_.tail();
    }
    // A key byte from the head and the server's line for it.
    void key(int code, const std::string &server_line)
    {
        size_t from = srv_.line_count();
        head({{"op", "key"}, {"code", code}});
        ASSERT_TRUE(srv_.wait_for_line(server_line, kEvent, from)) << srv_.tail();
    }

    boardbox::Client box_;
    site::Child gw_;
    site::Child srv_;
    int port_ = 0;
    std::string sock_, picture_, wav_;
    std::vector<uint8_t> server_picture_;
};

int Dm3000Site::next_port_ = 5655;

TEST_F(Dm3000Site, LogoAtStartThenTheServersScreenOncePerLogin)
{
    const std::vector<uint8_t> want_logo = logo();
    ASSERT_EQ(want_logo.size(), 4224u);
    start_gateway();
    // No server yet: the head shows the built-in picture, pixel for pixel.
    EXPECT_TRUE(wait_picture(want_logo, kStartup)) << shown();
    EXPECT_EQ(head({{"op", "state"}}).value("bad_frames", -1), 0);

    start_server({"--dm-display", picture_});
    wait_logins(1);
    ASSERT_TRUE(srv_.wait_for_line("gatesimd: dm3000 status request", kEvent)) << srv_.tail();
    EXPECT_TRUE(wait_picture(server_picture_)) << shown();
    // A later event from the same gateway: by then a second request would
    // have arrived before it.
    key(0x25, "gatesimd: dm3000 button 0x25 0x35 mode 1 (press)");
    EXPECT_EQ(count_lines(srv_, "gatesimd: dm3000 status request"), 1u);
    EXPECT_EQ(head({{"op", "state"}}).value("baud", 0), 115200);
}

TEST_F(Dm3000Site, ServerLostShowsTheLogoAndTheScreenComesBackAfterTheReconnect)
{
    start_server({"--dm-display", picture_});
    start_gateway();
    wait_logins(1);
    ASSERT_TRUE(wait_picture(server_picture_)) << shown();

    srv_.stop();
    EXPECT_TRUE(gw_.wait_for_line("event\t: cb_conn_disconnected", kEvent)) << gw_.tail();
    EXPECT_TRUE(wait_picture(logo())) << shown();

    start_server({"--dm-display", picture_});
    wait_logins(2);
    EXPECT_TRUE(wait_picture(server_picture_)) << shown();
    EXPECT_EQ(count_lines(srv_, "gatesimd: dm3000 status request"), 2u);
}

TEST_F(Dm3000Site, HeadAndMicrophoneKeysReachTheServerWithTheirCodesAndModes)
{
    start_server();
    start_gateway();
    wait_logins(1);
    ASSERT_TRUE(srv_.wait_for_line("gatesimd: dm3000 status request", kEvent));
    key(0x25, "gatesimd: dm3000 button 0x25 0x35 mode 1 (press)");
    key(0x35, "gatesimd: dm3000 button 0x35 0x35 mode 2 (release)");
    key(0x75, "gatesimd: dm3000 button 0x35 0x35 mode 2 (release)");
    // 0x17 and 0xC0 are no keys: the next line the server prints is the mic key's.
    size_t from = srv_.line_count();
    head({{"op", "key"}, {"codes", {0x17, 0xC0, 0x16}}});
    ASSERT_TRUE(srv_.wait_for_line("gatesimd: dm3000 button 0x16 0x00 mode 3 (mic)", kEvent, from));
    EXPECT_EQ(srv_.find("gatesimd: dm3000 button", from), srv_.find("mode 3 (mic)", from));
    EXPECT_TRUE(gw_.wait_for_line("event\t: button_press (mic): 0x16 / 0x00", kEvent));
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
    start_server({"--voice", "tone:600"});
    start_gateway();
    wait_logins(1);
    head({{"op", "volume"}, {"level", 45}});
    ASSERT_TRUE(gw_.wait_for_line("event\t: setting volume : 45", kEvent)) << gw_.tail();
    head({{"op", "volume"}, {"level", 0}});
    ASSERT_TRUE(gw_.wait_for_line("event\t: setting volume : 0", kEvent)) << gw_.tail();
    std::vector<boardbox::AmpCommand> log;
    bool seen45 = false, seen0 = false;
    auto deadline = Clock::now() + kEvent;
    while (!(seen45 && seen0) && Clock::now() < deadline) {
        box_.amplifier_log(log);
        for (size_t i = 0; i < log.size(); i++) {
            seen45 = seen45 || log[i].value == 45;
            seen0 = seen0 || (seen45 && log[i].value == 0);
        }
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_TRUE(seen45) << "amplifier never set to 45";
    EXPECT_TRUE(seen0) << "amplifier never set to 0 after 45";
}

TEST_F(Dm3000Site, PttLineKeysTheServerAndTheVoiceAndItsReleaseStopsThem)
{
    start_server({"--voice", "record:" + wav_});
    start_gateway();
    wait_logins(1);
    size_t from = srv_.line_count();
    head({{"op", "ptt"}, {"on", true}});
    ASSERT_TRUE(srv_.wait_for_line("gatesimd: ptt on", kEvent, from)) << srv_.tail() << gw_.tail();
    EXPECT_TRUE(gw_.wait_for_line("event\t: cb_front_ptt(1)", kEvent));
    // Half a second of the microphone's voice recorded by the server.
    auto deadline = Clock::now() + kEvent;
    while (file_size(wav_) < 44 + 4000 * 2 && Clock::now() < deadline)
        std::this_thread::sleep_for(20ms);
    EXPECT_GE(file_size(wav_), 44 + 4000 * 2) << "the talker's voice did not reach the server";

    from = srv_.line_count();
    head({{"op", "ptt"}, {"on", false}});
    ASSERT_TRUE(srv_.wait_for_line("gatesimd: ptt off", kEvent, from)) << srv_.tail();
    EXPECT_TRUE(gw_.wait_for_line("event\t: cb_front_ptt(0)", kEvent));
    // Packets already on their way may still land; then nothing more.
    std::this_thread::sleep_for(300ms);
    long settled = file_size(wav_);
    std::this_thread::sleep_for(1000ms);
    EXPECT_EQ(file_size(wav_), settled) << "voice still recorded after the release";
}

TEST_F(Dm3000Site, ShortestStatusClearsTheDisplayAndAShorterOneResetsTheLink)
{
    start_server({"--dm-display", picture_});
    start_gateway();
    wait_logins(1);
    ASSERT_TRUE(wait_picture(server_picture_)) << shown();

    // Nine bytes: a status without picture data.
    EXPECT_EQ(server("dm3000 0 0"), "ok");
    EXPECT_TRUE(wait_picture(std::vector<uint8_t>(4224, 0))) << shown();

    // Eight bytes cannot be a status record: the gateway drops the link and
    // logs in again, and the screen comes back.
    EXPECT_EQ(server("raw 2003 00 00 00 00 00 00 00 00"), "ok");
    EXPECT_TRUE(gw_.wait_for_line("event\t: cb_conn_disconnected", kEvent)) << gw_.tail();
    wait_logins(2);
    EXPECT_TRUE(wait_picture(server_picture_)) << shown();
}

} // namespace
