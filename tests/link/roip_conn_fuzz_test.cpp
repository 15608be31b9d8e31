// Robustness: random, mutated and truncated byte streams from the server never
// crash or hang the client; it resets and reconnects every time.
#include "link/roip_conn.h"

#include "link_test_support.h"

#include <gtest/gtest.h>

#include <random>

using namespace linktest;

namespace
{

// Checks every callback argument the link can hand out against its bounds.
class CheckingRecorder : public Recorder
{
  public:
    void cb_async_setptt(int ptt, const char *login) override
    {
        if (!login || std::strlen(login) > 31)
            bad = true;
        Recorder::cb_async_setptt(ptt, login);
    }
    void cb_async_dm3000_status(uint32_t a, uint8_t b, const uint8_t *s, int len) override
    {
        if (len < 0 || len > 65535 - 21 || (len > 0 && !s))
            bad = true;
        Recorder::cb_async_dm3000_status(a, b, s, len);
    }
    void cb_update_crypto(const uint8_t *key, int len, int mode) override
    {
        if (len < 0 || len > 32 || (key && mode == 0))
            bad = true;
        Recorder::cb_update_crypto(key, len, mode);
    }
    std::atomic<bool> bad{false};
};

// Valid messages the server may send, used as material for mutation.
std::vector<Bytes> corpus()
{
    const uint8_t st[] = {1, 2, 3, 4};
    return {
        proto::build_async_setptt(1, "someone"),
        proto::build_async_gpiochanged(0x1000, 0xFFFF),
        proto::build_async_unlocksql(1),
        proto::build_upgradestatus(1, 2, 3),
        proto::build_tunnel(203, 0, st, sizeof st),
        proto::build_tunnel_ext(2003, proto::build_dm_status_payload(1, 2, st, 4).data(), 13),
        proto::build_tunnel_ext(2103, proto::build_xml_text_payload(0, 0, "<a/>").data(), 16),
        proto::build_ext(1004, proto::build_crypto_key_payload(1, st, 4).data(), 44),
        proto::build_deny(2),
        proto::build_ack(),
    };
}

Bytes random_stream(std::mt19937 &rng, const std::vector<Bytes> &seeds)
{
    Bytes out;
    int parts = 1 + static_cast<int>(rng() % 6);
    for (int i = 0; i < parts; ++i) {
        switch (rng() % 4) {
        case 0: { // pure garbage
            size_t n = rng() % 64;
            for (size_t k = 0; k < n; ++k)
                out.push_back(static_cast<uint8_t>(rng()));
            break;
        }
        case 1: { // a valid message cut short
            const Bytes &m = seeds[rng() % seeds.size()];
            size_t n = rng() % m.size();
            out.insert(out.end(), m.begin(), m.begin() + static_cast<long>(n));
            break;
        }
        default: { // a valid message with a few bytes flipped
            Bytes m = seeds[rng() % seeds.size()];
            int flips = static_cast<int>(rng() % 3);
            for (int f = 0; f < flips; ++f)
                m[rng() % m.size()] = static_cast<uint8_t>(rng());
            out.insert(out.end(), m.begin(), m.end());
            break;
        }
        }
    }
    return out;
}

} // namespace

TEST(Fuzz, RandomStreamsAfterLoginAlwaysEndInAReconnect)
{
    LogCapture log;
    CheckingRecorder rec;
    FakeServer srv;
    auto conn = std::make_unique<class_roip_conn>(&rec, "127.0.0.1", srv.port(), "u", "p", 8000, 0);
    ASSERT_EQ(conn->start(), 0);
    conn->go();

    std::mt19937 rng(20261208);
    auto seeds = corpus();
    constexpr int rounds = 2000;
    for (int round = 1; round <= rounds; ++round) {
        auto peer = accept_login(srv);
        ASSERT_TRUE(peer) << "round " << round;
        ASSERT_TRUE(rec.wait("connected", round)) << "round " << round;
        peer->send(random_stream(rng, seeds));
        // Whatever the client made of it, the server ends the round.
        if (rng() % 2)
            peer->close();
        else
            peer->abort();
        ASSERT_TRUE(rec.wait("disconnected", round)) << "round " << round;
    }
    EXPECT_FALSE(rec.bad);
    EXPECT_EQ(log.count("conn    : failed."), 0);
    EXPECT_EQ(rec.count("unexpected"), 0);
    conn.reset();
}

TEST(Fuzz, RandomLoginPhaseNeverConnects)
{
    LogCapture log;
    CheckingRecorder rec;
    FakeServer srv;
    auto conn = std::make_unique<class_roip_conn>(&rec, "127.0.0.1", srv.port(), "u", "p", 8000, 0);
    ASSERT_EQ(conn->start(), 0);
    conn->go();

    // Each failed login costs the 3 s pause, so only a few rounds.
    std::mt19937 rng(77);
    for (int round = 1; round <= 3; ++round) {
        auto peer = srv.accept();
        ASSERT_TRUE(peer);
        Bytes junk(20 + rng() % 40);
        for (auto &b : junk)
            b = static_cast<uint8_t>(rng());
        peer->send(junk);
        // A word other than 4 after the login request fails the attempt.
        if (peer->recv(72))
            peer->send({static_cast<uint8_t>(5 + rng() % 200), 0, 0, 0});
        ASSERT_TRUE(log.wait_line("conn    : failed.", round));
    }
    EXPECT_EQ(rec.count("connected"), 0);
    EXPECT_FALSE(rec.bad);
    conn.reset();
}
