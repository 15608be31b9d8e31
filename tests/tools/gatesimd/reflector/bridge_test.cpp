// The bridge between a real libgatesim site (on loopback, with relay members
// standing in for gateways) and a scripted reflector: a reflector talker
// holds the site's slot and is heard at his frequency, the site's talker goes
// to the reflector, the reflector's choice wins when both talk, and audio the
// reflector does not name or that does not decode is handled.
#include "audio/codec_alaw.h"
#include "gatesim/libgatesim.h"
#include "tests/tools/gatesimd/reflector/fake_reflector.h"
#include "tools/gatesimd/reflector/rate_converter.h"
#include "tools/gatesimd/reflector/reflector_bridge.h"
#include "tools/gatesimd/reflector/reflector_opus.h"

#include <cmath>
#include <gtest/gtest.h>

using namespace reftest;
using namespace reflector;

namespace
{

// A relay member on 127.0.0.1, as an XML gateway is: synced by its hello.
struct Member {
    int key = -1;
    Fd udp = udp_socket();
    int rtp_port = 0;

    Member(libgatesim &sim, int port) : key(sim.rtp_member_add("127.0.0.1")), rtp_port(port)
    {
        Bytes hello(172, 0);
        hello[0] = 0x80;
        hello[1] = 8;
        bytes::put_le32(hello.data() + 12, static_cast<uint32_t>(key));
        send_datagram(udp.get(), rtp_port, hello);
    }
    // `frames` of a tone as A-law voice, from this member.
    void talk(double hz, int frames)
    {
        for (int f = 0; f < frames; f++) {
            Bytes p(172, 0);
            p[0] = 0x80;
            p[1] = 8;
            for (int i = 0; i < 160; i++)
                p[12 + i] =
                    alaw_encode(static_cast<int>(8000 * std::sin(2 * M_PI * hz * (f * 160 + i) / 8000.0)));
            send_datagram(udp.get(), rtp_port, p);
        }
    }
    // The voice the relay sends this member, decoded, until `samples` came.
    std::vector<int16_t> hear(size_t samples)
    {
        std::vector<int16_t> pcm;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (pcm.size() < samples && std::chrono::steady_clock::now() < deadline) {
            Bytes d = recv_datagram(udp.get(), 500);
            if (d.size() == 172)
                for (size_t i = 12; i < 172; i++)
                    pcm.push_back(alaw_decode(d[i]));
        }
        return pcm;
    }
};

double frequency(const std::vector<int16_t> &pcm, int rate)
{
    size_t from = pcm.size() / 2, rising = 0;
    for (size_t i = from + 1; i < pcm.size(); i++)
        rising += pcm[i - 1] < 0 && pcm[i] >= 0;
    return pcm.size() > from + 1 ? static_cast<double>(rising) * rate / static_cast<double>(pcm.size() - from)
                                 : 0;
}

// Opus packets of a tone, as a reflector node sends them.
std::vector<Bytes> opus_tone(double hz, int packets)
{
    ReflectorOpus opus;
    RateConverter up(8000, codec_rate);
    std::vector<int16_t> wide;
    std::vector<Bytes> out;
    for (int f = 0; out.size() < static_cast<size_t>(packets); f++) {
        int16_t pcm[160];
        for (int i = 0; i < 160; i++)
            pcm[i] = static_cast<int16_t>(10000 * std::sin(2 * M_PI * hz * (f * 160 + i) / 8000.0));
        up.process(pcm, 160, wide);
        if (wide.size() >= static_cast<size_t>(codec_frame)) {
            Bytes p;
            opus.encode(wide.data(), p);
            wide.erase(wide.begin(), wide.begin() + codec_frame);
            out.push_back(p);
        }
    }
    return out;
}

class BridgeTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        sim->set_cb_info_ver([](libgatesim::s_info_ver &) { return 0; });
        sim->set_cb_login_req([](libgatesim::s_login_req &, const std::string &, const std::string &,
                                 const std::string &) { return 1; });
        rtp_port = free_port(SOCK_DGRAM);
        ASSERT_EQ(sim->init("127.0.0.1", free_port(SOCK_STREAM), 8, rtp_port), 0);
        BridgeConfig cfg;
        cfg.link = quick_config(fake.port());
        cfg.talkgroup = 3;
        cfg.relay_port = rtp_port;
        bridge = std::make_unique<ReflectorBridge>(*sim, cfg, lines.say());
        auto to_bridge = bridge->talker_listener();
        sim->set_cb_talker([this, to_bridge](int ptt, const std::string &user) {
            {
                std::lock_guard<std::mutex> g(m_);
                talkers_.push_back((ptt ? "on " : "off ") + user);
            }
            cv_.notify_all();
            return to_bridge(ptt, user);
        });
        std::string error;
        ASSERT_TRUE(bridge->start(error)) << error;
        ASSERT_TRUE(fake.accept());
        ASSERT_TRUE(fake.login("node key", 5, {"N1", "R1"}, {"OPUS"}));
        ASSERT_TRUE(lines.wait("reflector: logged in")) << lines.all();
    }
    void TearDown() override { bridge->stop(); }

    bool talker(const std::string &change)
    {
        std::unique_lock<std::mutex> g(m_);
        return cv_.wait_for(g, std::chrono::milliseconds(timeout_ms), [&] {
            return std::find(talkers_.begin(), talkers_.end(), change) != talkers_.end();
        });
    }

    FakeReflector fake;
    Lines lines;
    std::shared_ptr<libgatesim> sim = libgatesim::create();
    int rtp_port = 0;
    std::unique_ptr<ReflectorBridge> bridge;
    std::mutex m_;
    std::condition_variable cv_;
    std::vector<std::string> talkers_;
};

TEST_F(BridgeTest, AReflectorTalkerHoldsTheSlotAndEveryMemberHearsHisTone)
{
    Member listener(*sim, rtp_port), gateway(*sim, rtp_port);
    fake.send(build_callsign_msg(msg_talker_start, "R1"));
    for (const Bytes &p : opus_tone(1000, 50))
        fake.send_audio(p);
    ASSERT_TRUE(talker("on R1")) << lines.all();
    std::vector<int16_t> heard = listener.hear(40 * 160);
    EXPECT_NEAR(frequency(heard, 8000), 1000, 15);
    EXPECT_NE(bridge->state_text().find("talk group 3, talker R1"), std::string::npos)
        << bridge->state_text();
    EXPECT_EQ(bridge->site_hears(), "R1");
    // A gateway keying now finds the site busy.
    EXPECT_EQ(sim->talker_take("127.0.0.1", gateway.key, "gw"), -1);

    fake.send(build_callsign_msg(msg_talker_stop, "R1"));
    EXPECT_TRUE(talker("off R1"));
    EXPECT_TRUE(lines.wait("reflector: R1 no longer talks to the site"));
    EXPECT_EQ(sim->talker_take("127.0.0.1", gateway.key, "gw"), 0);
}

TEST_F(BridgeTest, TheSitesTalkerGoesToTheReflectorWhichDecidesWhoIsHeard)
{
    Member site_talker(*sim, rtp_port);
    ASSERT_EQ(sim->talker_take("127.0.0.1", site_talker.key, "S"), 0);
    ASSERT_TRUE(wait_until([&] { return bridge->site_talker() == "S"; }));
    site_talker.talk(1000, 50);
    ReflectorOpus opus;
    RateConverter down(codec_rate, 8000);
    std::vector<int16_t> pcm;
    UdpMessage u;
    while (pcm.size() < 40 * 160 && fake.datagram_of(udp_audio, u)) {
        std::vector<int16_t> wide;
        ASSERT_TRUE(opus.decode(u.audio.data(), u.audio.size(), wide));
        down.process(wide.data(), wide.size(), pcm);
    }
    EXPECT_NEAR(frequency(pcm, 8000), 1000, 15);

    // The reflector chose another node: the site keeps its talker, then hears
    // that node once its own talker lets go, and the site's stream is ended.
    fake.send(build_callsign_msg(msg_talker_start, "R2"));
    EXPECT_TRUE(lines.wait("reflector: R2 is not heard on the site: [S] talks there")) << lines.all();
    ASSERT_EQ(sim->talker_free("127.0.0.1", site_talker.key, "S"), 0);
    EXPECT_TRUE(fake.datagram_of(udp_flush_samples, u));
    EXPECT_TRUE(talker("on R2")) << lines.all();
}

TEST_F(BridgeTest, UnnamedAudioIsHeardAfterAMomentAndGarbageIsCountedNotPlayed)
{
    Member listener(*sim, rtp_port);
    Bytes junk(200);
    for (size_t i = 0; i < junk.size(); i++)
        junk[i] = static_cast<uint8_t>(i * 37 + 11);
    for (int i = 0; i < 5; i++)
        fake.send_audio(junk);
    ASSERT_TRUE(wait_until([&] { return bridge->counters().undecodable == 5; })) << bridge->state_text();
    EXPECT_EQ(bridge->site_hears(), "");

    // A node joined in the middle of a call hears it without a name.
    for (const Bytes &p : opus_tone(600, 25))
        fake.send_audio(p);
    EXPECT_TRUE(talker("on reflector")) << lines.all();
    EXPECT_NEAR(frequency(listener.hear(20 * 160), 8000), 600, 15);
    // The reflector's own limit for a silent talker ends it.
    EXPECT_TRUE(talker("off reflector"));
}

} // namespace
