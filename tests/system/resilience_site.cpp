// A site with a main and a backup server, the transmit time-out and the voice
// alarm, switched on by "/config/extra.cfg". Two fixtures, each run in a box
// of its own: a gm360 gateway (binary link) beside two server emulators
// hosted in this program (--tty1 gm360), and an xcmp gateway (XML link)
// beside two gatesimd processes (--tty1 front46). The real gwlinkd runs as a
// child in the same box; killing a server is destroying its emulator or
// killing its process.
#include "tests/system/site_test.h"

#include "gateway/extra_record.h"
#include "sim/box_client.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

namespace
{

using namespace std::chrono_literals;
using nlohmann::json;
using site::Clock;
using site::count_lines;
using site::ms;

using site::kEvent;
using site::kStartup;
using site::wait_count;
constexpr uint32_t FRONT_PTT = 0x1000; // gm360, active low
constexpr uint32_t BEEPER = 0x8000;
// What the switch after a lost server may take: the link's retry pause (3 s)
// and 3 s more.
const ms kSwitch = 6s;
constexpr int kMainRetry = 5; // seconds between probes of the main

double seconds(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

void write_extra(const extra_format::extra_record &rec)
{
    uint8_t b[extra_format::record_size];
    extra_format::encode(rec, b);
    site::write_file("/config/extra.cfg", b, sizeof b);
}

extra_format::extra_record backup_on(int port, int after = 3)
{
    extra_format::extra_record x = extra_format::defaults();
    x.backup_ip = inet_addr("127.0.0.1");
    x.backup_port = port;
    x.backup_after = after;
    x.main_retry = kMainRetry;
    return x;
}

// A server that completes TCP connections (the kernel's backlog does) and
// never answers a login. With `keepalives` it takes the connections and sends
// the XML link's keep-alive every second, so only the login's own time-out
// can give it up.
class MuteServer
{
  public:
    explicit MuteServer(int port, bool keepalives = false)
    {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int on = 1;
        ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ok_ = ::bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 && ::listen(fd_, 16) == 0;
        if (ok_ && keepalives)
            thread_ = std::thread([this] { chatter(); });
    }
    ~MuteServer()
    {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
        for (int c : conns_)
            ::close(c);
        ::close(fd_);
    }
    bool ok() const { return ok_; }
    size_t keepalives_sent() const { return sent_; }

  private:
    void chatter()
    {
        const std::string text = "<KeepAliveEv seq=\"1\" />";
        site::Bytes frame(8 + text.size(), 0);
        bytes::put_le32(frame.data(), static_cast<uint32_t>(text.size()));
        std::copy(text.begin(), text.end(), frame.begin() + 8);
        auto next = Clock::now();
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 20) > 0) {
                int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
                if (c >= 0)
                    conns_.push_back(c);
            }
            if (Clock::now() < next)
                continue;
            next += 1s;
            for (int c : conns_) {
                if (::send(c, frame.data(), frame.size(), MSG_NOSIGNAL | MSG_DONTWAIT) > 0)
                    sent_++;
            }
        }
    }
    int fd_ = -1;
    bool ok_ = false;
    std::atomic<bool> stop_{false};
    std::atomic<size_t> sent_{0};
    std::vector<int> conns_;
    std::thread thread_;
};

// Edges of the beeper line, sampled through a control connection of its own.
class BeeperWatch
{
  public:
    BeeperWatch()
    {
        if (box_.connect_inside() != 0)
            return;
        thread_ = std::thread([this] {
            bool was = false;
            while (!stop_) {
                uint32_t o = 0;
                if (box_.read_outputs(o) == 0) {
                    const bool on = (o & BEEPER) != 0;
                    if (on && !was) {
                        std::lock_guard<std::mutex> lock(m_);
                        rises_.push_back(Clock::now());
                    }
                    was = on;
                }
                std::this_thread::sleep_for(3ms);
            }
        });
    }
    ~BeeperWatch()
    {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
    }
    size_t rises_between(Clock::time_point a, Clock::time_point b)
    {
        std::lock_guard<std::mutex> lock(m_);
        return std::count_if(rises_.begin(), rises_.end(),
                             [&](Clock::time_point t) { return t >= a && t <= b; });
    }

  private:
    boardbox::Client box_;
    std::atomic<bool> stop_{false};
    std::mutex m_;
    std::vector<Clock::time_point> rises_;
    std::thread thread_;
};

// ---- gm360: the binary link ------------------------------------------------

class Gm360Resilience : public site::SiteTest
{
  protected:
    void SetUp() override
    {
        site::SiteTest::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        release_ptt();
        take_ports();
        ::unlink("/config/extra.cfg");
        site::write_config(main_port_, 0, 1);
    }
    void TearDown() override
    {
        site::SiteTest::TearDown();
        main_.reset();
        backup_.reset();
        ::unlink("/config/extra.cfg");
    }
    // A main and a backup server's ports (each its binary port and voice port).
    void take_ports()
    {
        main_port_ = tcp_port();
        new_ports();
        backup_port_ = tcp_port();
        new_ports();
    }

    void start_main() { start(main_, main_port_); }
    void start_backup() { start(backup_, backup_port_); }
    void start(std::unique_ptr<site::Server> &s, int port)
    {
        s = std::make_unique<site::Server>(port, port + 1);
        ASSERT_TRUE(s->ok());
    }
    void start_gateway() { ASSERT_EQ(gw_.start({site::bin("gwlinkd")}), 0); }
    static bool wait_logins(site::Server &s, int n, ms timeout = kStartup)
    {
        return s.wait(timeout, [n](site::Server &x) { return x.logins_ >= n; });
    }
    void press_ptt() { ASSERT_EQ(box_.set_inputs(FRONT_PTT, 0), 0); }
    void release_ptt() { ASSERT_EQ(box_.set_inputs(0, FRONT_PTT), 0); }
    static std::vector<site::Server::Ptt> ptts(site::Server &s)
    {
        std::lock_guard<std::mutex> lock(s.m_);
        return s.ptts_;
    }
    static uint64_t rtp(site::Server &s)
    {
        std::lock_guard<std::mutex> lock(s.m_);
        return s.rtp_count_;
    }
    // The next PTT report after the first `seen`.
    static bool wait_ptt(site::Server &s, size_t seen, int value, ms timeout = kEvent)
    {
        return s.wait(
            timeout, [&](site::Server &x) { return x.ptts_.size() > seen && x.ptts_.back().value == value; });
    }
    static bool wait_voice(site::Server &s, uint64_t beyond, ms timeout = kEvent)
    {
        return s.wait(timeout, [&](site::Server &x) { return x.rtp_count_ >= beyond + 25; });
    }
    // Logged in and its voice stream started.
    void wait_up(size_t from)
    {
        ASSERT_TRUE(gw_.wait_for_line("event\t: cb_conn_connected", kStartup, from)) << gw_.tail();
    }

    std::unique_ptr<site::Server> main_, backup_;
    int main_port_ = 0, backup_port_ = 0;
};

// The main server dies in the middle of a transmission: the gateway stops
// sending at once, is on the backup within the retry pause and 3 s, does not
// key it by itself, talks and listens through it, and goes back to the main
// within main_retry once it returns, releasing the backup's PTT first.
TEST_F(Gm360Resilience, MainKilledMidTransmissionBackupTakesOverAndTheMainIsTakenBack)
{
    write_extra(backup_on(backup_port_));
    start_main();
    start_backup();
    start_gateway();
    ASSERT_TRUE(wait_logins(*main_, 1)) << gw_.tail();
    wait_up(0);
    EXPECT_EQ(count_lines(gw_, "cfg : extra: backup_ip 127.0.0.1, backup_port " +
                                   std::to_string(backup_port_) +
                                   ", backup_after 3, main_retry 5, tx_timeout 0, voice_alarm 0"),
              1u);
    press_ptt();
    ASSERT_TRUE(wait_ptt(*main_, 0, 1)) << gw_.tail();
    ASSERT_TRUE(wait_voice(*main_, 0)) << "no voice at the main server";

    size_t from = gw_.line_count();
    const auto killed = Clock::now();
    main_.reset();
    ASSERT_TRUE(gw_.wait_for_line("event\t: cb_conn_disconnected", 2s, from)) << gw_.tail();
    const double released = seconds(Clock::now() - killed);
    ASSERT_TRUE(wait_logins(*backup_, 1, kStartup)) << gw_.tail();
    const double switched = seconds(Clock::now() - killed);
    std::printf("measured: PTT released %.3f s and logged in to the backup %.3f s after the main died\n",
                released, switched);
    EXPECT_LE(switched, seconds(kSwitch));
    EXPECT_EQ(count_lines(gw_,
                          "server  : main server 127.0.0.1:" + std::to_string(main_port_) +
                              " lost, switching to backup 127.0.0.1:" + std::to_string(backup_port_),
                          from),
              1u)
        << gw_.tail();
    wait_up(from);

    // Still held, the backup is not keyed; the release is the first it hears.
    release_ptt();
    ASSERT_TRUE(wait_ptt(*backup_, 0, 0)) << gw_.tail();
    EXPECT_EQ(ptts(*backup_).size(), 1u);
    EXPECT_EQ(rtp(*backup_), 0u) << "voice reached the backup without a new press";
    // A new press talks through the backup, and the backup's voice plays.
    press_ptt();
    ASSERT_TRUE(wait_ptt(*backup_, 1, 1));
    EXPECT_TRUE(wait_voice(*backup_, 0)) << "no voice at the backup";
    {
        site::VoiceSource voice(backup_->sim(), 700, 12000, 3s);
        EXPECT_TRUE(wait_playback_above(-30)) << "level " << playback_level();
    }

    // The main comes back while PTT is held on the backup.
    from = gw_.line_count();
    const size_t backup_ptts = ptts(*backup_).size();
    const auto restarted = Clock::now();
    start_main();
    ASSERT_TRUE(gw_.wait_for_line("accepts logins again, switching back from backup",
                                  ms(kMainRetry * 1000) + kEvent, from))
        << gw_.tail();
    const auto probed = Clock::now();
    ASSERT_TRUE(gw_.wait_for_line("event\t: cb_conn_connected", kEvent, from)) << gw_.tail();
    const auto back = Clock::now();
    std::printf("measured: back on the main %.3f s after its restart; %.3f s between the switch line and the "
                "new session\n",
                seconds(back - restarted), seconds(back - probed));
    EXPECT_LE(seconds(back - restarted), kMainRetry + 3.0);
    EXPECT_LE(seconds(back - probed), 2.0) << "logged in to neither for longer than the switch";
    // The probe and the session: two logins.
    EXPECT_TRUE(wait_logins(*main_, 2, 1s));
    // The backup was told PTT is released before it was left.
    ASSERT_TRUE(wait_ptt(*backup_, backup_ptts, 0, 1s)) << gw_.tail();
    EXPECT_LT(count_lines(gw_, "conn    : setptt(0)", from), 2u);
    release_ptt();
    ASSERT_TRUE(wait_ptt(*main_, 0, 0)) << gw_.tail();
    EXPECT_EQ(ptts(*main_).size(), 1u) << "the main was keyed without a new press";
    press_ptt();
    ASSERT_TRUE(wait_ptt(*main_, 1, 1));
    EXPECT_TRUE(wait_voice(*main_, 0));
    release_ptt();
}

// A main that cannot be logged in to leads to the backup: one that refuses
// connections after backup_after attempts with the retry pause between
// them, one that takes the connection and never answers after the login's
// 15 s time-out.
TEST_F(Gm360Resilience, AMainThatNeverLogsInLeadsToTheBackup)
{
    struct Case {
        const char *name;
        bool listening;
        int after;
        double at_least, at_most; // seconds from the start of the first attempt
        const char *line;
    };
    const Case cases[] = {
        {"refused", false, 3, 6.0, 6.0 + 6.0, "failed 3 times"},
        {"never answers", true, 1, 15.0, 15.0 + 6.0, "failed 1 time"},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.name);
        write_extra(backup_on(backup_port_, k.after));
        start_backup();
        std::unique_ptr<MuteServer> mute;
        if (k.listening) {
            mute = std::make_unique<MuteServer>(main_port_);
            ASSERT_TRUE(mute->ok());
        }
        const size_t from = gw_.line_count();
        start_gateway();
        ASSERT_TRUE(gw_.wait_for_line("conn    : connecting ..", kStartup, from)) << gw_.tail();
        const auto first = Clock::now();
        ASSERT_TRUE(wait_logins(*backup_, 1, kStartup + kEvent)) << gw_.tail();
        const double took = seconds(Clock::now() - first);
        std::printf("measured: %s main, on the backup after %.3f s\n", k.name, took);
        EXPECT_GE(took, k.at_least - 0.5);
        EXPECT_LE(took, k.at_most);
        EXPECT_EQ(count_lines(gw_, k.line, from), 1u) << gw_.tail();
        wait_up(from);
        gw_.stop();
        backup_.reset();
        take_ports();
        site::write_config(main_port_, 0, 1);
    }
}

// tx_timeout: a held transmission ends after that many seconds (the server
// is told, the voice stops), the beeper sounds in the last five; holding on
// sends nothing more, and a release and a press key again.
TEST_F(Gm360Resilience, TheTransmitTimeOutEndsAHeldTransmission)
{
    constexpr int T = 8;
    extra_format::extra_record x = extra_format::defaults();
    x.tx_timeout = T;
    write_extra(x);
    start_main();
    start_gateway();
    ASSERT_TRUE(wait_logins(*main_, 1)) << gw_.tail();
    wait_up(0);
    // The two start-up beeps are over once lines 17-19 became outputs.
    for (auto deadline = Clock::now() + kEvent; Clock::now() < deadline;) {
        boardbox::GpioState g;
        if (box_.read_gpio(g) == 0 && (g.directions & 0xE0000) == 0xE0000)
            break;
        std::this_thread::sleep_for(10ms);
    }
    BeeperWatch beeper;

    press_ptt();
    ASSERT_TRUE(wait_ptt(*main_, 0, 1));
    const auto keyed = ptts(*main_).back().at;
    ASSERT_TRUE(wait_ptt(*main_, 1, 0, ms(T * 1000) + kEvent)) << gw_.tail();
    const auto ended = ptts(*main_).back().at;
    std::printf("measured: transmission ended %.3f s after PTT (tx_timeout %d)\n", seconds(ended - keyed), T);
    EXPECT_GE(seconds(ended - keyed), T - 0.2);
    EXPECT_LE(seconds(ended - keyed), T + 1.0);
    EXPECT_TRUE(
        gw_.wait_for_line("tot     : transmission ended after 8 s, release PTT to transmit again", 2s));
    // Five beeps: one a second in the last five.
    EXPECT_EQ(beeper.rises_between(keyed + ms((T - 5) * 1000 - 300), ended), 5u);
    EXPECT_EQ(beeper.rises_between(keyed, keyed + ms((T - 5) * 1000 - 300)), 0u);

    // Held for two more seconds: nothing more reaches the server.
    const uint64_t voice_at_end = rtp(*main_);
    std::this_thread::sleep_for(2s);
    release_ptt();
    ASSERT_TRUE(gw_.wait_for_line("tot     : PTT released, the next press transmits", kEvent)) << gw_.tail();
    EXPECT_EQ(ptts(*main_).size(), 2u);
    EXPECT_LE(rtp(*main_), voice_at_end + 5) << "voice went on after the time-out";
    {
        std::lock_guard<std::mutex> lock(main_->m_);
        EXPECT_LE(main_->last_rtp_, ended + 300ms);
    }
    press_ptt();
    ASSERT_TRUE(wait_ptt(*main_, 2, 1)) << gw_.tail();
    EXPECT_TRUE(wait_voice(*main_, rtp(*main_)));
    release_ptt();
    ASSERT_TRUE(wait_ptt(*main_, 3, 0));
}

// voice_alarm: with the squelch open and no voice, the alarm line after that
// many seconds; voice clears it; missing again, it comes back; the squelch
// closing clears it.
TEST_F(Gm360Resilience, TheVoiceAlarmWatchesForMissingVoice)
{
    constexpr int S = 3;
    extra_format::extra_record x = extra_format::defaults();
    x.voice_alarm = S;
    write_extra(x);
    start_main();
    start_gateway();
    ASSERT_TRUE(wait_logins(*main_, 1)) << gw_.tail();
    wait_up(0);
    const std::string alarm =
        "voice   : alarm: no voice for 3 s while the squelch is open or the server sends";

    size_t from = gw_.line_count();
    auto opened = Clock::now();
    ASSERT_EQ(main_->sim().async_unlock_sql(1), 0);
    ASSERT_TRUE(gw_.wait_for_line(alarm, ms(S * 1000) + kEvent, from)) << gw_.tail();
    double took = seconds(Clock::now() - opened);
    std::printf("measured: voice alarm %.3f s after the squelch opened (voice_alarm %d)\n", took, S);
    EXPECT_GE(took, S - 0.1);
    EXPECT_LE(took, S + 2.0);
    {
        site::VoiceSource voice(main_->sim(), 700, 12000, 60s);
        ASSERT_TRUE(gw_.wait_for_line("voice   : voice is back, alarm cleared", kEvent, from)) << gw_.tail();
        // Voice flowing for longer than the limit: no alarm.
        from = gw_.line_count();
        EXPECT_TRUE(wait_playback_above(-30));
        std::this_thread::sleep_for(ms(S * 1000 + 500));
        EXPECT_EQ(count_lines(gw_, alarm, from), 0u);
    }
    opened = Clock::now();
    ASSERT_TRUE(gw_.wait_for_line(alarm, ms(S * 1000) + kEvent, from)) << gw_.tail();
    EXPECT_GE(seconds(Clock::now() - opened), S - 0.5);
    ASSERT_EQ(main_->sim().async_unlock_sql(0), 0);
    EXPECT_TRUE(gw_.wait_for_line("voice   : no voice expected any more, alarm cleared", kEvent, from))
        << gw_.tail();
}

// Without "/config/extra.cfg" or with one gwlinkd cannot use, the gateway
// starts with the same lines as ever (plus one naming a bad file), never
// tries the backup the file would have named, and logs in to its main
// server as always.
TEST_F(Gm360Resilience, WithoutAUsableExtraFileTheGatewayRunsAsEver)
{
    extra_format::extra_record x = backup_on(backup_port_, 1);
    x.tx_timeout = 5;
    x.voice_alarm = 5;
    uint8_t good[extra_format::record_size];
    extra_format::encode(x, good);
    std::vector<uint8_t> oversized(good, good + sizeof good);
    oversized.resize(5000, 0);
    struct Case {
        const char *name;
        std::vector<uint8_t> bytes;
        bool fifo;
        std::string line; // empty: none
    };
    const Case cases[] = {
        {"absent", {}, false, ""},
        {"truncated", std::vector<uint8_t>(good, good + 20), false, "invalid size (20 bytes)"},
        {"oversized", oversized, false, "invalid size (5000 bytes)"},
        {"fifo", {}, true, "not a regular file"},
        {"garbage", std::vector<uint8_t>(32, 0xC3), false, "not a settings record"},
    };
    std::vector<std::string> reference; // the start-up lines without the file
    for (const Case &k : cases) {
        SCOPED_TRACE(k.name);
        ::unlink("/config/extra.cfg");
        if (k.fifo)
            ASSERT_EQ(::mkfifo("/config/extra.cfg", 0600), 0);
        else if (!k.bytes.empty())
            site::write_file("/config/extra.cfg", k.bytes.data(), k.bytes.size());
        start_backup();
        const size_t from = gw_.line_count();
        start_gateway();
        // The main is down: the gateway keeps at it as ever and never turns to
        // the backup, although the file names one after a single failure.
        ASSERT_TRUE(gw_.wait_for_line("conn    : failed.", kStartup, from)) << gw_.tail();
        const size_t first = static_cast<size_t>(gw_.find("conn    : failed.", from));
        ASSERT_TRUE(gw_.wait_for_line("conn    : failed.", kEvent, first + 1)) << gw_.tail();
        start_main();
        ASSERT_TRUE(wait_logins(*main_, 1)) << gw_.tail();
        wait_up(from);
        EXPECT_EQ(count_lines(gw_, "server  :", from), 0u);
        {
            std::lock_guard<std::mutex> lock(backup_->m_);
            EXPECT_EQ(backup_->logins_, 0);
        }
        const std::string bad = "cfg : /config/extra.cfg: " + k.line + ", extensions off";
        EXPECT_EQ(count_lines(gw_, "cfg : /config/extra.cfg:", from), k.line.empty() ? 0u : 1u);
        if (!k.line.empty()) {
            EXPECT_EQ(count_lines(gw_, bad, from), 1u) << gw_.tail();
        }
        // The lines up to the radio type are those of a gateway without the
        // file, but for the one naming it.
        std::vector<std::string> start;
        const std::vector<std::string> all = gw_.lines();
        for (size_t i = from; i < all.size(); ++i) {
            if (all[i].find("radio_type:") == 0)
                break;
            if (all[i] != bad)
                start.push_back(all[i]);
        }
        if (reference.empty())
            reference = start;
        EXPECT_EQ(start, reference);
        gw_.stop();
        main_.reset();
        backup_.reset();
    }
    ::unlink("/config/extra.cfg");
}

// ---- xcmp: the XML link -----------------------------------------------------

class XcmpResilience : public site::SiteTest
{
  protected:
    void SetUp() override
    {
        site::SiteTest::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        panel({{"op", "clear"}});
        main_port_ = tcp_port();
        new_ports();
        backup_port_ = tcp_port();
        ::unlink("/config/extra.cfg");
        ::unlink("/config/blocked.cfg");
        site::write_config(main_port_ + 2, 0, 1, 4, config_format::radio_xcmp);
        on_failure("main gatesimd (tail)", main_);
        on_failure("backup gatesimd (tail)", backup_);
    }
    void TearDown() override
    {
        site::SiteTest::TearDown();
        main_.stop();
        backup_.stop();
        ::unlink("/config/extra.cfg");
    }

    json panel(json req) { return tty1(std::move(req)); }
    void ptt(bool on) { panel({{"op", "ptt"}, {"source", 1}, {"on", on}}); }

    // gatesimd with its XML side on port+2; `extra` options such as --voice.
    void start(site::Child &c, int port, const std::string &name, std::vector<std::string> extra = {})
    {
        const size_t from = c.line_count();
        std::vector<std::string> argv = {site::bin("gatesimd"),
                                         "--bind",
                                         "127.0.0.1",
                                         "--port",
                                         std::to_string(port),
                                         "--rtp-port",
                                         std::to_string(port + 1),
                                         "--xml-port",
                                         std::to_string(port + 2),
                                         "--control",
                                         path(name + ".sock"),
                                         "--debug"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        ASSERT_EQ(c.start(argv), 0);
        ASSERT_TRUE(c.wait_for_line("gatesimd: xml gateways on", kEvent, from)) << c.tail();
    }
    // Ends a server as a crash would.
    static void kill(site::Child &c)
    {
        if (c.running())
            ::kill(c.pid(), SIGKILL);
        c.wait_exit(kEvent);
    }
    std::string command(const std::string &name, const std::string &line)
    {
        return site::command(path(name + ".sock"), line);
    }
    void start_gateway() { ASSERT_EQ(gw_.start({site::bin("gwlinkd")}), 0); }

    site::Child main_, backup_;
    int main_port_ = 0, backup_port_ = 0;
};

const char kLogin[] = "gatesimd: xml login [user]";
const char kPttOn[] = "gatesimd: xml ptt on [user]";
const char kPttOff[] = "<SetPttReq ptt=\"0\"";

TEST_F(XcmpResilience, MainKilledMidTransmissionBackupTakesOverAndTheMainIsTakenBack)
{
    write_extra(backup_on(backup_port_ + 2));
    start(main_, main_port_, "main");
    start(backup_, backup_port_, "backup", {"--voice", "loop"});
    start_gateway();
    ASSERT_TRUE(wait_count(main_, kLogin, 1, kStartup)) << gw_.tail();
    ASSERT_TRUE(gw_.wait_for_line("control_xcmp: logged in", kEvent)) << gw_.tail();
    ptt(true);
    ASSERT_TRUE(main_.wait_for_line(kPttOn, kEvent)) << main_.tail();

    size_t from = gw_.line_count();
    const auto killed = Clock::now();
    kill(main_);
    ASSERT_TRUE(gw_.wait_for_line("control_xcmp: disconnected", 2s, from)) << gw_.tail();
    const double released = seconds(Clock::now() - killed);
    ASSERT_TRUE(wait_count(backup_, kLogin, 1, kStartup)) << gw_.tail();
    const double switched = seconds(Clock::now() - killed);
    std::printf("measured: PTT released %.3f s and logged in to the backup %.3f s after the main died\n",
                released, switched);
    EXPECT_LE(switched, seconds(kSwitch) + 1.0);
    EXPECT_EQ(
        count_lines(gw_, "lost, switching to backup 127.0.0.1:" + std::to_string(backup_port_ + 2), from),
        1u);
    ASSERT_TRUE(gw_.wait_for_line("control_xcmp: logged in", kEvent, from)) << gw_.tail();

    // Held on: the backup is not keyed; released and pressed: it is, and
    // the looped voice comes back to the loudspeaker.
    ptt(false);
    ASSERT_TRUE(backup_.wait_for_line(kPttOff, kEvent)) << backup_.tail();
    EXPECT_EQ(count_lines(backup_, "<SetPttReq ptt=\"1\""), 0u);
    ptt(true);
    ASSERT_TRUE(backup_.wait_for_line(kPttOn, kEvent)) << backup_.tail();
    EXPECT_TRUE(wait_playback_above(-30)) << "level " << playback_level();

    // The main returns while PTT is held on the backup.
    from = gw_.line_count();
    const size_t backup_from = backup_.line_count();
    const size_t main_from = main_.line_count();
    const auto restarted = Clock::now();
    start(main_, main_port_, "main");
    ASSERT_TRUE(gw_.wait_for_line("accepts logins again, switching back from backup",
                                  ms(kMainRetry * 1000) + kEvent, from))
        << gw_.tail();
    const auto probed = Clock::now();
    ASSERT_TRUE(gw_.wait_for_line("control_xcmp: logged in", kEvent, from)) << gw_.tail();
    const auto back = Clock::now();
    std::printf("measured: back on the main %.3f s after its restart; %.3f s between the switch line and the "
                "new session\n",
                seconds(back - restarted), seconds(back - probed));
    EXPECT_LE(seconds(back - restarted), kMainRetry + 3.0);
    EXPECT_LE(seconds(back - probed), 2.0);
    EXPECT_TRUE(wait_count(main_, kLogin, 2, 1s, main_from)) << "the probe and the session";
    EXPECT_TRUE(backup_.wait_for_line(kPttOff, 1s, backup_from)) << "the backup was left keyed";
    ptt(false);
    ASSERT_TRUE(main_.wait_for_line(kPttOff, kEvent, main_from)) << main_.tail();
    EXPECT_EQ(count_lines(main_, kPttOn, main_from), 0u) << "the main was keyed without a new press";
    ptt(true);
    EXPECT_TRUE(main_.wait_for_line(kPttOn, kEvent, main_from)) << main_.tail();
    ptt(false);
}

// A main that takes the connection and keeps it alive but never answers the
// login is given up after 15 s.
TEST_F(XcmpResilience, AMainThatNeverAnswersTheLoginLeadsToTheBackup)
{
    write_extra(backup_on(backup_port_ + 2, 1));
    MuteServer mute(main_port_ + 2, true);
    ASSERT_TRUE(mute.ok());
    start(backup_, backup_port_, "backup");
    start_gateway();
    ASSERT_TRUE(gw_.wait_for_line("control_xcmp: connected", kStartup)) << gw_.tail();
    const auto connected = Clock::now();
    ASSERT_TRUE(wait_count(backup_, kLogin, 1, kStartup)) << gw_.tail();
    const double took = seconds(Clock::now() - connected);
    std::printf("measured: mute main, on the backup after %.3f s\n", took);
    EXPECT_GE(took, 14.5);
    EXPECT_LE(took, 15.0 + 6.0);
    EXPECT_EQ(count_lines(gw_, "failed 1 time, switching to backup"), 1u) << gw_.tail();
    EXPECT_TRUE(gw_.wait_for_line("control_xcmp: logged in", kEvent)) << gw_.tail();
    EXPECT_GE(mute.keepalives_sent(), 10u) << "the main was not kept alive";
}

// The time-out and the alarm on the XML link: a panel PTT held past
// tx_timeout is released at the server, and the next press keys again; the
// squelch opened with no voice raises the alarm, closing it clears it.
TEST_F(XcmpResilience, TheTransmitTimeOutAndTheVoiceAlarmOnTheXmlLink)
{
    constexpr int T = 6, S = 2;
    extra_format::extra_record x = extra_format::defaults();
    x.tx_timeout = T;
    x.voice_alarm = S;
    write_extra(x);
    start(main_, main_port_, "main");
    start_gateway();
    ASSERT_TRUE(wait_count(main_, kLogin, 1, kStartup)) << gw_.tail();
    ASSERT_TRUE(gw_.wait_for_line("control_xcmp: logged in", kEvent)) << gw_.tail();

    ptt(true);
    ASSERT_TRUE(main_.wait_for_line(kPttOn, kEvent)) << main_.tail();
    const auto keyed = Clock::now();
    ASSERT_TRUE(main_.wait_for_line(kPttOff, ms(T * 1000) + kEvent)) << main_.tail();
    const double took = seconds(Clock::now() - keyed);
    std::printf("measured: XML transmission ended %.3f s after PTT (tx_timeout %d)\n", took, T);
    EXPECT_GE(took, T - 0.2);
    EXPECT_LE(took, T + 1.5);
    EXPECT_TRUE(gw_.wait_for_line("tot     : transmission ended after 6 s", 2s)) << gw_.tail();
    ptt(false);
    ASSERT_TRUE(gw_.wait_for_line("tot     : PTT released, the next press transmits", kEvent)) << gw_.tail();
    EXPECT_EQ(count_lines(main_, kPttOff), 1u);
    ptt(true);
    ASSERT_TRUE(wait_count(main_, kPttOn, 2)) << main_.tail();
    ptt(false);
    ASSERT_TRUE(wait_count(main_, kPttOff, 2)) << main_.tail();

    const size_t from = gw_.line_count();
    const auto opened = Clock::now();
    ASSERT_EQ(command("main", "sql 1").find("ok"), 0u);
    ASSERT_TRUE(gw_.wait_for_line("voice   : alarm: no voice for 2 s", ms(S * 1000) + kEvent, from))
        << gw_.tail();
    EXPECT_GE(seconds(Clock::now() - opened), S - 0.1);
    ASSERT_EQ(command("main", "sql 0").find("ok"), 0u);
    EXPECT_TRUE(gw_.wait_for_line("voice   : no voice expected any more, alarm cleared", kEvent, from))
        << gw_.tail();
}

} // namespace
