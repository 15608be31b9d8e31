// The voice relay through the public interface, with plain UDP sockets as the
// gateways' voice ends.
#include "tests/gatesim/libgatesim/sim_fixture.h"

#include <deque>

using namespace simtest;

namespace
{

class Relay : public SimFixture
{
  protected:
    void before_init() override
    {
        sim->set_cb_set_ptt([](int) { return 0; });
        sim->set_cb_rtp_recv([this](unsigned char *packet, int len) {
            std::lock_guard<std::mutex> g(lock);
            host_got.emplace_back(packet, packet + len);
            if (loop_back)
                sim->rtp_send(packet + 12, 160, 8);
            return 0;
        });
    }
    void SetUp() override { start(); }

    void key(Gateway &g, int ptt)
    {
        ASSERT_TRUE(g.send(proto::build_setptt(ptt)));
        // ACK and the 501 event, in either order.
        Bytes got = g.read(44);
        ASSERT_EQ(got.size(), 44u);
    }

    // Sends voice from g until the host has seen `count` packets in all.
    void talk(const Gateway &g, const Bytes &packet)
    {
        size_t before;
        {
            std::lock_guard<std::mutex> l(lock);
            before = host_got.size();
        }
        ASSERT_TRUE(send_datagram(g.udp.get(), rtp_port, packet));
        ASSERT_TRUE(wait_until([&] {
            std::lock_guard<std::mutex> l(lock);
            return host_got.size() > before;
        }));
    }

    size_t host_count()
    {
        std::lock_guard<std::mutex> l(lock);
        return host_got.size();
    }

    std::deque<Bytes> host_got;
    std::atomic<bool> loop_back{false};
};

TEST_F(Relay, UnsyncedGatewaysGetNothing)
{
    Gateway a = logged_in();
    Bytes frame(160, 0x55);
    EXPECT_EQ(sim->rtp_send(frame.data(), 160, 8), 0);
    EXPECT_TRUE(recv_datagram(a.udp.get(), 200).empty());
}

TEST_F(Relay, AHelloCarryingTheSyncKeySyncsTheSender)
{
    Gateway a = logged_in();
    ASSERT_EQ(a.sync, a.tcp_port());
    sync_all({&a}, 1);
    Bytes frame(160, 0x55);
    EXPECT_EQ(sim->rtp_send(frame.data(), 160, 8), 1);
    Bytes got = recv_datagram(a.udp.get());
    ASSERT_EQ(got.size(), 172u);
    EXPECT_EQ(Bytes(got.begin() + 12, got.end()), frame);
}

TEST_F(Relay, AHelloWithAnotherKeyOrShapeSyncsNobody)
{
    Gateway a = logged_in();
    Bytes wrong_key = hello(a.sync + 100000); // never another gateway's port
    Bytes short_one = hello(a.sync);
    short_one.resize(171);
    Bytes long_one = hello(a.sync);
    long_one.push_back(0);
    Bytes bad_version = hello(a.sync);
    bad_version[0] = 0x90; // extension bit: not the exact 0x80 the relay takes
    for (const Bytes &p : {wrong_key, short_one, long_one, bad_version})
        ASSERT_TRUE(send_datagram(a.udp.get(), rtp_port, p));
    // A correct hello from another gateway is handled after them, in order.
    Gateway b = logged_in();
    sync_all({&b}, 1);
    EXPECT_TRUE(recv_datagram(a.udp.get(), 0).empty());
}

TEST_F(Relay, TalkerVoiceReachesTheHostAndEveryOtherSyncedGateway)
{
    Gateway a = logged_in(), b = logged_in(), c = logged_in(), unsynced = logged_in();
    sync_all({&a, &b, &c}, 3);
    key(a, 1);
    Bytes packet = voice(0x33);
    talk(a, packet);
    EXPECT_EQ(recv_datagram(b.udp.get()), packet);
    EXPECT_EQ(recv_datagram(c.udp.get()), packet);
    EXPECT_TRUE(recv_datagram(a.udp.get(), 100).empty());
    EXPECT_TRUE(recv_datagram(unsynced.udp.get(), 0).empty());
    std::lock_guard<std::mutex> l(lock);
    ASSERT_EQ(host_got.size(), 1u);
    EXPECT_EQ(host_got[0], packet);
}

TEST_F(Relay, VoiceFromANonTalkerIsDropped)
{
    Gateway a = logged_in(), b = logged_in();
    sync_all({&a, &b}, 2);
    key(a, 1);
    ASSERT_TRUE(send_datagram(b.udp.get(), rtp_port, voice(0x44)));
    talk(a, voice(0x33)); // handled after b's packet
    EXPECT_EQ(host_count(), 1u);
    EXPECT_EQ(recv_datagram(b.udp.get()), voice(0x33));
    EXPECT_TRUE(recv_datagram(a.udp.get(), 0).empty());
}

TEST_F(Relay, HostVoiceGoesToTheTalkerOnlyWhileOneTalks)
{
    Gateway a = logged_in(), b = logged_in();
    sync_all({&a, &b}, 2);
    key(a, 1);
    Bytes frame(160, 0x66);
    EXPECT_EQ(sim->rtp_send(frame.data(), 160, 8), 1);
    EXPECT_EQ(recv_datagram(a.udp.get()).size(), 172u);
    EXPECT_TRUE(recv_datagram(b.udp.get(), 100).empty());
    key(a, 0);
    b.read(40); // the release event
    EXPECT_EQ(sim->rtp_send(frame.data(), 160, 8), 2);
    EXPECT_EQ(recv_datagram(a.udp.get()).size(), 172u);
    EXPECT_EQ(recv_datagram(b.udp.get()).size(), 172u);
}

TEST_F(Relay, HostVoiceCarriesTheEmulatorsHeader)
{
    Gateway a = logged_in();
    sync_all({&a}, 1); // the probes used sequence numbers already
    Bytes frame(160, 0x11);
    sim->rtp_send(frame.data(), 160, 0x88);
    Bytes first = recv_datagram(a.udp.get());
    sim->rtp_send(frame.data(), 160, 8);
    Bytes second = recv_datagram(a.udp.get());
    ASSERT_EQ(first.size(), 172u);
    ASSERT_EQ(second.size(), 172u);
    EXPECT_EQ(first[0], 0x80);
    EXPECT_EQ(first[1], 0x88); // the caller's byte, marker bit included
    EXPECT_EQ(second[1], 0x08);
    EXPECT_EQ(bytes::get_be16(&second[2]), static_cast<uint16_t>(bytes::get_be16(&first[2]) + 1));
    EXPECT_EQ(bytes::get_be32(&second[4]), bytes::get_be32(&first[4]) + 160);
    EXPECT_EQ(bytes::get_be32(&first[4]) % 160, 0u);
    EXPECT_EQ(bytes::get_be32(&first[4]) / 160, bytes::get_be16(&first[2]));
    EXPECT_EQ(Bytes(first.begin() + 8, first.begin() + 12), (Bytes{0xAA, 0xBB, 0xCC, 0xDD}));
}

TEST_F(Relay, ALoginCarryingAPortIsSyncedAtOnce)
{
    // A syncnum in the login request is taken as the gateway's voice port, so
    // the very first host packet reaches it: sequence 1, timestamp 160.
    Gateway a = connect();
    ASSERT_TRUE(a.send(login_request("user", "qzv", static_cast<uint32_t>(a.udp_port()))));
    ASSERT_EQ(a.read_word(), 4u);
    ASSERT_EQ(a.read(120).size(), 120u);
    Bytes frame(160, 0x22);
    ASSERT_EQ(sim->rtp_send(frame.data(), 160, 8), 1);
    Bytes got = recv_datagram(a.udp.get());
    ASSERT_EQ(got.size(), 172u);
    EXPECT_EQ(Bytes(got.begin(), got.begin() + 12),
              (Bytes{0x80, 0x08, 0x00, 0x01, 0x00, 0x00, 0x00, 0xA0, 0xAA, 0xBB, 0xCC, 0xDD}));
}

TEST_F(Relay, APayloadOf320BytesSendsNothing)
{
    Gateway a = logged_in();
    sync_all({&a}, 1);
    Bytes frame(320, 0x11);
    EXPECT_EQ(sim->rtp_send(frame.data(), 320, 8), -1);
    EXPECT_EQ(sim->rtp_send(frame.data(), 159, 8), -1);
    EXPECT_EQ(sim->rtp_send(nullptr, 160, 8), -1);
    EXPECT_TRUE(recv_datagram(a.udp.get(), 200).empty());
}

TEST_F(Relay, ATalkerThatDisconnectsFreesTheSlot)
{
    Gateway b = logged_in();
    {
        Gateway a = logged_in();
        sync_all({&a, &b}, 2);
        key(a, 1);
        b.read(40);
        Bytes frame(160, 0x11);
        EXPECT_EQ(sim->rtp_send(frame.data(), 160, 8), 1);
    }
    Bytes frame(160, 0x11);
    ASSERT_TRUE(wait_until(
        [&] { return sim->rtp_send(frame.data(), 160, 8) == 1 && !recv_datagram(b.udp.get(), 0).empty(); }));
}

TEST_F(Relay, ADisconnectedGatewayLeavesTheRelay)
{
    Gateway b = logged_in();
    {
        Gateway a = logged_in();
        sync_all({&a, &b}, 2);
    }
    Bytes frame(160, 0x11);
    EXPECT_TRUE(wait_until([&] { return sim->rtp_send(frame.data(), 160, 8) == 1; }));
}

TEST_F(Relay, TheHostMayLoopVoiceBackFromItsCallback)
{
    loop_back = true;
    Gateway a = logged_in(), b = logged_in();
    sync_all({&a, &b}, 2);
    key(a, 1);
    talk(a, voice(0x77));
    Bytes back = recv_datagram(a.udp.get());
    ASSERT_EQ(back.size(), 172u);
    EXPECT_EQ(Bytes(back.begin() + 12, back.end()), Bytes(160, 0x77));
    EXPECT_EQ(recv_datagram(b.udp.get()), voice(0x77));
}

TEST_F(Relay, AGatewayThatKeysBeforeItsHelloTalksOnceSynced)
{
    Gateway a = logged_in(), b = logged_in();
    sync_all({&b}, 1);
    key(a, 1);
    ASSERT_TRUE(send_datagram(a.udp.get(), rtp_port, hello(a.sync)));
    ASSERT_TRUE(wait_until([&] {
        send_datagram(a.udp.get(), rtp_port, voice(0x12));
        return host_count() > 0;
    }));
    EXPECT_EQ(recv_datagram(b.udp.get()), voice(0x12));
}

TEST_F(Relay, AReloginKeepsOneEntry)
{
    Gateway a = logged_in();
    ASSERT_EQ(login(a).size(), 120u);
    // A gateway sends its hello three times: with a second entry for it, the
    // second hello would sync that one too and it would get every packet twice.
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(send_datagram(a.udp.get(), rtp_port, hello(a.sync)));
    // Hellos are handled in order: once b is synced, a's three were handled.
    Gateway b = logged_in();
    ASSERT_TRUE(send_datagram(b.udp.get(), rtp_port, hello(b.sync)));
    Bytes probe(160, 0xD5);
    ASSERT_TRUE(wait_until([&] {
        sim->rtp_send(probe.data(), 160, 8);
        return !recv_datagram(b.udp.get(), 0).empty();
    }));
    drain(a);
    drain(b);
    EXPECT_EQ(sim->rtp_send(probe.data(), 160, 8), 2);
    EXPECT_EQ(recv_datagram(a.udp.get()).size(), 172u);
    EXPECT_TRUE(recv_datagram(a.udp.get(), 200).empty()) << "a second copy for the same gateway";
}

TEST_F(Relay, KeepAlivesOfFourZeroBytesEveryFiveSeconds)
{
    Gateway a = logged_in(), unsynced = logged_in();
    sync_all({&a}, 1);
    Bytes first = recv_datagram(a.udp.get(), 12000);
    EXPECT_EQ(first, (Bytes{0, 0, 0, 0}));
    auto t0 = std::chrono::steady_clock::now();
    Bytes second = recv_datagram(a.udp.get(), 12000);
    auto gap = std::chrono::steady_clock::now() - t0;
    EXPECT_EQ(second, (Bytes{0, 0, 0, 0}));
    // Loose bounds: the period is what is checked, not the machine's speed.
    EXPECT_GT(gap, std::chrono::milliseconds(3000));
    EXPECT_TRUE(recv_datagram(unsynced.udp.get(), 0).empty());
}

TEST_F(Relay, GarbageDatagramsAreIgnored)
{
    Gateway a = logged_in();
    Fd stranger = udp_socket();
    for (size_t n : {0u, 1u, 12u, 171u, 173u, 511u, 512u, 1400u})
        ASSERT_TRUE(send_datagram(stranger.get(), rtp_port, Bytes(n, 0x80)));
    ASSERT_TRUE(send_datagram(stranger.get(), rtp_port, voice(0x80)));
    sync_all({&a}, 1); // the relay still works
    EXPECT_EQ(host_count(), 0u);
}

} // namespace
