// The fixture the site tests share. The test program runs inside a box (its
// board devices, and the radio, head or panel emulator on "/dev/ttyS1" when
// the box has one) and plays the site around the unmodified gwlinkd: the
// server as gatesimd, as the emulator library in-process, or as a scripted
// peer of the test's own. Each test gets the box's control socket, ports and
// a scratch folder of its own; the programs it starts are stopped after it,
// and a failure prints their last lines and the box's view of the lines.
#pragma once

#include "tests/system/site.h"

#include "gateway/config_record.h"
#include "sim/box_client.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>

#include <filesystem>
#include <initializer_list>

namespace site
{

using namespace std::chrono_literals;

const ms kStartup = 40s; // a program's start and login on a loaded machine
const ms kEvent = 15s;   // one step of a test

// Polls `pred` until it holds, at most `timeout` (a last look at the end).
template <class Pred> bool eventually(Pred pred, ms timeout = kEvent)
{
    for (auto deadline = Clock::now() + timeout; Clock::now() < deadline;) {
        if (pred())
            return true;
        std::this_thread::sleep_for(10ms);
    }
    return pred();
}

// `pred` holds throughout `window`: for what must not happen.
template <class Pred> bool holds_for(Pred pred, ms window)
{
    return !eventually([&] { return !pred(); }, window);
}

// Lines of `c` containing `text`, from line `from` on, reach `n`.
inline bool wait_count(Child &c, const std::string &text, size_t n, ms timeout = kEvent, size_t from = 0)
{
    return eventually([&] { return c.count(text, from) >= n; }, timeout);
}

// One command line on gatesimd's control socket, and the reply up to its
// last line, "ok..." or "error: ..." (without the last newline).
inline std::string command(const std::string &socket, const std::string &line, ms timeout = 10s)
{
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::snprintf(a.sun_path, sizeof a.sun_path, "%s", socket.c_str());
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        if (fd >= 0)
            ::close(fd);
        return "error: cannot connect to " + socket;
    }
    std::string reply, msg = line + "\n";
    timeval tv{static_cast<time_t>(timeout.count() / 1000),
               static_cast<suseconds_t>(timeout.count() % 1000 * 1000)};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    if (::send(fd, msg.data(), msg.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(msg.size())) {
        ::close(fd);
        return "error: cannot send";
    }
    char buf[4096];
    for (;;) {
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0)
            break;
        reply.append(buf, static_cast<size_t>(n));
        size_t start = reply.size() > 1 ? reply.rfind('\n', reply.size() - 2) : std::string::npos;
        start = start == std::string::npos ? 0 : start + 1;
        if (reply.back() == '\n' &&
            (reply.compare(start, 2, "ok") == 0 || reply.compare(start, 7, "error: ") == 0))
            break;
    }
    ::close(fd);
    if (!reply.empty() && reply.back() == '\n')
        reply.pop_back();
    return reply.empty() ? "error: no reply" : reply;
}

class SiteTest : public testing::Test
{
  protected:
    // Derived set-ups call this first and stop when it skipped or failed.
    void SetUp() override
    {
        std::string why;
        if (!inside_isolated_box(why))
            GTEST_SKIP() << why;
        ASSERT_EQ(box_.connect_inside(), 0) << "no box control socket";
        ASSERT_EQ(box_.set_capture("tone:1000"), 0);
        nlohmann::json tty;
        if (box_.request({{"cmd", "tty"}, {"port", 1}}, tty) == 0)
            tty1_kind_ = tty.value("kind", "");
        new_ports();
        // Boxes side by side share /tmp, and process ids repeat in their own
        // PID spaces: a folder of its own.
        char dir[] = "/tmp/site-test-XXXXXX";
        ASSERT_NE(::mkdtemp(dir), nullptr);
        dir_ = dir;
        on_failure("gwlinkd output (tail)", [this] { return gw_.tail(80); });
        on_failure("gatesimd output (tail)", [this] { return srv_.tail(60); });
        on_failure("box lines", [this] {
            boardbox::GpioState g;
            if (box_.read_gpio(g) != 0)
                return std::string();
            char s[160];
            std::snprintf(s, sizeof s, "levels 0x%08X inputs 0x%08X outputs 0x%08X directions 0x%08X\n",
                          g.levels, g.inputs, g.outputs, g.directions);
            return std::string(s);
        });
    }

    void TearDown() override
    {
        gw_.stop();
        srv_.stop();
        if (HasFailure())
            for (auto &r : reports_) {
                std::string text = r.second();
                if (!text.empty())
                    std::printf("---- %s ----\n%s", r.first.c_str(), text.c_str());
            }
        reports_.clear();
        if (!dir_.empty()) {
            std::error_code ec;
            std::filesystem::remove_all(dir_, ec);
        }
    }

    // What a failure of this test prints, besides the programs' last lines.
    void on_failure(const std::string &title, std::function<std::string()> text)
    {
        reports_.emplace_back(title, std::move(text));
    }
    void on_failure(const std::string &title, Child &c)
    {
        on_failure(title, [&c] { return c.tail(60); });
    }

    // Fresh ports, for a site started anew within one test.
    void new_ports()
    {
        port_ = next_port_;
        next_port_ += 3;
    }
    // This test's ports: the server's binary port, its voice port, its XML port.
    int tcp_port() const { return port_; }
    int rtp_port() const { return port_ + 1; }
    int xml_port() const { return port_ + 2; }
    // A file in this test's scratch folder.
    std::string path(const std::string &name) const { return dir_ + "/" + name; }

    // gatesimd on loopback with this test's ports, control socket and, once
    // written, users file, plus `extra` options; returns once both of its
    // sides serve.
    void start_gatesimd(const std::vector<std::string> &extra = {})
    {
        std::vector<std::string> argv = {bin("gatesimd"),
                                         "--bind",
                                         "127.0.0.1",
                                         "--port",
                                         std::to_string(tcp_port()),
                                         "--rtp-port",
                                         std::to_string(rtp_port()),
                                         "--xml-port",
                                         std::to_string(xml_port()),
                                         "--control",
                                         path("server.sock")};
        if (file_size(path("users")) >= 0) {
            argv.push_back("--users");
            argv.push_back(path("users"));
        }
        argv.insert(argv.end(), extra.begin(), extra.end());
        const size_t from = srv_.line_count();
        ASSERT_EQ(srv_.start(argv), 0);
        ASSERT_TRUE(srv_.wait_for_line("gatesimd: xml gateways on", kStartup, from)) << srv_.tail();
    }
    // gatesimd's users file: lines "NAME PASSWORD LEVEL CODEC [DEVNAME [rckd]]".
    void write_users(const std::string &text)
    {
        write_file(path("users").c_str(), reinterpret_cast<const uint8_t *>(text.data()), text.size());
    }
    std::string server(const std::string &line) { return command(path("server.sock"), line); }
    // A command gatesimd carries out without an error.
    void server_ok(const std::string &line)
    {
        const std::string r = server(line);
        ASSERT_EQ(r.find("error"), std::string::npos) << line << ": " << r;
    }
    // The server's log has shown `n` lines with `text` (a login, say).
    void wait_server(const std::string &text, size_t n = 1, ms timeout = kStartup)
    {
        ASSERT_TRUE(wait_count(srv_, text, n, timeout)) << srv_.tail();
    }

    // gwlinkd, started on the configuration given.
    void start_gateway(const GatewayConfig &c)
    {
        write_config(c);
        ASSERT_EQ(gw_.start({bin("gwlinkd")}), 0);
    }

    // A request to the emulator on "/dev/ttyS1", whatever it plays.
    nlohmann::json tty1(nlohmann::json req)
    {
        req["cmd"] = tty1_kind_.empty() ? "tty1" : tty1_kind_;
        nlohmann::json reply;
        box_.request(req, reply);
        return reply;
    }
    void tty1_ok(const nlohmann::json &req) { ASSERT_EQ(tty1(req).value("ok", false), true) << req.dump(); }

    double playback_level()
    {
        boardbox::AudioLevels l;
        box_.audio_levels(l);
        return l.playback_dbfs;
    }
    bool wait_playback_above(double dbfs, ms timeout = kEvent)
    {
        return eventually([&] { return playback_level() > dbfs; }, timeout);
    }
    // A recording (the server's) that grows no more: what was already on its
    // way may land within `settle`, then the size holds for `window`.
    bool recording_stops(const std::string &wav, ms settle = 300ms, ms window = 1000ms)
    {
        std::this_thread::sleep_for(settle);
        const long settled = file_size(wav);
        return holds_for([&] { return file_size(wav) == settled; }, window);
    }
    uint32_t outputs()
    {
        uint32_t o = 0;
        box_.read_outputs(o);
        return o;
    }
    bool wait_outputs(uint32_t mask, uint32_t want, ms timeout = kEvent)
    {
        return eventually([&] { return (outputs() & mask) == want; }, timeout);
    }

    boardbox::Client box_;
    Child gw_;              // gwlinkd
    Child srv_;             // gatesimd
    std::string tty1_kind_; // the emulator on "/dev/ttyS1", if any
    int port_ = 0;

  private:
    inline static int next_port_ = 5555;
    std::string dir_;
    std::vector<std::pair<std::string, std::function<std::string()>>> reports_;
};

} // namespace site
