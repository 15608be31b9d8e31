// class_roip_conn against a scripted fake server on loopback: login sequence,
// event delivery, resets on malformed input, reconnect timing, senders.
#include "link/roip_conn.h"

#include "link_test_support.h"

#include <gtest/gtest.h>

using namespace linktest;
using namespace std::chrono_literals;

namespace
{

struct Link {
    LogCapture log;
    Recorder rec;
    FakeServer srv;
    std::unique_ptr<class_roip_conn> conn;

    explicit Link(const char *user = "user", const char *pass = "qzv", int crypto = 0, bool tls = false)
        : srv(tls)
    {
        conn = std::make_unique<class_roip_conn>(&rec, "127.0.0.1", srv.port(), user, pass, 8000, crypto);
    }
    ~Link()
    {
        conn.reset(); // before the capture and the server go
    }
    void start()
    {
        ASSERT_EQ(conn->start(), 0);
        conn->go();
    }
    // Index of the n-th (0-based) occurrence of a line, -1 if absent.
    int index_of(const std::string &line, int n = 0)
    {
        auto ls = log.lines();
        for (size_t i = 0; i < ls.size(); ++i)
            if (ls[i] == line && n-- == 0)
                return static_cast<int>(i);
        return -1;
    }
};

const Bytes setptt1 = {5, 0, 0, 0, 1, 0, 0, 0};

} // namespace

TEST(Login, SequenceDeliversVersionAndLoginResult)
{
    Link l;
    l.start();
    Bytes req;
    auto peer = accept_until_login_request(l.srv, version(1, 5, 2, 30), &req);
    ASSERT_TRUE(peer);
    Bytes expect = cat({{3, 0, 0, 0},
                        Bytes{'u', 's', 'e', 'r'},
                        Bytes(28, 0),
                        Bytes{'q', 'z', 'v'},
                        Bytes(29, 0),
                        {0, 0, 0, 0}});
    EXPECT_EQ(req, expect);
    EXPECT_FALSE(l.conn->is_logged_in());
    ASSERT_TRUE(peer->send(proto::build_login_result(login_result())));

    auto c = l.rec.wait("connected");
    ASSERT_TRUE(c);
    EXPECT_EQ(c->addr, inet_addr("127.0.0.1"));
    EXPECT_EQ(c->version.ver_proto, 0x00010005u);
    EXPECT_EQ(c->version.ver_fw, 0x0002001Eu);
    EXPECT_EQ(c->version.build, 4711u);
    EXPECT_EQ(c->login.priv_level, 1);
    EXPECT_EQ(c->login.voip_port, 8000);
    EXPECT_EQ(c->login.voip_sync_num, 40001);
    EXPECT_EQ(c->login.codec_type, 2);
    EXPECT_STREQ(c->login.device_name, "fake-site");
    EXPECT_TRUE(l.conn->is_logged_in());

    // Encryption is switched off at every login, before the link reports up.
    auto ev = l.rec.events();
    ASSERT_GE(ev.size(), 2u);
    EXPECT_EQ(ev[0].kind, "crypto");
    EXPECT_EQ(ev[0].a, 0);
    EXPECT_EQ(ev[0].b, 0);
    EXPECT_EQ(ev[0].c, 1); // null key
    EXPECT_EQ(ev[1].kind, "connected");

    ASSERT_TRUE(l.log.wait_line("Priv.level:\t1"));
    auto lines = l.log.lines();
    std::vector<std::string> want = {"conn    : connecting ..",
                                     "roip_conn : connected, logging in ..",
                                     "ver_proto:\t1:5",
                                     "ver_config:\t1:0",
                                     "ver_fw:\t\t2:30",
                                     "build:\t\t4711",
                                     "",
                                     "Priv.level:\t1",
                                     "Priv.gpiow:\t0",
                                     "Priv.rctl:\t1",
                                     "VoipPort:\t8000",
                                     "VoipSyncNum:\t40001",
                                     "CodecType:\t2",
                                     "DeviceName:\tfake-site",
                                     "rtype[0][1]\t0x11 0x22",
                                     ""};
    ASSERT_TRUE(l.log.wait_line("rtype[0][1]\t0x11 0x22"));
    lines = l.log.lines();
    auto it = std::search(lines.begin(), lines.end(), want.begin(), want.end());
    EXPECT_NE(it, lines.end()) << l.log.dump();
}

TEST(Login, FirstWordOfVersionInfoIsIgnored)
{
    Link l;
    l.start();
    auto peer = l.srv.accept();
    ASSERT_TRUE(peer);
    ASSERT_TRUE(peer->send(proto::build_version_info(version(1, 5), 0x12345678)));
    ASSERT_TRUE(peer->recv(72));
    ASSERT_TRUE(peer->send(proto::build_login_result(login_result())));
    EXPECT_TRUE(l.rec.wait("connected"));
}

TEST(Login, LongCredentialsAreCutAtThirtyTwoBytes)
{
    std::string user(40, 'u');
    std::string pass(32, 'p');
    Link l(user.c_str(), pass.c_str());
    l.start();
    Bytes req;
    auto peer = accept_until_login_request(l.srv, version(1, 5), &req);
    ASSERT_TRUE(peer);
    Bytes expect = cat({{3, 0, 0, 0}, Bytes(32, 'u'), Bytes(32, 'p'), {0, 0, 0, 0}});
    EXPECT_EQ(req, expect);
}

TEST(Login, DenyPausesThreeSecondsWithoutConnectedCallback)
{
    Link l;
    l.start();
    auto peer = accept_until_login_request(l.srv, version(1, 5));
    ASSERT_TRUE(peer);
    ASSERT_TRUE(peer->send(proto::build_deny(5)));
    auto denied = Clock::now();
    ASSERT_TRUE(l.log.wait_line("conn    : failed."));

    auto again = l.srv.accept();
    ASSERT_TRUE(again);
    EXPECT_GE(Clock::now() - denied, 2900ms);
    EXPECT_EQ(l.rec.count("connected"), 0);
    EXPECT_EQ(l.rec.count("disconnected"), 0);
    EXPECT_EQ(l.log.count("conn    : connecting .."), 2);

    // The retry logs in normally.
    ASSERT_TRUE(again->send(proto::build_version_info(version(1, 5))));
    ASSERT_TRUE(again->recv(72));
    ASSERT_TRUE(again->send(proto::build_login_result(login_result())));
    EXPECT_TRUE(l.rec.wait("connected"));
}

TEST(Login, WrongAnswerTypeFailsTheAttempt)
{
    Link l;
    l.start();
    auto peer = accept_until_login_request(l.srv, version(1, 5));
    ASSERT_TRUE(peer);
    ASSERT_TRUE(peer->send(proto::build_ack()));
    ASSERT_TRUE(l.log.wait_line("conn    : failed."));
    EXPECT_EQ(l.rec.count("connected"), 0);
}

TEST(Login, RefusedConnectRetriesAfterPause)
{
    Link l;
    int port = l.srv.port();
    l.srv.stop_listening();
    (void)port;
    l.start();
    ASSERT_TRUE(l.log.wait_line("conn    : connecting ..", 2));
    EXPECT_GE(l.index_of("conn    : failed."), 0);
    EXPECT_EQ(l.log.count("roip_conn : connected, logging in .."), 0);
    EXPECT_EQ(l.rec.events().size(), 0u);
}

TEST(BlockedList, NotSentBelowProtocolSix)
{
    for (auto v : {version(1, 5), version(0, 9)}) {
        Link l;
        l.start();
        auto peer = accept_login(l.srv, v);
        ASSERT_TRUE(peer);
        ASSERT_TRUE(l.rec.wait("connected"));
        // The first thing after the login is what the control sends.
        ASSERT_EQ(l.conn->setptt(1), 0);
        EXPECT_EQ(peer->recv(8), setptt1);
    }
}

TEST(BlockedList, MissingFileSendsNothingAtProtocolSix)
{
    if (access("/config/blocked.cfg", F_OK) == 0)
        GTEST_SKIP() << "this host has a /config/blocked.cfg";
    Link l;
    l.start();
    auto peer = accept_login(l.srv, version(1, 6));
    ASSERT_TRUE(peer);
    ASSERT_TRUE(l.rec.wait("connected"));
    EXPECT_EQ(l.log.count("conn : sbl : cannot open config file"), 1);
    ASSERT_EQ(l.conn->setptt(1), 0);
    EXPECT_EQ(peer->recv(8), setptt1);
}

TEST(Events, EveryTypeReachesTheListener)
{
    Link l;
    l.start();
    auto peer = accept_login(l.srv);
    ASSERT_TRUE(peer);
    ASSERT_TRUE(l.rec.wait("connected"));

    std::string longlogin(32, 'x');
    Bytes setptt = cat({{0xF5, 0x01, 0, 0, 1, 0, 0, 0}, Bytes(32, 'x')}); // no terminator
    Bytes serial = {0xCB, 0, 0, 0, 0, 3, 0, 0xA1, 0xA2, 0xA3};
    Bytes serial_empty = {0xCB, 0, 0, 0, 0, 0, 0};
    Bytes serial_ch5 = {0xCB, 0, 0, 0, 5, 1, 0, 0x7E};
    Bytes dm = proto::build_tunnel_ext(
        2003, proto::build_dm_status_payload(0xA0B0C0D0, 0x42, (const uint8_t *)"st", 2).data(), 11);
    Bytes dm_empty = cat({{0xCB, 0, 0, 0, 0xFF, 21, 0},
                          {9, 0, 0, 0, 0xD3, 0x07, 0, 0, 0, 0, 0, 0},
                          {1, 0, 0, 0, 0, 0, 0, 0, 9}});
    Bytes xml_ignored = proto::build_tunnel_ext(2103, proto::build_xml_text_payload(0, 0, "<x/>").data(), 16);
    Bytes key = cat({{0xBE, 0xBA, 0xAD, 0xDE, 44, 0, 0, 0, 0xEC, 0x03, 0, 0, 0, 0, 0, 0},
                     {1, 0, 0, 0, 0, 0, 0, 0, 16, 0, 0, 0},
                     Bytes(16, 0x5C),
                     Bytes(16, 0)});

    ASSERT_TRUE(peer->send(setptt));
    ASSERT_TRUE(peer->send({0xF6, 0x01, 0, 0, 0x00, 0x10, 0, 0, 0xFF, 0xFF, 0, 0}));
    ASSERT_TRUE(peer->send({0xF7, 0x01, 0, 0, 1, 0, 0, 0}));
    ASSERT_TRUE(peer->send({0xF8, 0x01, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 2, 0, 0, 0, 3, 0, 0, 0}));
    ASSERT_TRUE(peer->send(serial));
    ASSERT_TRUE(peer->send(serial_empty));
    ASSERT_TRUE(peer->send(serial_ch5));
    ASSERT_TRUE(peer->send(xml_ignored));
    ASSERT_TRUE(peer->send(dm));
    ASSERT_TRUE(peer->send(dm_empty));
    ASSERT_TRUE(peer->send(key));
    ASSERT_TRUE(peer->send({1, 0, 0, 0, 7, 0, 0, 0})); // DENY while logged in
    ASSERT_TRUE(peer->send({2, 0, 0, 0}));             // ACK

    ASSERT_TRUE(l.log.wait_line("conn    : received ACK"));
    auto s = l.rec.wait("setptt");
    ASSERT_TRUE(s);
    EXPECT_EQ(s->a, 1);
    EXPECT_EQ(s->text, std::string(31, 'x'));

    auto g = l.rec.wait("gpiochanged");
    ASSERT_TRUE(g);
    EXPECT_EQ(g->a, 0x1000);
    EXPECT_EQ(g->b, 0xFFFF);

    auto u = l.rec.wait("unlocksql");
    ASSERT_TRUE(u);
    EXPECT_EQ(u->a, 1);

    auto up = l.rec.wait("upgradestatus");
    ASSERT_TRUE(up);
    EXPECT_EQ(up->a, -1);
    EXPECT_EQ(up->b, 2);
    EXPECT_EQ(up->c, 3);

    auto s1 = l.rec.wait("serial", 1);
    auto s2 = l.rec.wait("serial", 2);
    auto s3 = l.rec.wait("serial", 3);
    ASSERT_TRUE(s1 && s2 && s3);
    EXPECT_EQ(s1->a, 0);
    EXPECT_EQ(s1->data, (Bytes{0xA1, 0xA2, 0xA3}));
    EXPECT_EQ(s1->c, 0);
    EXPECT_EQ(s2->b, 0);
    EXPECT_TRUE(s2->data.empty());
    EXPECT_EQ(s3->a, 5);
    EXPECT_EQ(s3->data, (Bytes{0x7E}));

    auto d1 = l.rec.wait("dm3000", 1);
    auto d2 = l.rec.wait("dm3000", 2);
    ASSERT_TRUE(d1 && d2);
    EXPECT_EQ(static_cast<uint32_t>(d1->a), 0xA0B0C0D0u);
    EXPECT_EQ(d1->b, 0x42);
    EXPECT_EQ(d1->c, 2);
    EXPECT_EQ(d1->data, (Bytes{'s', 't'}));
    EXPECT_EQ(d2->a, 1);
    EXPECT_EQ(d2->b, 9);
    EXPECT_EQ(d2->c, 0);

    auto k = l.rec.wait("crypto", 2);
    ASSERT_TRUE(k);
    EXPECT_EQ(k->a, 16);
    EXPECT_EQ(k->b, 1);
    EXPECT_EQ(k->data, Bytes(16, 0x5C));

    EXPECT_EQ(l.log.count("conn    : received DENY, reason 7"), 1);
    EXPECT_EQ(l.log.count("conn    : received packettype_extproto"), 1);
    // Nothing above ends the connection.
    EXPECT_EQ(l.rec.count("disconnected"), 0);
    EXPECT_TRUE(l.conn->is_logged_in());
    EXPECT_EQ(l.rec.count("unexpected"), 0);
}

TEST(Events, LargestTunnelIsDelivered)
{
    Link l;
    l.start();
    auto peer = accept_login(l.srv);
    ASSERT_TRUE(peer);
    ASSERT_TRUE(l.rec.wait("connected"));
    Bytes data(65535);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i * 7);
    ASSERT_TRUE(peer->send(proto::build_tunnel(203, 0, data.data(), data.size())));
    auto s = l.rec.wait("serial");
    ASSERT_TRUE(s);
    EXPECT_EQ(s->b, 65535);
    EXPECT_EQ(s->data, data);
}

// ---- Resets: each malformed message ends the connection, and the link
// reconnects at once (no pause, no "failed." line).

const Bytes ext_key_head = {0xBE, 0xBA, 0xAD, 0xDE, 44, 0, 0, 0, 0xEC, 0x03, 0, 0, 0, 0, 0, 0};

struct ResetCase {
    const char *name;
    Bytes msg;
    const char *line; // expected log line, or null
};

class Resets : public ::testing::TestWithParam<ResetCase>
{
};

TEST_P(Resets, EndTheConnectionAndReconnectAtOnce)
{
    const ResetCase &rc = GetParam();
    Link l;
    l.start();
    auto peer = accept_login(l.srv);
    ASSERT_TRUE(peer);
    ASSERT_TRUE(l.rec.wait("connected"));
    ASSERT_TRUE(peer->send(rc.msg));

    EXPECT_TRUE(peer->wait_closed());
    ASSERT_TRUE(l.rec.wait("disconnected"));
    EXPECT_FALSE(l.conn->is_logged_in());
    auto again = l.srv.accept();
    ASSERT_TRUE(again);
    ASSERT_TRUE(l.log.wait_line("conn    : connecting ..", 2));
    if (rc.line) {
        EXPECT_EQ(l.log.count(rc.line), 1) << l.log.dump();
    }
    EXPECT_EQ(l.log.count("conn    : failed."), 0) << l.log.dump();
    EXPECT_EQ(l.rec.count("disconnected"), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Malformed, Resets,
    ::testing::Values(
        ResetCase{"type204",
                  {0xCC, 0, 0, 0, 0, 1, 0, 0x55},
                  "conn    : received UNKNOWN, resetting connection to recover .."},
        ResetCase{"event505", {0xF9, 0x01, 0, 0}, "event   : unknown (505) !"},
        ResetCase{"type7", {7, 0, 0, 0}, "conn    : received UNKNOWN, resetting connection to recover .."},
        ResetCase{"versionAgain", proto::build_version_info(version(1, 5)),
                  "conn    : received UNKNOWN, resetting connection to recover .."},
        ResetCase{"keyLen33", cat({ext_key_head, {1, 0, 0, 0, 0, 0, 0, 0, 33, 0, 0, 0}, Bytes(32, 1)}),
                  "conn    : received packettype_extproto"},
        ResetCase{"keyMode0", cat({ext_key_head, {0, 0, 0, 0, 0, 0, 0, 0, 16, 0, 0, 0}, Bytes(32, 1)}),
                  "conn    : received packettype_extproto"},
        ResetCase{"keyLen40",
                  cat({{0xBE, 0xBA, 0xAD, 0xDE, 40, 0, 0, 0, 0xEC, 0x03, 0, 0, 0, 0, 0, 0},
                       {1, 0, 0, 0, 0, 0, 0, 0, 16, 0, 0, 0},
                       Bytes(28, 1)}),
                  nullptr},
        ResetCase{"extOtherReq", proto::build_ext(2104, Bytes(44, 0).data(), 44), nullptr},
        ResetCase{"tunnelExtShort", {0xCB, 0, 0, 0, 0xFF, 11, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, nullptr},
        ResetCase{
            "tunnelExtLenMismatch",
            cat({{0xCB, 0, 0, 0, 0xFF, 22, 0}, {9, 0, 0, 0, 0xD3, 0x07, 0, 0, 0, 0, 0, 0}, Bytes(10, 0)}),
            nullptr},
        ResetCase{"tunnelExtHugeLen",
                  cat({{0xCB, 0, 0, 0, 0xFF, 12, 0}, {0xF4, 0xFF, 0xFF, 0xFF, 0xD3, 0x07, 0, 0, 0, 0, 0, 0}}),
                  nullptr},
        ResetCase{
            "dmStatusLen8",
            cat({{0xCB, 0, 0, 0, 0xFF, 20, 0}, {8, 0, 0, 0, 0xD3, 0x07, 0, 0, 0, 0, 0, 0}, Bytes(8, 0)}),
            nullptr}),
    [](const ::testing::TestParamInfo<ResetCase> &i) { return std::string(i.param.name); });

// A truncated message ends the connection once the server closes its end (or
// after the 15 s receive time-out), and nothing of it is delivered.
TEST(Resets, TruncatedMessagesResetWhenServerCloses)
{
    const Bytes cases[] = {{0xCB, 0, 0, 0, 0, 0xFF, 0xFF, 1, 2, 3},
                           {0xCB, 0, 0, 0, 0xFF},
                           {0xF5, 0x01, 0, 0, 1, 0},
                           {0xF5, 0x01},
                           cat({ext_key_head, Bytes(20, 1)}),
                           {1, 0, 0}};
    Link l;
    l.start();
    int round = 0;
    for (const Bytes &msg : cases) {
        ++round;
        auto peer = accept_login(l.srv);
        ASSERT_TRUE(peer);
        ASSERT_TRUE(l.rec.wait("connected", round));
        ASSERT_TRUE(peer->send(msg));
        peer->close();
        ASSERT_TRUE(l.rec.wait("disconnected", round));
    }
    auto last = l.srv.accept(); // kept open: its login stays pending
    EXPECT_TRUE(last);
    EXPECT_EQ(l.rec.count("serial") + l.rec.count("setptt") + l.rec.count("crypto"), round);
    EXPECT_EQ(l.log.count("conn    : failed."), 0);
}

TEST(Reconnect, SilentServerTimesOutAfterFifteenSeconds)
{
    Link l;
    l.start();
    auto peer = accept_login(l.srv);
    ASSERT_TRUE(peer);
    ASSERT_TRUE(l.rec.wait("connected"));
    auto t0 = Clock::now();

    auto again = l.srv.accept(40s);
    ASSERT_TRUE(again);
    EXPECT_GE(Clock::now() - t0, 14s);
    EXPECT_EQ(l.rec.count("disconnected"), 1);
    ASSERT_TRUE(l.log.wait_line("conn    : connecting ..", 2));
    EXPECT_EQ(l.log.count("conn    : failed."), 0);
    int end = l.index_of("conn    : connecting ..", 1);
    EXPECT_GT(end, l.index_of("rtype[0][1]\t0x11 0x22"));
}

TEST(Reconnect, ServerClosingAfterLoginReconnectsAtOnce)
{
    Link l;
    l.start();
    for (int round = 1; round <= 3; ++round) {
        auto peer = accept_login(l.srv);
        ASSERT_TRUE(peer);
        ASSERT_TRUE(l.rec.wait("connected", round));
        peer->abort();
        ASSERT_TRUE(l.rec.wait("disconnected", round));
    }
    auto last = l.srv.accept(); // kept open: its login stays pending
    EXPECT_TRUE(last);
    EXPECT_EQ(l.log.count("conn    : failed."), 0);
}

// ---- Senders ----

TEST(Senders, BeforeLoginReturnMinusOneAndWriteNothing)
{
    Link l;
    uint8_t f[64] = {};
    EXPECT_EQ(l.conn->setptt(1), -1); // never connected
    l.start();
    auto peer = l.srv.accept();
    ASSERT_TRUE(peer);
    ASSERT_TRUE(l.log.wait_line("roip_conn : connected, logging in .."));
    EXPECT_EQ(l.conn->setptt(1), -1);
    EXPECT_EQ(l.conn->unlocksql(1), -1);
    EXPECT_EQ(l.conn->send_short(108, 0), -1);
    EXPECT_EQ(l.conn->serial_senddata(0, f, 3, 0), -1);
    EXPECT_EQ(l.conn->send_front_state(1), -1);
    EXPECT_EQ(l.conn->send_front_frames(f, f, 3, 0), -1);
    EXPECT_EQ(l.conn->send_dm_button(1, 2, 3), -1);
    EXPECT_EQ(l.conn->send_dm_status_request(), -1);
    EXPECT_EQ(l.log.count("conn    : setptt(1)"), 2);
    // The first bytes the server sees are the login request.
    ASSERT_TRUE(peer->send(proto::build_version_info(version(1, 5))));
    auto req = peer->recv(72);
    ASSERT_TRUE(req);
    EXPECT_EQ((*req)[0], 3);
    EXPECT_EQ((*req)[4], 'u');
}

TEST(Senders, MessagesWhileLoggedIn)
{
    Link l;
    l.start();
    auto peer = accept_login(l.srv);
    ASSERT_TRUE(peer);
    ASSERT_TRUE(l.rec.wait("connected"));

    EXPECT_EQ(l.conn->setptt(1), 0);
    EXPECT_EQ(peer->recv(8), setptt1);
    EXPECT_EQ(l.conn->setptt(0), 0);
    EXPECT_EQ(peer->recv(8), (Bytes{5, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(l.log.count("conn    : setptt(1)"), 1);
    EXPECT_EQ(l.log.count("conn    : setptt(0)"), 1);

    EXPECT_EQ(l.conn->unlocksql(3), 0);
    EXPECT_EQ(peer->recv(8), (Bytes{16, 0, 0, 0, 3, 0, 0, 0}));
    EXPECT_EQ(l.conn->send_short(108, 0xA1B2C3D4), 0);
    EXPECT_EQ(peer->recv(8), (Bytes{108, 0, 0, 0, 0xD4, 0xC3, 0xB2, 0xA1}));

    const uint8_t d[] = {9, 8, 7};
    EXPECT_EQ(l.conn->serial_senddata(0, d, 3, 0), 0);
    EXPECT_EQ(peer->recv(10), (Bytes{0xCB, 0, 0, 0, 0, 3, 0, 9, 8, 7}));
    EXPECT_EQ(l.conn->serial_senddata(2, d, 1, 1), 0);
    EXPECT_EQ(peer->recv(8), (Bytes{0xCC, 0, 0, 0, 2, 1, 0, 9}));
    EXPECT_EQ(l.conn->serial_senddata(0, nullptr, 0, 0), 0);
    EXPECT_EQ(peer->recv(7), (Bytes{0xCB, 0, 0, 0, 0, 0, 0}));

    EXPECT_EQ(l.conn->send_front_state(0x42), 0);
    EXPECT_EQ(peer->recv(5), (Bytes{205, 0, 0, 0, 0x42}));

    uint8_t f1[64], f2[64];
    std::memset(f1, 0xA5, sizeof f1);
    std::memset(f2, 0x5A, sizeof f2);
    EXPECT_EQ(l.conn->send_front_frames(f1, f2, 65, 1), -1);
    EXPECT_EQ(l.conn->send_front_frames(f1, f2, -1, 1), -1);
    EXPECT_EQ(l.conn->send_front_frames(f1, f2, 2, 0x01020304), 0);
    EXPECT_EQ(peer->recv(144), cat({{207, 0, 0, 0},
                                    {0xA5, 0xA5},
                                    Bytes(62, 0),
                                    {0x5A, 0x5A},
                                    Bytes(62, 0),
                                    {2, 0, 0, 0, 2, 0, 0, 0, 4, 3, 2, 1}}));

    EXPECT_EQ(l.conn->send_dm_button(0x10, 0x20, 7), 0);
    EXPECT_EQ(peer->recv(22), (Bytes{0xBE, 0xBA, 0xAD, 0xDE, 6, 0,    0,    0, 0xD2, 0x07, 0,
                                     0,    0,    0,    0,    0, 0x10, 0x20, 7, 0,    0,    0}));
    EXPECT_EQ(l.conn->send_dm_status_request(), 0);
    EXPECT_EQ(peer->recv(16), (Bytes{0xBE, 0xBA, 0xAD, 0xDE, 0, 0, 0, 0, 0xD1, 0x07, 0, 0, 0, 0, 0, 0}));
}

TEST(Senders, ManyThreadsNeverInterleave)
{
    Link l;
    l.start();
    auto peer = accept_login(l.srv);
    ASSERT_TRUE(peer);
    ASSERT_TRUE(l.rec.wait("connected"));

    constexpr int per_thread = 200;
    std::vector<std::thread> ts;
    for (int t = 0; t < 4; ++t)
        ts.emplace_back([&, t] {
            std::vector<uint8_t> d(100, static_cast<uint8_t>(t));
            for (int i = 0; i < per_thread; ++i)
                l.conn->serial_senddata(static_cast<uint8_t>(t), d.data(), 100, 0);
        });
    for (int i = 0; i < 4 * per_thread; ++i) {
        auto m = peer->recv(107);
        ASSERT_TRUE(m);
        uint8_t ch = (*m)[4];
        ASSERT_LT(ch, 4);
        ASSERT_EQ((*m)[5], 100);
        for (int k = 7; k < 107; ++k)
            ASSERT_EQ((*m)[k], ch);
    }
    for (auto &t : ts)
        t.join();
}

TEST(Senders, AfterTheConnectionEndsReturnMinusOne)
{
    Link l;
    l.start();
    auto peer = accept_login(l.srv);
    ASSERT_TRUE(peer);
    ASSERT_TRUE(l.rec.wait("connected"));
    peer->close();
    ASSERT_TRUE(l.rec.wait("disconnected"));
    EXPECT_EQ(l.conn->setptt(1), -1);
}

// ---- Lifetime ----

TEST(Lifetime, DestroyedAtTheGateWithoutCallbacks)
{
    Recorder rec;
    {
        class_roip_conn c(&rec, "127.0.0.1", 1, "u", "p", 8000, 0);
        ASSERT_EQ(c.start(), 0);
        EXPECT_EQ(c.start(), -1);
    }
    EXPECT_TRUE(rec.events().empty());
}

TEST(Lifetime, DestroyedWhileLoggedInJoinsWithoutDisconnectCallback)
{
    Link l;
    l.start();
    auto peer = accept_login(l.srv);
    ASSERT_TRUE(peer);
    ASSERT_TRUE(l.rec.wait("connected"));
    l.conn.reset();
    EXPECT_TRUE(peer->wait_closed());
    EXPECT_EQ(l.rec.count("disconnected"), 0);
}

TEST(Lifetime, DestroyedDuringLoginAndDuringPause)
{
    {
        Link l;
        l.start();
        auto peer = l.srv.accept();
        ASSERT_TRUE(peer);
        ASSERT_TRUE(l.log.wait_line("roip_conn : connected, logging in .."));
        l.conn.reset(); // pending read of the version info
    }
    {
        Link l;
        l.srv.stop_listening();
        l.start();
        ASSERT_TRUE(l.log.wait_line("conn    : failed."));
        l.conn.reset(); // inside the 3 s pause
    }
}

TEST(Lifetime, KeepsWhatTheOwnerPassed)
{
    class_roip_conn c(nullptr, "127.0.0.1", 5555, "u", "p", 8000, 0);
    EXPECT_EQ(c.server_port(), 5555);
    EXPECT_EQ(c.voice_port(), 8000);
    EXPECT_FALSE(c.is_logged_in());
}

TEST(Lifetime, NullListenerIsAllowed)
{
    FakeServer srv;
    class_roip_conn c(nullptr, "127.0.0.1", srv.port(), "u", "p", 8000, 0);
    ASSERT_EQ(c.start(), 0);
    c.go();
    auto peer = accept_login(srv);
    ASSERT_TRUE(peer);
    ASSERT_TRUE(peer->send(proto::build_async_unlocksql(1)));
    ASSERT_TRUE(peer->send({0xCB, 0, 0, 0, 0, 1, 0, 1}));
    // Wait for the link to be up, then prove it still is after the events.
    auto deadline = Clock::now() + generous;
    while (!c.is_logged_in() && Clock::now() < deadline)
        std::this_thread::sleep_for(10ms);
    ASSERT_TRUE(c.is_logged_in());
    ASSERT_EQ(c.setptt(1), 0);
    EXPECT_EQ(peer->recv(8), setptt1);
}
