// End-to-end tests of a GM360 site. This program runs inside a box started
// with a GM360 control head on "/dev/ttyS1" (`--tty1 gm360`); it plays the
// server with the emulator library on loopback and runs the unmodified gwlinkd
// as a child in the same box, then drives the head, the GPIO lines and the
// audio through the box's control socket.
#include "tests/system/site_test.h"

#include "sim/box_client.h"
#include "wire/roip_proto.h"

#include <gtest/gtest.h>

#include <gsm.h>

#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdlib>

namespace
{

using namespace std::chrono_literals;
using site::Bytes;
using site::Clock;
using site::ms;

constexpr uint32_t FRONT_PTT = 0x1000; // active low
using site::kEvent;
using site::kStartup;

Bytes key_frame(uint8_t k, uint8_t s)
{
    Bytes f{0xF4, 0x24, k, s, 0x00, 0x00};
    uint8_t sum = 0;
    for (size_t i = 0; i + 1 < f.size(); i++)
        sum = static_cast<uint8_t>(sum + f[i]);
    f.back() = static_cast<uint8_t>(~sum);
    return f;
}

Bytes display_frame(const std::string &text)
{
    Bytes f{0xFF, 0x34, 0x00, 0x11, 0x00, 0x00};
    std::string t = text;
    t.resize(14, ' ');
    f.insert(f.end(), t.begin(), t.end());
    f.push_back(0);
    uint8_t sum = 0;
    for (size_t i = 0; i + 1 < f.size(); i++)
        sum = static_cast<uint8_t>(sum + f[i]);
    f.back() = static_cast<uint8_t>(~sum);
    return f;
}

// Two seconds of white noise at about -12 dBFS, 8000 Hz mono 16-bit.
std::string write_noise_wav()
{
    const std::string path = "/tmp/gm360-site-noise-" + std::to_string(::getpid()) + ".wav";
    const uint32_t samples = 16000;
    Bytes w(44 + 2 * samples);
    std::memcpy(w.data(), "RIFF", 4);
    bytes::put_le32(w.data() + 4, 36 + 2 * samples);
    std::memcpy(w.data() + 8, "WAVEfmt ", 8);
    bytes::put_le32(w.data() + 16, 16);
    bytes::put_le16(w.data() + 20, 1);
    bytes::put_le16(w.data() + 22, 1);
    bytes::put_le32(w.data() + 24, 8000);
    bytes::put_le32(w.data() + 28, 16000);
    bytes::put_le16(w.data() + 32, 2);
    bytes::put_le16(w.data() + 34, 16);
    std::memcpy(w.data() + 36, "data", 4);
    bytes::put_le32(w.data() + 40, 2 * samples);
    uint32_t x = 12345;
    for (uint32_t i = 0; i < samples; i++) {
        x = x * 1103515245u + 12345u;
        bytes::put_le16(w.data() + 44 + 2 * i,
                        static_cast<uint16_t>(static_cast<int16_t>((x >> 16) % 16384) - 8192));
    }
    site::write_file(path.c_str(), w.data(), w.size());
    return path;
}

class Gm360Site : public site::SiteTest
{
  protected:
    void SetUp() override
    {
        site::SiteTest::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        ASSERT_EQ(box_.set_inputs(0, FRONT_PTT), 0);
        head({{"op", "clear"}});
        on_failure("server", [this] { return server_ ? server_view() : std::string(); });
    }

    void TearDown() override
    {
        site::SiteTest::TearDown();
        server_.reset();
    }

    nlohmann::json head(nlohmann::json req) { return tty1(std::move(req)); }
    std::string display() { return head({{"op", "state"}}).value("display", std::string()); }
    bool wait_display(const std::string &text, ms timeout = kEvent)
    {
        std::string want = text;
        want.resize(14, ' ');
        return site::eventually([&] { return display() == want; }, timeout);
    }

    void start_server(int codec = 1, int tcp_port = 0)
    {
        server_ = std::make_unique<site::Server>(tcp_port ? tcp_port : this->tcp_port(), rtp_port(), codec);
        ASSERT_TRUE(server_->ok());
    }
    void start_gateway(int crypto_mode = 0, int codec = 1)
    {
        site::GatewayConfig c;
        c.port = tcp_port();
        c.crypto_mode = crypto_mode;
        c.codec = codec;
        site::SiteTest::start_gateway(c);
    }
    // The (fresh) server has seen a login and the gateway itself has taken
    // the login's result: only then does it pass on what it is asked to.
    void wait_login()
    {
        ASSERT_TRUE(server_->wait(kStartup, [](site::Server &s) { return s.logins_ >= 1; })) << gw_.tail();
        ASSERT_TRUE(site::wait_count(gw_, "event\t: cb_conn_connected", ++gateway_logins_)) << gw_.tail();
    }
    // The gateway is up and its hello packets synced it: a frame from the
    // server reaches its loudspeaker.
    void bring_up()
    {
        start_server();
        start_gateway();
        wait_login();
        ASSERT_TRUE(gw_.wait_for_line("FRONT_INIT")) << gw_.tail();
    }
    std::string server_view()
    {
        std::lock_guard<std::mutex> lock(server_->m_);
        return std::to_string(server_->logins_) + " logins, " + std::to_string(server_->ptts_.size()) +
               " PTT requests, " + std::to_string(server_->rtp_count_) + " voice packets (" +
               std::to_string(server_->loud_count_) + " loud)\n";
    }

    std::unique_ptr<site::Server> server_;
    site::Child terminator_; // a TLS terminator in front of the server
    size_t gateway_logins_ = 0;
};

TEST_F(Gm360Site, LogsInAndTheServersVoiceReachesTheLoudspeaker)
{
    bring_up();
    {
        std::lock_guard<std::mutex> lock(server_->m_);
        EXPECT_EQ(server_->last_user_, "user");
    }
    EXPECT_GE(gw_.find("VoipPort:\t" + std::to_string(rtp_port())), 0);
    // Only a gateway whose hello packets synced it receives the server's voice.
    site::VoiceSource voice(server_->sim(), 700, 12000, 3s);
    EXPECT_TRUE(wait_playback_above(-30)) << "level " << playback_level();
}

// A depth below 1, or one whose double overflows, would give a jitter buffer
// that never plays: the gateway says so and plays with the factory depth.
TEST_F(Gm360Site, UnusableBuffersAreReportedAndTheVoiceStillPlays)
{
    for (int buffers : {-1, 0x40000000}) {
        SCOPED_TRACE(buffers);
        // No voice left over from the case before.
        ASSERT_TRUE(site::eventually([&] { return playback_level() <= -50; }));
        start_server();
        site::GatewayConfig c;
        c.port = tcp_port();
        c.buffers = buffers;
        site::SiteTest::start_gateway(c);
        wait_login();
        EXPECT_TRUE(gw_.wait_for_line("cfg : invalid buffers (" + std::to_string(buffers) + "), using 4"))
            << gw_.tail();
        ASSERT_TRUE(gw_.wait_for_line("FRONT_INIT")) << gw_.tail();
        {
            site::VoiceSource voice(server_->sim(), 700, 12000, 3s);
            EXPECT_TRUE(wait_playback_above(-30)) << "level " << playback_level();
        }
        gw_.stop();
        server_.reset();
        new_ports();
    }
}

TEST_F(Gm360Site, HeadShowsConnectingThenNoConnAndTheGatewayReconnects)
{
    bring_up();
    EXPECT_TRUE(wait_display("Connecting ..")) << "display [" << display() << "]";
    server_.reset();
    EXPECT_TRUE(wait_display("No conn.")) << "display [" << display() << "]";
    EXPECT_TRUE(gw_.wait_for_line("cb_conn_disconnected"));
    start_server();
    wait_login();
    EXPECT_TRUE(wait_display("Connecting ..")) << "display [" << display() << "]";
}

TEST_F(Gm360Site, GpioPttKeysTheServerAndTheVoiceStream)
{
    bring_up();
    ASSERT_EQ(box_.set_inputs(FRONT_PTT, 0), 0);
    ASSERT_TRUE(server_->wait(kEvent, [](site::Server &s) { return !s.ptts_.empty(); })) << gw_.tail();
    ASSERT_TRUE(server_->wait(kEvent, [](site::Server &s) { return s.loud_count_ >= 10; }))
        << "voice packets with the microphone tone: " << server_->loud_count_;
    {
        std::lock_guard<std::mutex> lock(server_->m_);
        EXPECT_EQ(server_->ptts_[0].value, 1);
    }
    ASSERT_EQ(box_.set_inputs(0, FRONT_PTT), 0);
    ASSERT_TRUE(server_->wait(kEvent, [](site::Server &s) { return s.ptts_.size() >= 2; }));
    std::lock_guard<std::mutex> lock(server_->m_);
    EXPECT_EQ(server_->ptts_[1].value, 0);
    // The gateway's log may reach us after the server has the packet.
    EXPECT_TRUE(gw_.wait_for_line("event\t: cb_front_ptt(1)"));
    EXPECT_TRUE(gw_.wait_for_line("event\t: cb_front_ptt(0)"));
}

TEST_F(Gm360Site, HeadPttKeyKeysTheServerAndTheVoiceStream)
{
    bring_up();
    head({{"op", "ptt"}, {"on", true}});
    ASSERT_TRUE(server_->wait(kEvent, [](site::Server &s) { return !s.ptts_.empty(); })) << gw_.tail();
    ASSERT_TRUE(server_->wait(kEvent, [](site::Server &s) { return s.loud_count_ >= 10; }));
    head({{"op", "ptt"}, {"on", false}});
    ASSERT_TRUE(server_->wait(kEvent, [](site::Server &s) { return s.ptts_.size() >= 2; }));
    std::lock_guard<std::mutex> lock(server_->m_);
    EXPECT_EQ(server_->ptts_[0].value, 1);
    EXPECT_EQ(server_->ptts_[1].value, 0);
    EXPECT_GE(head({{"op", "state"}}).value("polls", 0), 2);
}

TEST_F(Gm360Site, AmplifierSwitchesOffAfterTheVoiceEnds)
{
    bring_up();
    const ms talk = 1500ms;
    std::vector<boardbox::AmpCommand> before;
    box_.amplifier_log(before);
    {
        site::VoiceSource voice(server_->sim(), 500, 12000, talk);
        ASSERT_TRUE(wait_playback_above(-30));
        ASSERT_TRUE(site::eventually([&] { return voice.done(); }));
    }
    // The amplifier comes on with the first frame and goes off (0) eight empty
    // periods after the last one.
    std::vector<boardbox::AmpCommand> log;
    ASSERT_TRUE(site::eventually([&] {
        box_.amplifier_log(log);
        return log.size() > before.size() && log.back().value == 0;
    })) << "no switch-off";
    double on = -1, off = log.back().time;
    for (size_t i = before.size(); i < log.size(); i++)
        if (log[i].value != 0 && on < 0)
            on = log[i].time;
    ASSERT_GE(on, 0) << "no switch-on";
    double span = off - on;
    std::printf("amplifier on for %.3f s for %.3f s of voice\n", span, talk.count() / 1000.0);
    EXPECT_GT(span, talk.count() / 1000.0 + 0.1);
    EXPECT_LT(span, talk.count() / 1000.0 + 1.5);
}

TEST_F(Gm360Site, RadioDisplayFramesReachTheHeadOneAtATime)
{
    bring_up();
    ASSERT_TRUE(wait_display("Connecting .."));
    // "Connecting .." and the seven initialisation frames first.
    site::eventually([&] { return head({{"op", "state"}}).value("acks", 0) >= 8; });
    // The head takes its time to acknowledge: no frame may arrive while one
    // is still unacknowledged.
    head({{"op", "ack_delay"}, {"ms", 60}});
    head({{"op", "clear"}});
    Bytes burst;
    const char *texts[] = {"CH 1", "CH 2 TALK", "SCAN", "ZONE 4", "CH 5 WIDE"};
    for (const char *t : texts) {
        Bytes f = display_frame(t);
        burst.insert(burst.end(), f.begin(), f.end());
    }
    ASSERT_EQ(server_->sim().async_serial_data(0, burst.data(), static_cast<int>(burst.size())), 0);
    ASSERT_TRUE(wait_display("CH 5 WIDE")) << "display [" << display() << "]";
    // The last acknowledgement follows the last frame by the delay.
    nlohmann::json st;
    site::eventually([&] {
        st = head({{"op", "state"}});
        return st.value("acks", 0) >= 5;
    });
    head({{"op", "ack_delay"}, {"ms", 0}});
    EXPECT_EQ(st.value("displays", 0), 5);
    EXPECT_EQ(st.value("acks", 0), 5);
    EXPECT_EQ(st.value("overlaps", -1), 0);
    EXPECT_EQ(st.value("bad_frames", -1), 0);
}

TEST_F(Gm360Site, HeadKeyGoesToTheServerAsAPressReleasePair)
{
    bring_up();
    head({{"op", "key"}, {"code", 0x05}, {"state", 1}});
    ASSERT_TRUE(server_->wait(kEvent, [](site::Server &s) {
        return std::count_if(s.fronts_.begin(), s.fronts_.end(), [](auto &f) { return f.type == 207; }) >= 1;
    })) << gw_.tail();
    head({{"op", "key"}, {"code", 0x21}, {"state", 0}});
    ASSERT_TRUE(server_->wait(kEvent, [](site::Server &s) {
        return std::count_if(s.fronts_.begin(), s.fronts_.end(), [](auto &f) { return f.type == 207; }) >= 2;
    }));
    std::vector<proto::FrontFrames> pairs;
    {
        std::lock_guard<std::mutex> lock(server_->m_);
        for (auto &f : server_->fronts_) {
            if (f.type != 207)
                continue;
            proto::FrontFrames ff;
            ASSERT_TRUE(proto::decode(f.body.data(), f.body.size(), ff));
            pairs.push_back(ff);
        }
        // Every login is followed by a front state of 0.
        EXPECT_GE(
            std::count_if(server_->fronts_.begin(), server_->fronts_.end(),
                          [](auto &f) { return f.type == 205 && f.body.size() == 1 && f.body[0] == 0; }),
            1);
    }
    ASSERT_EQ(pairs.size(), 2u);
    EXPECT_EQ(pairs[0].mode, 0u);
    EXPECT_EQ(Bytes(pairs[0].frame1, pairs[0].frame1 + 6), key_frame(0x05, 1));
    EXPECT_EQ(Bytes(pairs[0].frame2, pairs[0].frame2 + 6), key_frame(0x05, 0));
    EXPECT_EQ(pairs[1].mode, 2u);
    EXPECT_EQ(Bytes(pairs[1].frame1, pairs[1].frame1 + 6), key_frame(0x21, 0));
    EXPECT_EQ(Bytes(pairs[1].frame2, pairs[1].frame2 + 6), key_frame(0x21, 1));
}

TEST_F(Gm360Site, KnobSetsTheAmplifierVolume)
{
    bring_up();
    head({{"op", "knob"}, {"position", 200}});
    ASSERT_TRUE(gw_.wait_for_line("setting volume : 200 -> 50")) << gw_.tail();
    // While no voice plays the amplifier is off; the new volume reaches it
    // with the next voice.
    site::VoiceSource voice(server_->sim(), 600, 12000, 2s);
    EXPECT_TRUE(site::eventually([&] {
        std::vector<boardbox::AmpCommand> log;
        box_.amplifier_log(log);
        return std::any_of(log.begin(), log.end(), [](auto &c) { return c.value == 50; });
    })) << "amplifier never set to 50";
}

// The server below asks for GSM; the emulator library relays only A-law
// packets, so a minimal server checks the GSM voice itself.
class GsmServer
{
  public:
    explicit GsmServer(int tcp_port) : tcp_port_(tcp_port)
    {
        listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int one = 1;
        ::setsockopt(listen_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<uint16_t>(tcp_port));
        ok_ = ::bind(listen_, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 && ::listen(listen_, 4) == 0;
        udp_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        a.sin_port = htons(static_cast<uint16_t>(tcp_port + 1));
        ok_ = ok_ && ::bind(udp_, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
        timeval tv{0, 200000};
        ::setsockopt(udp_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        ::setsockopt(listen_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        tcp_thread_ = std::thread([this] { serve_tcp(); });
        udp_thread_ = std::thread([this] { serve_udp(); });
    }
    ~GsmServer()
    {
        stop_ = true;
        ::shutdown(listen_, SHUT_RDWR);
        if (client_ >= 0)
            ::shutdown(client_, SHUT_RDWR);
        tcp_thread_.join();
        udp_thread_.join();
        ::close(listen_);
        ::close(udp_);
        if (client_ >= 0)
            ::close(client_);
    }
    bool ok() const { return ok_; }

    std::mutex m;
    std::condition_variable cv;
    int logins = 0;
    std::vector<int> ptts;
    std::vector<size_t> datagram_sizes;
    uint32_t hello_sync = 0;
    int loud_frames = 0;

  private:
    // The accepted socket inherits the listening socket's 200 ms receive
    // time-out, which only serves to notice the stop request.
    bool read_all(int fd, uint8_t *b, size_t n)
    {
        while (n > 0) {
            ssize_t r = ::recv(fd, b, n, 0);
            if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && !stop_)
                continue;
            if (r <= 0)
                return false;
            b += r;
            n -= static_cast<size_t>(r);
        }
        return true;
    }
    static void write_all(int fd, const Bytes &b) { (void)!::send(fd, b.data(), b.size(), MSG_NOSIGNAL); }

    void serve_tcp()
    {
        while (!stop_) {
            int c = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0)
                continue;
            client_ = c;
            proto::VersionInfo v;
            v.ver_proto = proto::version_word(1, 5);
            v.ver_fw = proto::version_word(1, 30);
            write_all(c, proto::build_version_info(v));
            uint8_t type[4];
            while (!stop_ && read_all(c, type, 4)) {
                uint32_t t = bytes::get_le32(type);
                if (t == proto::packettype_loginreq) {
                    uint8_t body[proto::login_request_size];
                    if (!read_all(c, body, sizeof body))
                        break;
                    sockaddr_in peer{};
                    socklen_t len = sizeof peer;
                    ::getpeername(c, reinterpret_cast<sockaddr *>(&peer), &len);
                    proto::LoginResult r;
                    r.priv_level = 1;
                    r.priv_rctl = 1;
                    r.voip_port = tcp_port_ + 1;
                    r.voip_sync_num = ntohs(peer.sin_port);
                    r.codec_type = 2;
                    write_all(c, proto::build_login_result(r));
                    std::lock_guard<std::mutex> lock(m);
                    logins++;
                    cv.notify_all();
                } else if (t == proto::packettype_setptt) {
                    uint8_t v4[4];
                    if (!read_all(c, v4, 4))
                        break;
                    write_all(c, proto::build_ack());
                    std::lock_guard<std::mutex> lock(m);
                    ptts.push_back(static_cast<int>(bytes::get_le32(v4)));
                    cv.notify_all();
                } else if (t == proto::packettype_front_state) {
                    uint8_t b;
                    if (!read_all(c, &b, 1))
                        break;
                } else if (t == proto::packettype_front_frames) {
                    uint8_t b[proto::front_frames_size];
                    if (!read_all(c, b, sizeof b))
                        break;
                } else {
                    break;
                }
            }
            ::shutdown(c, SHUT_RDWR);
        }
    }

    void serve_udp()
    {
        gsm g = gsm_create();
        while (!stop_) {
            uint8_t buf[2048];
            ssize_t n = ::recv(udp_, buf, sizeof buf, 0);
            if (n <= 0)
                continue;
            std::lock_guard<std::mutex> lock(m);
            datagram_sizes.push_back(static_cast<size_t>(n));

            if (n == 12 + 33) {
                if (!hello_sync && bytes::get_be16(buf + 2) == 0)
                    hello_sync = bytes::get_le32(buf + 12);
                gsm_signal pcm[160];
                if (gsm_decode(g, buf + 12, pcm) == 0) {
                    int peak = 0;
                    for (gsm_signal s : pcm)
                        peak = std::max(peak, std::abs(static_cast<int>(s)));
                    if (peak > 1000)
                        loud_frames++;
                }
            }
            cv.notify_all();
        }
        gsm_destroy(g);
    }

    int tcp_port_;
    int listen_ = -1, udp_ = -1;
    std::atomic<int> client_{-1};
    bool ok_ = false;
    std::atomic<bool> stop_{false};
    std::thread tcp_thread_, udp_thread_;
};

TEST_F(Gm360Site, ServerAskingForGsmMakesTheGatewayStoreItRestartAndTalkGsm)
{
    start_server(2);
    start_gateway(0, 1);
    wait_login();
    // The gateway saves the codec and ends itself.
    EXPECT_EQ(gw_.wait_exit(kEvent), 143) << gw_.tail();
    EXPECT_EQ(site::read_codec_file(), 2);
    server_.reset();

    GsmServer gsm_server(tcp_port());
    ASSERT_TRUE(gsm_server.ok());
    site::Child again;
    ASSERT_EQ(again.start({site::bin("gwlinkd")}), 0);
    ASSERT_TRUE(site::wait_until(gsm_server.m, gsm_server.cv, kStartup, [&] {
        return gsm_server.logins >= 1;
    })) << again.tail();
    // Three 45-byte hello packets carry the sync number.
    ASSERT_TRUE(site::wait_until(gsm_server.m, gsm_server.cv, kEvent,
                                 [&] { return gsm_server.datagram_sizes.size() >= 3; }));
    // A steady tone is predicted so well by GSM's long-term predictor that a
    // decoder joining the running stream stays nearly silent; noise is not.
    const std::string noise = write_noise_wav();
    ASSERT_EQ(box_.set_capture(noise), 0);
    ASSERT_EQ(box_.set_inputs(FRONT_PTT, 0), 0);
    ASSERT_TRUE(
        site::wait_until(gsm_server.m, gsm_server.cv, kEvent, [&] { return gsm_server.loud_frames >= 10; }))
        << again.tail() << "voice frames " << gsm_server.datagram_sizes.size() << ", loud "
        << gsm_server.loud_frames;

    ASSERT_EQ(box_.set_inputs(0, FRONT_PTT), 0);
    std::lock_guard<std::mutex> lock(gsm_server.m);
    for (size_t n : gsm_server.datagram_sizes)
        EXPECT_TRUE(n == 45 || n == 4) << n;
    EXPECT_NE(gsm_server.hello_sync, 0u);
    EXPECT_EQ(gsm_server.ptts.at(0), 1);
    EXPECT_TRUE(again.running()) << "the gateway restarted although the codec matches";
    again.stop();
    ::unlink(noise.c_str());
}

TEST_F(Gm360Site, TlsLoginThroughATerminatorAndVoiceStillFlows)
{
    // socat terminates TLS in front of the emulator.
    const std::string gen = "openssl req -x509 -newkey rsa:2048 -nodes -subj /CN=site -days 1 -keyout " +
                            path("key.pem") + " -out " + path("cert.pem") + " >/dev/null 2>&1";
    ASSERT_EQ(std::system(gen.c_str()), 0);
    const int backend = xml_port(); // a port of this test's that nothing else uses here
    start_server(1, backend);
    on_failure("socat output (tail)", terminator_);
    ASSERT_EQ(terminator_.start({"/usr/bin/socat", "-d", "-d",
                                 "OPENSSL-LISTEN:" + std::to_string(tcp_port()) +
                                     ",bind=127.0.0.1,reuseaddr,fork,verify=0,cert=" + path("cert.pem") +
                                     ",key=" + path("key.pem"),
                                 "TCP:127.0.0.1:" + std::to_string(backend)}),
              0);
    start_gateway(1);
    wait_login();
    ASSERT_EQ(box_.set_inputs(FRONT_PTT, 0), 0);
    ASSERT_TRUE(server_->wait(kEvent, [](site::Server &s) { return s.loud_count_ >= 10; })) << gw_.tail();
    ASSERT_EQ(box_.set_inputs(0, FRONT_PTT), 0);
    site::VoiceSource voice(server_->sim(), 700, 12000, 3s);
    EXPECT_TRUE(wait_playback_above(-30));
}

} // namespace
