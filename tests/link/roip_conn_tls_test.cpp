// class_roip_conn over TLS: the transport choice by crypto mode, and the crypto
// request that depends on the server's firmware version.
#include "link/roip_conn.h"

#include "link_test_support.h"

#include <gtest/gtest.h>

using namespace linktest;
using namespace std::chrono_literals;

namespace
{

struct TlsLink {
    LogCapture log;
    Recorder rec;
    FakeServer srv{true};
    std::unique_ptr<class_roip_conn> conn;

    explicit TlsLink(int crypto)
    {
        conn = std::make_unique<class_roip_conn>(&rec, "127.0.0.1", srv.port(), "user", "qzv", 8000, crypto);
        conn->start();
        conn->go();
    }
    ~TlsLink() { conn.reset(); }
};

const Bytes crypto_request = {0xBE, 0xBA, 0xAD, 0xDE, 4, 0, 0, 0, 0xEB, 0x03, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0};
const Bytes setptt1 = {5, 0, 0, 0, 1, 0, 0, 0};

} // namespace

TEST(CryptoRequest, SentForFirmwareAboveOneTwentyTwo)
{
    TlsLink l(2);
    auto peer = accept_login(l.srv, version(1, 5, 2, 23));
    ASSERT_TRUE(peer);
    EXPECT_EQ(peer->recv(20), crypto_request);
    ASSERT_TRUE(l.rec.wait("connected"));

    Bytes key(32);
    for (size_t i = 0; i < key.size(); ++i)
        key[i] = static_cast<uint8_t>(0xC0 + i);
    Bytes payload = proto::build_crypto_key_payload(2, key.data(), 32);
    ASSERT_TRUE(peer->send(proto::build_ext(1004, payload.data(), payload.size())));
    auto k = l.rec.wait("crypto", 2);
    ASSERT_TRUE(k);
    EXPECT_EQ(k->a, 32);
    EXPECT_EQ(k->b, 2);
    EXPECT_EQ(k->data, key);
    EXPECT_TRUE(l.conn->is_logged_in());
}

TEST(CryptoRequest, LowFirmwareGivesUpTheConnection)
{
    TlsLink l(2);
    const std::string line = "conn : RoIP firmware version is too low for RTP encryption !";
    // 2.22: minor too low; 3.5: minor too low although the major is higher.
    int n = 0;
    for (auto v : {version(1, 5, 2, 22), version(1, 5, 3, 5)}) {
        ++n;
        auto peer = accept_login(l.srv, v);
        ASSERT_TRUE(peer);
        ASSERT_TRUE(l.log.wait_line(line, n));
        ASSERT_TRUE(l.log.wait_line("conn    : failed.", n));
        peer->close();
    }
    // 1.30: the major is too low.
    auto peer = accept_login(l.srv, version(1, 5, 1, 30));
    ASSERT_TRUE(peer);
    ASSERT_TRUE(l.log.wait_line(line, 3));
    EXPECT_EQ(l.rec.count("connected"), 0);
    // The null key still went out at each login, before the check.
    EXPECT_EQ(l.rec.count("crypto"), 3);
}

TEST(CryptoRequest, NotSentInModeOne)
{
    TlsLink l(1);
    auto peer = accept_login(l.srv, version(1, 5, 1, 0));
    ASSERT_TRUE(peer);
    ASSERT_TRUE(l.rec.wait("connected"));
    ASSERT_EQ(l.conn->setptt(1), 0);
    EXPECT_EQ(peer->recv(8), setptt1);
}

TEST(TlsLink, EventsAndResetsWorkOverTls)
{
    TlsLink l(1);
    auto peer = accept_login(l.srv);
    ASSERT_TRUE(peer);
    ASSERT_TRUE(l.rec.wait("connected"));
    ASSERT_TRUE(peer->send(proto::build_async_gpiochanged(3, 4)));
    auto g = l.rec.wait("gpiochanged");
    ASSERT_TRUE(g);
    EXPECT_EQ(g->a, 3);
    ASSERT_TRUE(peer->send({0xCC, 0, 0, 0}));
    ASSERT_TRUE(l.rec.wait("disconnected"));
    auto again = accept_login(l.srv);
    ASSERT_TRUE(again);
    EXPECT_TRUE(l.rec.wait("connected", 2));
    EXPECT_EQ(l.log.count("conn    : failed."), 0);
}

TEST(TlsLink, PlainServerFailsTheHandshakeAndRetries)
{
    LogCapture log;
    Recorder rec;
    FakeServer plain(false);
    auto conn = std::make_unique<class_roip_conn>(&rec, "127.0.0.1", plain.port(), "u", "p", 8000, 1);
    conn->start();
    conn->go();
    auto peer = plain.accept();
    ASSERT_TRUE(peer);
    peer->send(proto::build_version_info(version(1, 5)));
    peer->close();
    ASSERT_TRUE(log.wait_line("conn    : failed."));
    EXPECT_EQ(log.count("roip_conn : connected, logging in .."), 0);
    conn.reset();
}
