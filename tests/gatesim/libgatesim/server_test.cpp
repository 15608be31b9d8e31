// The emulator's TCP side through the public interface, driven by raw sockets
// so that requests a correct gateway never sends can be tried as well.
#include "gatesim/libgatesim_net.h"
#include "tests/gatesim/libgatesim/sim_fixture.h"

#include <chrono>
#include <cstring>
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

using namespace simtest;

namespace
{

const Bytes ack = le32(2);
Bytes deny(int reason)
{
    return cat({le32(1), le32(static_cast<uint32_t>(reason))});
}

class Server : public SimFixture
{
  protected:
    void SetUp() override { start(); }
};

using Login = Server;
using Requests = Server;
using Extended = Server;
using Events = Server;
using FrontTraffic = Server;

// ---- Start-up ----

TEST(Init, FailsWithoutTheLoginCallback)
{
    auto sim = libgatesim::create();
    sim->set_cb_info_ver([](libgatesim::s_info_ver &) { return 0; });
    EXPECT_EQ(sim->init("127.0.0.1", free_port(SOCK_STREAM), 4, 0), -1);
}

TEST(Init, FailsWithoutTheVersionCallback)
{
    auto sim = libgatesim::create();
    sim->set_cb_login_req([](libgatesim::s_login_req &, const std::string &, const std::string &,
                             const std::string &) { return 0; });
    EXPECT_EQ(sim->init("127.0.0.1", free_port(SOCK_STREAM), 4, 0), -1);
}

TEST_F(Server, ASecondInitIsRefused)
{
    EXPECT_EQ(sim->init("127.0.0.1", free_port(SOCK_STREAM), 4, 0), -1);
    Gateway g = connect(); // the first one still serves
}

TEST_F(Server, InitOnAPortInUseFails)
{
    auto other = libgatesim::create();
    other->set_cb_info_ver([](libgatesim::s_info_ver &) { return 0; });
    other->set_cb_login_req([](libgatesim::s_login_req &, const std::string &, const std::string &,
                               const std::string &) { return 0; });
    EXPECT_EQ(other->init("127.0.0.1", tcp_port, 4, 0), -1);
}

TEST_F(Server, SendsVersionInfoFirst)
{
    Gateway g = connect(); // checks the 20 bytes
    EXPECT_TRUE(g.quiet());
}

TEST_F(Server, DestroyingTheEmulatorClosesEveryConnection)
{
    Gateway a = logged_in();
    Gateway b = connect();
    sim.reset();
    EXPECT_TRUE(closed_by_peer(a.tcp.get()));
    EXPECT_TRUE(closed_by_peer(b.tcp.get()));
}

// ---- Login ----

TEST_F(Login, AcceptedLoginReturnsTheResultRecord)
{
    Gateway g = connect();
    ASSERT_TRUE(g.send(login_request("user", "qzv")));
    ASSERT_EQ(g.read_word(), 4u);
    Bytes res = g.read(120);
    ASSERT_EQ(res.size(), 120u);
    Bytes expected(120, 0);
    bytes::put_le32(&expected[0], 1);                                    // Priv.level
    bytes::put_le32(&expected[4], 0);                                    // Priv.gpiow
    bytes::put_le32(&expected[8], 1);                                    // Priv.rctl
    bytes::put_le32(&expected[12], static_cast<uint32_t>(rtp_port));     // VoipPort
    bytes::put_le32(&expected[16], static_cast<uint32_t>(g.tcp_port())); // VoipSyncNum
    bytes::put_le32(&expected[20], 1);                                   // CodecType
    std::string name = "gatesim-test";
    std::copy(name.begin(), name.end(), expected.begin() + 24);
    expected[88] = 0x02;
    expected[89] = 0x01;
    expected[90] = 0x04;
    expected[91] = 0x03;
    EXPECT_EQ(res, expected);
}

TEST_F(Login, TheHostSeesUserAndPeerAddress)
{
    Gateway g = logged_in();
    std::lock_guard<std::mutex> l(lock);
    ASSERT_EQ(login_users.size(), 1u);
    EXPECT_EQ(login_users[0], "user");
    EXPECT_EQ(login_peers[0], "127.0.0.1");
}

TEST_F(Login, RefusalPassesTheHostsReasonAndKeepsTheConnection)
{
    Gateway g = connect();
    ASSERT_TRUE(g.send(login_request("user", "wrong")));
    EXPECT_EQ(g.read(8), deny(7));
    EXPECT_EQ(login(g).size(), 120u);
}

TEST_F(Login, AThirtyTwoCharacterNameIsCutToThirtyOne)
{
    Gateway g = connect();
    std::string name(32, 'n');
    ASSERT_EQ(login(g, name, "long").size(), 120u);
    std::lock_guard<std::mutex> l(lock);
    EXPECT_EQ(login_users.back(), std::string(31, 'n'));
}

TEST_F(Login, ALongDeviceNameIsCutTo63Characters)
{
    sim.reset();
    make_sim();
    sim->set_cb_login_req(
        [](libgatesim::s_login_req &r, const std::string &, const std::string &, const std::string &) {
            r.priv_level = 1;
            r.codec_type = 3;
            r.rtype0 = r.rtype1 = 0;
            r.device_name = std::string(100, 'd');
            return 0;
        });
    start();
    Gateway g = connect();
    Bytes res = login(g);
    ASSERT_EQ(res.size(), 120u);
    EXPECT_EQ(std::string(res.begin() + 24, res.begin() + 87), std::string(63, 'd'));
    EXPECT_EQ(res[87], 0);
    EXPECT_EQ(bytes::get_le32(&res[20]), 3u);
}

TEST_F(Login, ATruncatedLoginRequestEndsTheConnection)
{
    Gateway g = connect();
    Bytes req = login_request("user", "qzv");
    req.resize(40);
    ASSERT_TRUE(g.send(req));
    ::shutdown(g.tcp.get(), SHUT_WR);
    EXPECT_TRUE(closed_by_peer(g.tcp.get()));
    std::lock_guard<std::mutex> l(lock);
    EXPECT_TRUE(login_users.empty());
}

class NoRtp : public SimFixture
{
  protected:
    void SetUp() override { start(4, false); }
};

TEST_F(NoRtp, LoginsReportVoipPortZero)
{
    Gateway g = connect();
    Bytes res = login(g);
    ASSERT_EQ(res.size(), 120u);
    EXPECT_EQ(bytes::get_le32(&res[12]), 0u);
    Bytes probe(160, 0);
    EXPECT_EQ(sim->rtp_send(probe.data(), 160, 8), -1);
}

// ---- Short requests before and after login ----

TEST_F(Requests, UnlockSquelchIsRefusedAsNoPrivilegeThenUnsupported)
{
    Gateway g = connect();
    ASSERT_TRUE(g.send(proto::build_unlocksql(1)));
    EXPECT_EQ(g.read(8), deny(1));
    ASSERT_EQ(login(g).size(), 120u);
    ASSERT_TRUE(g.send(proto::build_unlocksql(1)));
    EXPECT_EQ(g.read(8), deny(2));
}

TEST_F(Requests, GpioGetAnswersStateZeroOnlyAfterLogin)
{
    Gateway g = connect();
    ASSERT_TRUE(g.send(le32(102)));
    EXPECT_EQ(g.read(8), deny(1));
    ASSERT_EQ(login(g).size(), 120u);
    ASSERT_TRUE(g.send(le32(102)));
    EXPECT_EQ(g.read(8), cat({le32(103), le32(0)}));
}

TEST_F(Requests, GpioStateRequestIsAcknowledgedOnlyAfterLogin)
{
    Gateway g = connect();
    ASSERT_TRUE(g.send(le32(108)));
    EXPECT_EQ(g.read(8), deny(1));
    ASSERT_EQ(login(g).size(), 120u);
    ASSERT_TRUE(g.send(le32(108)));
    EXPECT_EQ(g.read(4), ack);
    EXPECT_TRUE(g.quiet());
}

TEST_F(Requests, LevelZeroLoginIsRefusedControlRequests)
{
    Gateway g = logged_in("viewer", "v");
    ASSERT_TRUE(g.send(le32(108)));
    EXPECT_EQ(g.read(8), deny(1));
    ASSERT_TRUE(g.send(proto::build_setptt(1)));
    EXPECT_EQ(g.read(8), deny(1));
}

TEST_F(Requests, UnknownTypeWordsCloseTheConnection)
{
    for (uint32_t type : {6u, 17u, 203u, 204u, 501u, 0xDEADBABFu, 0xFFFFFFFFu}) {
        Gateway g = logged_in();
        ASSERT_TRUE(g.send(le32(type)));
        EXPECT_TRUE(closed_by_peer(g.tcp.get())) << type;
    }
}

TEST_F(Requests, GarbageBeforeLoginClosesTheConnection)
{
    Gateway g = connect();
    ASSERT_TRUE(g.send({'G', 'E', 'T', ' ', '/', ' ', 'H', 'T', 'T', 'P'}));
    EXPECT_TRUE(closed_by_peer(g.tcp.get()));
}

TEST_F(Requests, ATruncatedTypeWordIsNoRequest)
{
    Gateway g = connect();
    ASSERT_TRUE(g.send({108, 0}));
    EXPECT_TRUE(g.quiet());
    ::shutdown(g.tcp.get(), SHUT_WR);
    EXPECT_TRUE(closed_by_peer(g.tcp.get()));
}

// ---- PTT ----

TEST_F(Requests, PttBeforeLoginIsRefused)
{
    Gateway g = connect();
    ASSERT_TRUE(g.send(proto::build_setptt(1)));
    EXPECT_EQ(g.read(8), deny(1));
}

TEST_F(Requests, PttWithoutAHandlerIsRefusedWithThree)
{
    Gateway g = logged_in();
    ASSERT_TRUE(g.send(proto::build_setptt(1)));
    EXPECT_EQ(g.read(8), deny(3));
}

class Ptt : public SimFixture
{
  protected:
    void before_init() override
    {
        sim->set_cb_set_ptt([this](int ptt) {
            ptts.push_back(ptt);
            return ptt_result.load();
        });
    }
    void SetUp() override { start(); }
    std::vector<int> ptts;
    std::atomic<int> ptt_result{0};
};

TEST_F(Ptt, AHandlerRefusalIsPassedOn)
{
    ptt_result = 9;
    Gateway g = logged_in();
    ASSERT_TRUE(g.send(proto::build_setptt(1)));
    EXPECT_EQ(g.read(8), deny(9));
}

TEST_F(Ptt, AcceptedPttIsBroadcastToEveryGatewayTheKeyerIncluded)
{
    Gateway keyer = logged_in();
    Gateway other = logged_in();
    Gateway fresh = connect();
    ASSERT_TRUE(keyer.send(proto::build_setptt(1)));
    Bytes event = proto::build_async_setptt(1, "user");
    ASSERT_EQ(event.size(), 40u);
    // The keyer gets the ACK and the event, in either order.
    Bytes got = keyer.read(44);
    Bytes ack_first = cat({ack, event}), event_first = cat({event, ack});
    EXPECT_TRUE(got == ack_first || got == event_first);
    EXPECT_EQ(other.read(40), event);
    EXPECT_TRUE(fresh.quiet());
    EXPECT_EQ(ptts, std::vector<int>{1});

    ASSERT_TRUE(keyer.send(proto::build_setptt(0)));
    EXPECT_EQ(other.read(40), proto::build_async_setptt(0, "user"));
}

// ---- Extended requests ----

class Xml : public SimFixture
{
  protected:
    void before_init() override
    {
        sim->set_cb_xml_action([this](unsigned &a, unsigned &b, const std::string &text) {
            texts.push_back(text);
            a += 100;
            b = 0xBEEF;
            return action_result.load();
        });
        sim->set_cb_xml_status_req([this] {
            status_requests++;
            return 0;
        });
    }
    void SetUp() override { start(); }
    std::vector<std::string> texts;
    std::atomic<int> action_result{0};
    std::atomic<int> status_requests{0};
};

TEST_F(Xml, ActionIsAnsweredWithTheChangedAAndB)
{
    Gateway g = logged_in();
    Bytes payload = proto::build_xml_text_payload(5, 6, "<Do/>");
    ASSERT_TRUE(g.send(proto::build_ext(2102, payload.data(), payload.size())));
    Bytes expected = cat({le32(0xDEADBABE), le32(12), le32(2104), le32(0), le32(105), le32(0xBEEF), le32(0)});
    EXPECT_EQ(g.read(28), expected);
    EXPECT_EQ(texts, std::vector<std::string>{"<Do/>"});
}

TEST_F(Xml, ActionRefusedByTheHostIsDenied)
{
    action_result = 5;
    Gateway g = logged_in();
    Bytes payload = proto::build_xml_text_payload(5, 6, "<Do/>");
    ASSERT_TRUE(g.send(proto::build_ext(2102, payload.data(), payload.size())));
    EXPECT_EQ(g.read(8), deny(5));
}

TEST_F(Xml, ActionWithAMismatchedLengthClosesTheConnection)
{
    Gateway g = logged_in();
    Bytes payload = proto::build_xml_text_payload(5, 6, "<Do/>");
    payload.push_back('x'); // len = n + 13
    ASSERT_TRUE(g.send(proto::build_ext(2102, payload.data(), payload.size())));
    EXPECT_TRUE(closed_by_peer(g.tcp.get()));
}

TEST_F(Xml, ActionShorterThanItsHeaderClosesTheConnection)
{
    Gateway g = logged_in();
    Bytes payload(8, 0);
    ASSERT_TRUE(g.send(proto::build_ext(2102, payload.data(), payload.size())));
    EXPECT_TRUE(closed_by_peer(g.tcp.get()));
}

TEST_F(Xml, StatusRequestCallsTheHostAndSendsNothing)
{
    Gateway g = logged_in();
    ASSERT_TRUE(g.send(proto::build_ext(2101, nullptr, 0)));
    ASSERT_TRUE(wait_until([&] { return status_requests.load() == 1; }));
    ASSERT_TRUE(g.send(le32(108)));
    EXPECT_EQ(g.read(4), ack);
}

TEST_F(Extended, ActionWithoutAHandlerIsUnsupported)
{
    Gateway g = logged_in();
    Bytes payload = proto::build_xml_text_payload(1, 2, "x");
    ASSERT_TRUE(g.send(proto::build_ext(2102, payload.data(), payload.size())));
    EXPECT_EQ(g.read(8), deny(2));
}

TEST_F(Extended, BeforeLoginOnlyDisableAsyncIsServed)
{
    Gateway g = connect();
    Bytes payload = proto::build_xml_text_payload(1, 2, "x");
    ASSERT_TRUE(g.send(proto::build_ext(2102, payload.data(), payload.size())));
    EXPECT_EQ(g.read(8), deny(1));
    ASSERT_TRUE(g.send(proto::build_ext(1002, nullptr, 0)));
    EXPECT_EQ(g.read(4), ack);
}

TEST_F(Extended, PolarStatusRequestSendsNothing)
{
    Gateway g = logged_in();
    ASSERT_TRUE(g.send(proto::build_ext(2031, nullptr, 0)));
    ASSERT_TRUE(g.send(le32(108)));
    EXPECT_EQ(g.read(4), ack);
}

TEST_F(Extended, UnknownExtendedTypesAreUnsupported)
{
    Gateway g = logged_in();
    for (uint32_t req : {1001u, 1003u, 2001u, 2002u, 9999u}) {
        Bytes payload(6, 0x11);
        ASSERT_TRUE(g.send(proto::build_ext(req, payload.data(), payload.size())));
        EXPECT_EQ(g.read(8), deny(2)) << req;
    }
}

TEST_F(Extended, APayloadOfOneMebibyteIsRead)
{
    Gateway g = logged_in();
    ASSERT_TRUE(g.send(proto::build_ext_header(9999, 1048576)));
    ASSERT_TRUE(g.send(Bytes(1048576, 0x5A)));
    EXPECT_EQ(g.read(8), deny(2));
    ASSERT_TRUE(g.send(le32(108)));
    EXPECT_EQ(g.read(4), ack);
}

TEST_F(Extended, APayloadLongerThanOneMebibyteDropsTheConnection)
{
    Gateway g = logged_in();
    ASSERT_TRUE(g.send(proto::build_ext_header(9999, 1048577)));
    EXPECT_TRUE(closed_by_peer(g.tcp.get()));
}

TEST_F(Extended, ATruncatedPayloadEndsTheConnection)
{
    Gateway g = logged_in();
    ASSERT_TRUE(g.send(proto::build_ext_header(2102, 100)));
    ASSERT_TRUE(g.send(Bytes(50, 0)));
    ::shutdown(g.tcp.get(), SHUT_WR);
    EXPECT_TRUE(closed_by_peer(g.tcp.get()));
}

TEST_F(Extended, ATruncatedHeaderEndsTheConnection)
{
    Gateway g = logged_in();
    ASSERT_TRUE(g.send(cat({le32(0xDEADBABE), le32(4)})));
    ::shutdown(g.tcp.get(), SHUT_WR);
    EXPECT_TRUE(closed_by_peer(g.tcp.get()));
}

// ---- Asynchronous events ----

TEST_F(Events, ReachOnlyLoggedInGatewaysWithEventsOn)
{
    Gateway on = logged_in();
    Gateway fresh = connect();
    Gateway off = logged_in();
    ASSERT_TRUE(off.send(proto::build_ext(1002, nullptr, 0)));
    ASSERT_EQ(off.read(4), ack);
    Gateway early_off = connect();
    ASSERT_TRUE(early_off.send(proto::build_ext(1002, nullptr, 0)));
    ASSERT_EQ(early_off.read(4), ack);
    ASSERT_EQ(login(early_off).size(), 120u);

    EXPECT_EQ(sim->async_unlock_sql(1), 0);
    EXPECT_EQ(on.read(8), cat({le32(503), le32(1)}));
    EXPECT_TRUE(fresh.quiet());
    EXPECT_TRUE(off.quiet(0));
    EXPECT_TRUE(early_off.quiet(0));
}

TEST_F(Events, GpioChanged)
{
    Gateway g = logged_in();
    EXPECT_EQ(sim->async_gpio_changed(0x1000, 0x3000), 0);
    EXPECT_EQ(g.read(12), cat({le32(502), le32(0x1000), le32(0x3000)}));
}

TEST_F(Events, RawExtendedMessageIsTunnelled)
{
    Gateway g = logged_in();
    const unsigned char status[9] = {1, 0, 0, 0, 9, 9, 9, 9, 0x42};
    EXPECT_EQ(sim->async_ext_raw(2003, status, 9), 0);
    Bytes expected = {0xCB, 0, 0, 0, 0xFF, 21, 0};
    expected = cat({expected, le32(9), le32(2003), le32(0), Bytes(status, status + 9)});
    EXPECT_EQ(g.read(28), expected);
}

TEST_F(Events, XmlStatusIsTunnelledAs2103)
{
    Gateway g = logged_in();
    EXPECT_EQ(sim->async_ext_xml_status("<S/>"), 0);
    Bytes expected = {0xCB, 0, 0, 0, 0xFF, 28, 0};
    expected =
        cat({expected, le32(16), le32(2103), le32(0), le32(0), le32(0), le32(4), {'<', 'S', '/', '>'}});
    EXPECT_EQ(g.read(35), expected);
}

TEST_F(Events, PolarStatusPadsShortNamesWithSpaces)
{
    Gateway g = logged_in();
    EXPECT_EQ(sim->async_polar_status("AB", "status-text-long", 7, 8), 0);
    Bytes expected = {0xCB, 0, 0, 0, 0xFF, 36, 0};
    expected = cat({expected,
                    le32(24),
                    le32(2033),
                    le32(0),
                    {'A', 'B', ' ', ' ', ' ', ' ', ' ', ' '},
                    {'s', 't', 'a', 't', 'u', 's', '-', 't'},
                    le32(7),
                    le32(8)});
    EXPECT_EQ(g.read(43), expected);
}

TEST_F(Events, SerialDataGoesOutOnItsChannel)
{
    Gateway g = logged_in();
    const unsigned char frame[5] = {0x10, 0x20, 0x30, 0x40, 0x50};
    EXPECT_EQ(sim->async_serial_data(0, frame, 5), 0);
    EXPECT_EQ(g.read(12), (Bytes{0xCB, 0, 0, 0, 0x00, 5, 0, 0x10, 0x20, 0x30, 0x40, 0x50}));
    EXPECT_EQ(sim->async_serial_data(3, frame, 1), 0);
    EXPECT_EQ(g.read(8), (Bytes{0xCB, 0, 0, 0, 0x03, 1, 0, 0x10}));
}

TEST_F(Events, MessagesThatDoNotFitTheTunnelAreRefused)
{
    Gateway g = logged_in();
    std::vector<unsigned char> big(65536, 0);
    EXPECT_EQ(sim->async_ext_raw(2003, big.data(), 65524), -1);
    EXPECT_EQ(sim->async_ext_xml_status(std::string(65512, 'x')), -1);
    EXPECT_EQ(sim->async_serial_data(0, big.data(), 65536), -1);
    EXPECT_EQ(sim->async_serial_data(256, big.data(), 1), -1);
    EXPECT_EQ(sim->async_ext_raw(2003, nullptr, 4), -1);
    EXPECT_EQ(sim->async_ext_raw(2003, big.data(), -1), -1);
    EXPECT_TRUE(g.quiet());
    EXPECT_EQ(sim->async_ext_xml_status(std::string(65511, 'x')), 0);
    Bytes head = g.read(7);
    EXPECT_EQ(head, (Bytes{0xCB, 0, 0, 0, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(g.read(65535).size(), 65535u);
}

TEST_F(Events, UrgentEventsStayWholeUnderLoad)
{
    Gateway g = logged_in();
    for (int i = 0; i < 20; i++) {
        sim->async_gpio_changed(static_cast<unsigned>(i), 0xFFFF);
        sim->async_unlock_sql(i);
    }
    // Every message arrives whole, whichever order the queue chose.
    int gpio = 0, sql = 0;
    for (int i = 0; i < 40; i++) {
        uint32_t type = g.read_word();
        if (type == 502) {
            g.read(8);
            gpio++;
        } else if (type == 503) {
            g.read(4);
            sql++;
        } else {
            FAIL() << "unexpected type " << type;
        }
    }
    EXPECT_EQ(gpio, 20);
    EXPECT_EQ(sql, 20);
}

// ---- GM360 head traffic ----

class Front : public SimFixture
{
  protected:
    void before_init() override
    {
        sim->set_cb_front([this](unsigned type, const unsigned char *body, int len) {
            std::lock_guard<std::mutex> g(lock);
            fronts.emplace_back(type, Bytes(body, body + len));
            return 0;
        });
    }
    void SetUp() override { start(); }
    std::vector<std::pair<unsigned, Bytes>> fronts;
};

TEST_F(Front, StateByteAndKeyFramesReachTheHostUnanswered)
{
    Gateway g = logged_in();
    ASSERT_TRUE(g.send(proto::build_front_state(3)));
    uint8_t f1[64] = {0xA1, 0xA2}, f2[64] = {0xB1, 0xB2};
    Bytes keys = proto::build_front_frames(f1, f2, 2, 1);
    ASSERT_EQ(keys.size(), 144u);
    ASSERT_TRUE(g.send(keys));
    ASSERT_TRUE(g.send(le32(108)));
    EXPECT_EQ(g.read(4), ack); // nothing was answered before the ACK
    std::lock_guard<std::mutex> l(lock);
    ASSERT_EQ(fronts.size(), 2u);
    EXPECT_EQ(fronts[0].first, 205u);
    EXPECT_EQ(fronts[0].second, Bytes{3});
    EXPECT_EQ(fronts[1].first, 207u);
    EXPECT_EQ(fronts[1].second, Bytes(keys.begin() + 4, keys.end()));
}

TEST_F(Front, HeadTrafficBeforeLoginIsReadAndDropped)
{
    Gateway g = connect();
    ASSERT_TRUE(g.send(proto::build_front_state(1)));
    ASSERT_TRUE(g.send(le32(108)));
    EXPECT_EQ(g.read(8), deny(1));
    std::lock_guard<std::mutex> l(lock);
    EXPECT_TRUE(fronts.empty());
}

TEST_F(FrontTraffic, WithoutAHandlerTheConnectionStaysUp)
{
    Gateway g = logged_in();
    ASSERT_TRUE(g.send(proto::build_front_state(1)));
    ASSERT_TRUE(g.send(le32(108)));
    EXPECT_EQ(g.read(4), ack);
}

// ---- Client limit ----

class ClientLimit : public SimFixture
{
  protected:
    void SetUp() override { start(1); }
};

TEST_F(ClientLimit, OneRefusesTheSecondConnection)
{
    Gateway a = logged_in();
    Fd b = tcp_connect(tcp_port);
    EXPECT_TRUE(closed_by_peer(b.get()));
    ASSERT_TRUE(a.send(le32(108)));
    EXPECT_EQ(a.read(4), ack);
}

// ---- Blocked list ----

class BlockedList : public SimFixture
{
  protected:
    void before_init() override
    {
        sim->set_cb_blocked_list([this](const std::string &user, const std::vector<std::string> &names) {
            std::lock_guard<std::mutex> g(lock);
            uploads.push_back({user, names});
            return 0;
        });
    }
    void SetUp() override { start(); }

    static Bytes items(const std::vector<std::string> &names)
    {
        Bytes all;
        for (const std::string &n : names) {
            Bytes it(36, 0);
            it[0] = 0xAB;
            std::memcpy(it.data() + 4, n.data(), n.size() < 32 ? n.size() : 32);
            all.insert(all.end(), it.begin(), it.end());
        }
        return all;
    }
    std::vector<std::pair<std::string, std::vector<std::string>>> uploads;
};

// What a gateway sends right after its login at protocol 1.6: the emulator
// acknowledges it (the gateway gives up its login otherwise) and hands the
// names to the host.
TEST_F(BlockedList, UploadIsAcknowledgedAndReachesTheHost)
{
    const std::string full(32, 'x'); // no terminator in its field
    for (const char *user : {"user", "viewer"}) {
        Gateway g = logged_in(user, std::string(user) == "user" ? "qzv" : "v");
        Bytes list = items({"alice", "", full});
        ASSERT_TRUE(g.send(proto::build_ext(1001, list.data(), list.size())));
        EXPECT_EQ(g.read(4), ack) << user;
    }
    std::lock_guard<std::mutex> g(lock);
    ASSERT_EQ(uploads.size(), 2u);
    EXPECT_EQ(uploads[0].first, "user");
    EXPECT_EQ(uploads[1].first, "viewer");
    EXPECT_EQ(uploads[0].second, (std::vector<std::string>{"alice", "", full}));
}

TEST_F(BlockedList, BadUploadsAreRefused)
{
    Gateway before = connect();
    Bytes one = items({"alice"});
    ASSERT_TRUE(before.send(proto::build_ext(1001, one.data(), one.size())));
    EXPECT_EQ(before.read(8), deny(1)) << "not logged in";

    Gateway g = logged_in();
    Bytes odd(40, 0);
    ASSERT_TRUE(g.send(proto::build_ext(1001, odd.data(), odd.size())));
    EXPECT_EQ(g.read(8), deny(2));
    Bytes too_many = items(std::vector<std::string>(129, "bob"));
    ASSERT_TRUE(g.send(proto::build_ext(1001, too_many.data(), too_many.size())));
    EXPECT_EQ(g.read(8), deny(2));
    // The connection goes on.
    ASSERT_TRUE(g.send(le32(108)));
    EXPECT_EQ(g.read(4), ack);
    std::lock_guard<std::mutex> l(lock);
    EXPECT_TRUE(uploads.empty());
}

// 0 is the only limit that closes the server; a limit that is never reached,
// like a negative one, is no limit.
class NegativeLimit : public SimFixture
{
  protected:
    void SetUp() override { start(-1); }
};

TEST_F(NegativeLimit, ServesEveryConnection)
{
    Gateway a = logged_in();
    Gateway b = logged_in();
    Gateway c = connect(); // its version info arrived: it is served
    for (Gateway *g : {&a, &b}) {
        ASSERT_TRUE(g->send(le32(108)));
        EXPECT_EQ(g->read(4), ack);
    }
}

class LimitTwo : public SimFixture
{
  protected:
    void SetUp() override { start(2); }
};

// A connection that has not logged in within 15 s loses its slot; a gateway
// that logged in keeps its connection.
TEST_F(LimitTwo, ConnectionsThatDoNotLogInAreClosedAfterFifteenSeconds)
{
    const auto start = std::chrono::steady_clock::now();
    Gateway a = logged_in();
    Gateway idle = connect();
    EXPECT_TRUE(closed_by_peer(idle.tcp.get(), 25000));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::seconds(14));
    ASSERT_TRUE(a.send(le32(108)));
    EXPECT_EQ(a.read(4), ack) << "a logged-in gateway was cut";
    // The slot is free again, as soon as the closed connection's thread has
    // left.
    Gateway b;
    ASSERT_TRUE(wait_until([&] {
        b.tcp = tcp_connect(tcp_port);
        return b.read(20, 1000) == version_info_bytes();
    }));
    EXPECT_EQ(login(b).size(), 120u);
    ASSERT_TRUE(b.send(le32(108)));
    EXPECT_EQ(b.read(4), ack);
}

// ---- Debug output ----

TEST_F(Server, DebugLinesDescribeTheLogin)
{
    sim->set_dbg(true);
    testing::internal::CaptureStdout();
    Gateway g = logged_in();
    ASSERT_TRUE(g.send(le32(16)));
    ASSERT_TRUE(g.send(le32(1)));
    ASSERT_EQ(g.read(8), deny(2));
    std::string out = testing::internal::GetCapturedStdout();
    sim->set_dbg(false);
    EXPECT_NE(out.find("gatesim: tcp_process()\n"), std::string::npos) << out;
    EXPECT_NE(out.find("gatesim: packettype_loginreq\n"), std::string::npos);
    EXPECT_NE(out.find("gatesim: packettype_loginreq: user: [user], fixedport: " +
                       std::to_string(g.tcp_port()) + ", syncnum: 0\n"),
              std::string::npos);
    EXPECT_NE(out.find("roip: rtp: user_add(127.0.0.1, s:" + std::to_string(g.tcp_port()) + ", f:0)\n"),
              std::string::npos);
    EXPECT_NE(out.find("gatesim: packettype_unlocksql (not impl.)\n"), std::string::npos);
}

TEST_F(Server, NoDebugLinesByDefault)
{
    testing::internal::CaptureStdout();
    Gateway g = logged_in();
    sim->async_unlock_sql(0);
    g.read(8);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

// ---- Threads ----

// The calling thread's stack, and how much of it lies below the deepest point
// the thread has reached so far: stack pages become resident only when used.
struct StackRoom {
    size_t size = 0;
    size_t unused = 0;
};

StackRoom stack_room()
{
    StackRoom r;
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0)
        return r;
    void *low = nullptr;
    size_t size = 0;
    int got = pthread_attr_getstack(&attr, &low, &size);
    pthread_attr_destroy(&attr);
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    std::vector<unsigned char> resident((size + page - 1) / page);
    if (got != 0 || mincore(low, size, resident.data()) != 0)
        return r;
    size_t untouched = 0;
    while (untouched < resident.size() && (resident[untouched] & 1) == 0)
        untouched++;
    r.size = size;
    r.unused = untouched * page;
    return r;
}

// Gives back the pages of the calling thread's stack below the current frame
// (less a margin), so that what is resident afterwards is what was used from
// here on: a stack the C library reuses from an ended thread, or one a
// sanitizer's runtime has touched, arrives with pages already resident.
void forget_stack_below_here()
{
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0)
        return;
    void *low = nullptr;
    size_t size = 0;
    int got = pthread_attr_getstack(&attr, &low, &size);
    pthread_attr_destroy(&attr);
    const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    const uintptr_t bottom = reinterpret_cast<uintptr_t>(low);
    const uintptr_t top = (reinterpret_cast<uintptr_t>(__builtin_frame_address(0)) - 16 * 1024) & ~(page - 1);
    if (got == 0 && top > bottom)
        madvise(low, top - bottom, MADV_DONTNEED);
}

TEST_F(Server, AGatewaysThreadServesAWholeDialogueFarFromTheEndOfItsStack)
{
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "ThreadSanitizer's runtime makes most of a thread's stack resident during the "
                    "dialogue, so residency does not show the library's own use";
#endif
    std::atomic<size_t> size{0}, unused{0};
    // Taken last, on the gateway's thread, after every other kind of request.
    sim->set_cb_set_ptt([&](int) {
        StackRoom r = stack_room();
        size = r.size;
        unused = r.unused;
        return 0;
    });
    // From the XML action on, on the gateway's thread.
    sim->set_cb_xml_action([](unsigned &, unsigned &, const std::string &) {
        forget_stack_below_here();
        return 0;
    });
    // The debug lines are printed on the same thread.
    sim->set_dbg(true);
    testing::internal::CaptureStdout();
    Gateway g = logged_in();
    ASSERT_TRUE(g.send(proto::build_unlocksql(1)));
    ASSERT_EQ(g.read(8), deny(2));
    ASSERT_TRUE(g.send(proto::build_gpio_get()));
    ASSERT_EQ(g.read(8), cat({le32(103), le32(0)}));
    Bytes payload = proto::build_xml_text_payload(5, 6, std::string(4000, 'x'));
    ASSERT_TRUE(g.send(proto::build_ext(2102, payload.data(), payload.size())));
    ASSERT_EQ(g.read(28).size(), 28u);
    ASSERT_TRUE(g.send(proto::build_ext(2031, nullptr, 0)));
    ASSERT_TRUE(g.send(proto::build_ext(9999, nullptr, 0)));
    ASSERT_EQ(g.read(8), deny(2));
    // Events through the connection's writer thread.
    EXPECT_EQ(sim->async_ext_xml_status(std::string(3000, 'y')), 0);
    EXPECT_EQ(g.read(3031).size(), 3031u);
    ASSERT_TRUE(g.send(proto::build_setptt(1)));
    EXPECT_EQ(g.read(44).size(), 44u);
    testing::internal::GetCapturedStdout();
    sim->set_dbg(false);

    ASSERT_GT(size.load(), 0u);
    RecordProperty("stack_kib", static_cast<int>(size.load() / 1024));
    RecordProperty("unused_kib", static_cast<int>(unused.load() / 1024));
    // At least half of the stack the library asks for is still unused.
    EXPECT_GE(unused.load(), tcpkit::TcpServer::client_stack_size / 2)
        << "stack " << size.load() / 1024 << " KiB, " << unused.load() / 1024 << " KiB never used";
}

} // namespace
