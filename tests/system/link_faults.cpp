// What the gateway survives on its server link: gwlinkd (gm360) runs in a box
// against a scripted server on loopback that misbehaves in one way per test,
// each fault repeated. The gateway must come back within the link's times
// (at once after a lost login, 3 s after a failed connect, 15 s for a silent
// server), stop its voice stream when the link goes while PTT is held, and
// keep its descriptors, threads and memory level over many reconnects. With
// crypto_mode 1 the link runs over TLS, and the server may answer the
// handshake with garbage. The results are collected in docs/faults.md.
#include "tests/gatesim/net_helpers.h"
#include "tests/link/link_test_support.h"
#include "tests/system/site_test.h"

#include "sim/box_client.h"
#include "wire/roip_proto.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <fstream>
#include <random>

namespace
{

using namespace std::chrono_literals;
using site::Clock;
using site::ms;
using testnet::Fd;

constexpr uint32_t FRONT_PTT = 0x1000; // active low
using site::kStartup;

double seconds_since(Clock::time_point t)
{
    return std::chrono::duration<double>(Clock::now() - t).count();
}

// Counts in /proc of the gateway process.
struct Usage {
    int fds = -1;
    int threads = -1;
    long rss_kb = -1;
};

Usage usage_of(pid_t pid)
{
    Usage u;
    std::string base = "/proc/" + std::to_string(pid);
    if (DIR *d = ::opendir((base + "/fd").c_str())) {
        u.fds = 0;
        while (dirent *e = ::readdir(d))
            if (e->d_name[0] != '.')
                u.fds++;
        ::closedir(d);
    }
    std::ifstream st(base + "/status");
    std::string key;
    while (st >> key) {
        if (key == "Threads:")
            st >> u.threads;
        else if (key == "VmRSS:")
            st >> u.rss_kb;
    }
    return u;
}

// The server's end, one misbehaviour at a time.
class ScriptedServer
{
  public:
    explicit ScriptedServer(int port) : port_(port) { listen(); }

    bool listening() const { return listener_.get() >= 0; }
    void listen()
    {
        listener_ = Fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        int on = 1;
        ::setsockopt(listener_.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in a = testnet::loopback(port_);
        if (::bind(listener_.get(), reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
            ::listen(listener_.get(), 4) != 0)
            listener_.reset();
    }
    // Like a killed server: the connection and the port go.
    void vanish() { listener_.reset(); }

    Fd accept(ms timeout)
    {
        if (!testnet::readable(listener_.get(), static_cast<int>(timeout.count())))
            return Fd();
        return Fd(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
    }

    static proto::Bytes version_info()
    {
        proto::VersionInfo v;
        v.ver_proto = proto::version_word(1, 5);
        v.ver_config = proto::version_word(1, 0);
        v.ver_fw = proto::version_word(2, 30);
        v.build = 1;
        return proto::build_version_info(v);
    }
    proto::Bytes login_result() const
    {
        proto::LoginResult r;
        r.priv_level = 1;
        r.priv_rctl = 1;
        r.voip_port = port_ + 1;
        r.voip_sync_num = 1;
        r.codec_type = 1;
        return proto::build_login_result(r);
    }

    // Version info, the gateway's login request, the result; every byte of
    // the server's part `gap` apart when one is given.
    bool login(int fd, ms gap = ms(0)) const
    {
        if (!send(fd, version_info(), gap))
            return false;
        if (testnet::read_n(fd, 4 + proto::login_request_size, 20000).size() != 4 + proto::login_request_size)
            return false;
        return send(fd, login_result(), gap);
    }

    static bool send(int fd, const proto::Bytes &b, ms gap = ms(0))
    {
        if (gap.count() == 0)
            return testnet::send_all(fd, b);
        for (uint8_t byte : b) {
            if (!testnet::send_all(fd, {byte}))
                return false;
            std::this_thread::sleep_for(gap);
        }
        return true;
    }

    // A connection torn down with a reset instead of an orderly close.
    static void reset(Fd &fd)
    {
        linger l{1, 0};
        ::setsockopt(fd.get(), SOL_SOCKET, SO_LINGER, &l, sizeof l);
        fd.reset();
    }

  private:
    int port_;
    Fd listener_;
};

// Voice datagrams the gateway sends to the server's voice port.
class VoiceSink
{
  public:
    explicit VoiceSink(int port) : fd_(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0))
    {
        sockaddr_in a = testnet::loopback(port);
        ok_ = ::bind(fd_.get(), reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    }
    bool ok() const { return ok_; }
    // Datagrams of voice size (hello packets included) arriving within
    // `within`, counted up to `enough`.
    int count(ms within, int enough = -1)
    {
        int n = 0;
        auto end = Clock::now() + within;
        while (Clock::now() < end && n != enough) {
            int left = static_cast<int>(std::chrono::duration_cast<ms>(end - Clock::now()).count());
            if (!testnet::readable(fd_.get(), left > 0 ? left : 0))
                break;
            uint8_t buf[512];
            if (::recv(fd_.get(), buf, sizeof buf, 0) > 12)
                n++;
        }
        return n;
    }
    void drain() { count(ms(50)); }

  private:
    Fd fd_;
    bool ok_ = false;
};

class LinkFaults : public site::SiteTest
{
  protected:
    virtual int crypto_mode() const { return 0; }

    void SetUp() override
    {
        site::SiteTest::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        ASSERT_EQ(box_.set_inputs(0, FRONT_PTT), 0); // PTT released
        server_ = std::make_unique<ScriptedServer>(tcp_port());
        ASSERT_TRUE(server_->listening());
        site::GatewayConfig c;
        c.port = tcp_port();
        c.crypto_mode = crypto_mode();
        start_gateway(c);
    }
    void TearDown() override
    {
        box_.set_inputs(0, FRONT_PTT);
        site::SiteTest::TearDown();
    }

    // The next connection of the gateway, logged in.
    Fd logged_in(ms within = kStartup)
    {
        Fd c = server_->accept(within);
        EXPECT_GE(c.get(), 0) << "the gateway did not come back";
        if (c.get() >= 0) {
            EXPECT_TRUE(server_->login(c.get()));
        }
        return c;
    }

    void press_ptt(bool on) { ASSERT_EQ(box_.set_inputs(on ? FRONT_PTT : 0, on ? 0 : FRONT_PTT), 0); }

    // Waits for the gateway's set-PTT request among what it sends (its head
    // relay may send its own messages first).
    bool ptt_request(int fd, int32_t want)
    {
        const proto::Bytes msg = proto::build_setptt(want);
        proto::Bytes seen;
        auto end = Clock::now() + 15s;
        while (Clock::now() < end) {
            proto::Bytes b = testnet::read_n(fd, 1, 1000);
            seen.insert(seen.end(), b.begin(), b.end());
            if (seen.size() >= msg.size() && std::equal(msg.begin(), msg.end(), seen.end() - msg.size()))
                return true;
        }
        return false;
    }

    // A logged-in link on which the gateway transmits: PTT held, the request
    // acknowledged, voice arriving. `from` is the log position before the
    // fault that follows.
    void transmitting(VoiceSink &voice, Fd &c, size_t &from)
    {
        c = logged_in();
        ASSERT_GE(c.get(), 0);
        press_ptt(true);
        ASSERT_TRUE(ptt_request(c.get(), 1));
        ASSERT_TRUE(ScriptedServer::send(c.get(), proto::build_ack()));
        EXPECT_EQ(voice.count(1s, 11), 11) << "no voice while transmitting";
        from = gw_.line_count();
    }

    // After the link went with PTT still held: the gateway notices, and its
    // voice stream stops.
    void voice_stops(VoiceSink &voice, size_t from)
    {
        ASSERT_TRUE(gw_.wait_for_line("cb_conn_disconnected", 10s, from));
        voice.drain();
        EXPECT_EQ(voice.count(1s), 0) << "voice kept flowing after the link was lost";
        press_ptt(false);
    }

    std::unique_ptr<ScriptedServer> server_;
};

// Killed while the gateway transmits: the voice stream stops, and the
// gateway connects again within its 3 s retry pause once the server is back.
TEST_F(LinkFaults, ServerKilledWhileTransmitting)
{
    VoiceSink voice(rtp_port());
    ASSERT_TRUE(voice.ok());
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        Fd c;
        size_t from = 0;
        ASSERT_NO_FATAL_FAILURE(transmitting(voice, c, from));
        server_->vanish();
        c.reset();
        ASSERT_NO_FATAL_FAILURE(voice_stops(voice, from));
        auto back = Clock::now();
        server_->listen();
        ASSERT_TRUE(server_->listening());
        Fd again = server_->accept(10s);
        EXPECT_GE(again.get(), 0);
        EXPECT_LE(seconds_since(back), 4.5) << "reconnect after the server came back";
        ScriptedServer::reset(again);
    }
}

// A reset in the middle of a message ends the connection; the gateway
// reconnects at once and its voice stops although PTT stays held.
TEST_F(LinkFaults, ResetMidMessage)
{
    VoiceSink voice(rtp_port());
    ASSERT_TRUE(voice.ok());
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        Fd c;
        size_t from = 0;
        ASSERT_NO_FATAL_FAILURE(transmitting(voice, c, from));
        // The first half of a tunnelled serial message.
        const uint8_t data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
        proto::Bytes msg = proto::build_tunnel(203, 0, data, sizeof data);
        msg.resize(msg.size() / 2);
        ASSERT_TRUE(ScriptedServer::send(c.get(), msg));
        auto cut = Clock::now();
        ScriptedServer::reset(c);
        ASSERT_NO_FATAL_FAILURE(voice_stops(voice, from));
        Fd again = server_->accept(10s);
        ASSERT_GE(again.get(), 0);
        EXPECT_LE(seconds_since(cut), 5.0);
        ScriptedServer::reset(again);
    }
}

// A server that says nothing: the gateway gives up after its 15 s receive
// time-out and connects again at once.
TEST_F(LinkFaults, SilentServer)
{
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        Fd c = logged_in();
        ASSERT_GE(c.get(), 0);
        auto quiet = Clock::now();
        Fd again = server_->accept(25s);
        ASSERT_GE(again.get(), 0) << "still waiting after 25 s";
        EXPECT_GE(seconds_since(quiet), 14.0);
        EXPECT_LE(seconds_since(quiet), 20.0);
        ScriptedServer::reset(again);
    }
}

// Garbage after the login: the gateway resets the connection and reconnects.
TEST_F(LinkFaults, GarbageFromTheServer)
{
    std::mt19937 rng(7);
    for (int round = 0; round < 5; ++round) {
        SCOPED_TRACE(round);
        Fd c = logged_in();
        ASSERT_GE(c.get(), 0);
        proto::Bytes junk(64);
        for (uint8_t &b : junk)
            b = static_cast<uint8_t>(rng());
        junk[0] = 0xEE; // an unknown type word
        ASSERT_TRUE(ScriptedServer::send(c.get(), junk));
        auto sent = Clock::now();
        Fd again = server_->accept(10s);
        ASSERT_GE(again.get(), 0);
        EXPECT_LE(seconds_since(sent), 5.0);
        ScriptedServer::reset(again);
    }
}

// A server that trickles one byte every 100 ms: slow, but each byte comes
// well within the receive time-out, so the login goes through.
TEST_F(LinkFaults, OneBytePerHundredMilliseconds)
{
    Fd c = server_->accept(kStartup);
    ASSERT_GE(c.get(), 0);
    const size_t from = gw_.line_count();
    ASSERT_TRUE(server_->login(c.get(), ms(100)));
    EXPECT_TRUE(gw_.wait_for_line("event\t: cb_conn_connected", 10s, from));
    EXPECT_FALSE(testnet::closed_by_peer(c.get(), 1000));
}

// The server restarted a hundred times in a row right after each login: the
// gateway comes back each time, with the same descriptors and threads and no
// growing memory.
TEST_F(LinkFaults, RestartedAHundredTimes)
{
    Fd c = logged_in();
    ASSERT_GE(c.get(), 0);
    ASSERT_TRUE(gw_.wait_for_line("FRONT_INIT", 15s));
    c.reset();
    Fd first = logged_in(10s);
    ASSERT_GE(first.get(), 0);
    const Usage before = usage_of(gw_.pid());
    ASSERT_GT(before.fds, 0);
    first.reset();
    double slowest = 0;
    for (int i = 0; i < 100; ++i) {
        auto t = Clock::now();
        Fd next = logged_in(10s);
        ASSERT_GE(next.get(), 0) << "cycle " << i;
        slowest = std::max(slowest, seconds_since(t));
        next.reset();
    }
    Fd last = logged_in(10s);
    ASSERT_GE(last.get(), 0);
    // Once the link thread has settled in its read again.
    Usage after;
    site::eventually([&] {
        after = usage_of(gw_.pid());
        return after.fds == before.fds && after.threads == before.threads;
    });
    std::printf(
        "restart cycles: slowest reconnect %.2f s; fds %d -> %d, threads %d -> %d, rss %ld -> %ld kB\n",
        slowest, before.fds, after.fds, before.threads, after.threads, before.rss_kb, after.rss_kb);
    EXPECT_EQ(after.fds, before.fds);
    EXPECT_EQ(after.threads, before.threads);
    EXPECT_LE(after.rss_kb, before.rss_kb + 1024);
    EXPECT_LE(slowest, 5.0);
}

// The server's end of a TLS session on an accepted connection.
class TlsPeer
{
  public:
    explicit TlsPeer(Fd fd) : fd_(std::move(fd))
    {
        static linktest::TlsIdentity id;
        static SSL_CTX *ctx = [] {
            SSL_CTX *c = SSL_CTX_new(TLS_server_method());
            SSL_CTX_use_certificate(c, id.cert);
            SSL_CTX_use_PrivateKey(c, id.key);
            return c;
        }();
        timeval tv{10, 0};
        ::setsockopt(fd_.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        ::setsockopt(fd_.get(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
        ssl_ = SSL_new(ctx);
        SSL_set_fd(ssl_, fd_.get());
        ok_ = SSL_accept(ssl_) == 1;
    }
    ~TlsPeer() { SSL_free(ssl_); }
    TlsPeer(const TlsPeer &) = delete;
    TlsPeer &operator=(const TlsPeer &) = delete;

    bool ok() const { return ok_; }

    bool send(const proto::Bytes &b)
    {
        size_t done = 0;
        while (ok_ && done < b.size()) {
            int n = SSL_write(ssl_, b.data() + done, static_cast<int>(b.size() - done));
            if (n <= 0)
                return false;
            done += static_cast<size_t>(n);
        }
        return ok_;
    }
    // Up to n bytes: fewer when the gateway closes or says nothing for 10 s.
    proto::Bytes read(size_t n)
    {
        proto::Bytes b(n);
        size_t got = 0;
        while (ok_ && got < n) {
            int r = SSL_read(ssl_, b.data() + got, static_cast<int>(n - got));
            if (r <= 0)
                break;
            got += static_cast<size_t>(r);
        }
        b.resize(got);
        return b;
    }

    bool login(const proto::Bytes &result)
    {
        return send(ScriptedServer::version_info()) &&
               read(4 + proto::login_request_size).size() == 4 + proto::login_request_size && send(result);
    }

    // Waits for the gateway's set-PTT request among what it sends.
    bool ptt_request(int32_t want)
    {
        const proto::Bytes msg = proto::build_setptt(want);
        proto::Bytes seen;
        auto end = Clock::now() + 15s;
        while (Clock::now() < end) {
            proto::Bytes b = read(1);
            if (b.empty())
                return false;
            seen.push_back(b[0]);
            if (seen.size() >= msg.size() && std::equal(msg.begin(), msg.end(), seen.end() - msg.size()))
                return true;
        }
        return false;
    }

    void reset() { ScriptedServer::reset(fd_); }

  private:
    Fd fd_;
    SSL *ssl_ = nullptr;
    bool ok_ = false;
};

// The binary link over TLS (crypto_mode 1).
class TlsLinkFaults : public LinkFaults
{
  protected:
    int crypto_mode() const override { return 1; }

    // A connection of the gateway (`c`, or the next one) taken through the
    // handshake and the login.
    std::unique_ptr<TlsPeer> tls_logged_in(Fd c = Fd(), ms within = kStartup)
    {
        if (c.get() < 0)
            c = server_->accept(within);
        EXPECT_GE(c.get(), 0) << "the gateway did not come back";
        if (c.get() < 0)
            return nullptr;
        const size_t from = gw_.line_count();
        auto peer = std::make_unique<TlsPeer>(std::move(c));
        EXPECT_TRUE(peer->ok()) << "handshake";
        EXPECT_TRUE(peer->login(server_->login_result())) << "login over TLS";
        EXPECT_TRUE(gw_.wait_for_line("event\t: cb_conn_connected", 10s, from));
        return peer;
    }
};

struct HandshakeGarbage {
    const char *what;
    proto::Bytes bytes;
    bool then_reset; // the server goes at once after sending it
};

// Garbage where the server's handshake should be: the handshake fails, no
// voice goes out while PTT stays held, the gateway tries again after its
// 3 s pause and then logs in over TLS as before.
TEST_F(TlsLinkFaults, HandshakeGarbageFromTheServer)
{
    VoiceSink voice(rtp_port());
    ASSERT_TRUE(voice.ok());
    std::mt19937 rng(11);
    proto::Bytes random(256);
    for (uint8_t &b : random)
        b = static_cast<uint8_t>(rng());
    const std::string http = "HTTP/1.0 400 Bad Request\r\n\r\n";
    const std::vector<HandshakeGarbage> cases = {
        {"random bytes", random, false},
        {"a plain server's version info", ScriptedServer::version_info(), false},
        {"a fatal handshake_failure alert", {0x15, 0x03, 0x03, 0x00, 0x02, 0x02, 0x28}, false},
        {"a handshake record promising 16 KiB, cut short", {0x16, 0x03, 0x03, 0x40, 0x00, 0x02, 0x00}, true},
        {"a line of text", proto::Bytes(http.begin(), http.end()), false},
    };
    std::unique_ptr<TlsPeer> link = tls_logged_in();
    ASSERT_TRUE(link && link->ok());
    double slowest = 0;
    for (int round = 0; round < 2; ++round) {
        for (const HandshakeGarbage &g : cases) {
            SCOPED_TRACE(std::string(g.what) + ", round " + std::to_string(round));
            press_ptt(true);
            ASSERT_TRUE(link->ptt_request(1));
            ASSERT_TRUE(link->send(proto::build_ack()));
            EXPECT_EQ(voice.count(1s, 11), 11) << "no voice while transmitting";
            const size_t from = gw_.line_count();
            link->reset();
            link.reset();
            ASSERT_TRUE(gw_.wait_for_line("cb_conn_disconnected", 10s, from));
            // The gateway comes back at once; this time the server answers
            // its hello with garbage.
            Fd bad = server_->accept(10s);
            ASSERT_GE(bad.get(), 0);
            ASSERT_TRUE(ScriptedServer::send(bad.get(), g.bytes));
            if (g.then_reset)
                ScriptedServer::reset(bad);
            const auto sent = Clock::now();
            ASSERT_TRUE(gw_.wait_for_line("conn    : failed.", 20s, from));
            voice.drain();
            EXPECT_EQ(voice.count(1s), 0) << "voice while the link is down";
            Fd again = server_->accept(10s);
            ASSERT_GE(again.get(), 0) << "no new attempt after the failed handshake";
            slowest = std::max(slowest, seconds_since(sent));
            EXPECT_LE(seconds_since(sent), 6.0);
            press_ptt(false);
            link = tls_logged_in(std::move(again));
            ASSERT_TRUE(link && link->ok());
        }
    }
    std::printf("handshake garbage: slowest new attempt %.2f s after the garbage\n", slowest);
}

// A handshake that stalls half way is given up at the receive time-out.
TEST_F(TlsLinkFaults, StalledHandshakeEndsAtTheTimeOut)
{
    Fd c = server_->accept(kStartup);
    ASSERT_GE(c.get(), 0);
    const size_t from = gw_.line_count();
    // A record header and nothing of the record.
    ASSERT_TRUE(ScriptedServer::send(c.get(), {0x16, 0x03, 0x03, 0x00, 0x40}));
    const auto sent = Clock::now();
    ASSERT_TRUE(gw_.wait_for_line("conn    : failed.", 25s, from));
    const double failed_after = seconds_since(sent);
    std::printf("stalled handshake: given up after %.1f s\n", failed_after);
    EXPECT_GE(failed_after, 10.0);
    Fd again = server_->accept(10s);
    ASSERT_GE(again.get(), 0);
    EXPECT_LE(seconds_since(sent), 25.0);
    std::unique_ptr<TlsPeer> link = tls_logged_in(std::move(again));
    ASSERT_TRUE(link && link->ok());
}

} // namespace
