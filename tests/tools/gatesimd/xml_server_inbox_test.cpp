// The site's XML side with scripted gateways speaking the XML frames on
// loopback, beside binary gateways of the same libgatesim. The whole program
// runs inside a box.
#include "tests/gatesim/libgatesim/sim_fixture.h"
#include "tests/isolated_box.h"
#include "tests/no_leak_check_in_boxes.h"
#include "tools/gatesimd/xml_commands.h"
#include "tools/gatesimd/xml_docs.h"
#include "tools/gatesimd/xml_server.h"
#include "wire/xml_frame.h"

#include <cstdlib>
#include <cstring>
#include <map>
#include <pugixml.hpp>

using namespace simtest;

namespace
{

// A received document: its element name and attributes (of the element, and
// of its children as "Child.attr").
struct Doc {
    std::string text, name;
    std::map<std::string, std::string> a;
    bool closed = false;
};

Doc parse(const std::string &text)
{
    Doc d;
    d.text = text;
    pugi::xml_document doc;
    if (!doc.load_string(text.c_str()))
        return d;
    pugi::xml_node root = doc.document_element();
    d.name = root.name();
    for (pugi::xml_attribute at : root.attributes())
        d.a[at.name()] = at.value();
    for (pugi::xml_node ch : root.children())
        for (pugi::xml_attribute at : ch.attributes())
            d.a[std::string(ch.name()) + "." + at.name()] = at.value();
    return d;
}

struct XmlGateway {
    Fd tcp, udp;
    uint32_t syncnum = 0;

    bool send_raw(const std::string &bytes) const
    {
        return send_all(tcp.get(), Bytes(bytes.begin(), bytes.end()));
    }
    bool send(const std::string &doc) const { return send_raw(xml_frame::encode(doc)); }
    // The next document; keep-alives are skipped unless asked for.
    Doc next(bool keepalives = false, int ms = timeout_ms) const
    {
        for (;;) {
            Bytes h = read_n(tcp.get(), xml_frame::header_size, ms);
            if (h.size() != xml_frame::header_size) {
                Doc d;
                d.closed = true;
                return d;
            }
            uint32_t len = xml_frame::decode_length(h.data());
            Bytes t = read_n(tcp.get(), len, ms);
            Doc d = parse(std::string(t.begin(), t.end()));
            if (keepalives || d.name != "KeepAliveEv")
                return d;
        }
    }
};

const char users_text[] = "a pa 1 alaw\n"
                          "b pb 2 gsm console-b rckd\n"
                          "ear pe 0 speex\n";

class XmlSite : public SimFixture
{
  protected:
    void before_init() override
    {
        sim->set_cb_set_ptt([](int) { return 0; });
    }
    void SetUp() override
    {
        std::string why;
        ASSERT_TRUE(inside_isolated_box(why)) << why;
        std::string err;
        ASSERT_TRUE(UserTable::parse(users_text, users, err)) << err;
        start();
        XmlSiteConfig cfg;
        cfg.bind = "127.0.0.1";
        cfg.port = 0;
        cfg.rtp_port = rtp_port;
        cfg.radio_name = "north-radio";
        xml = std::make_unique<XmlServer>(*sim, users, cfg);
        ASSERT_TRUE(xml->start(err)) << err;
    }
    void TearDown() override
    {
        if (xml)
            xml->stop();
        xml.reset();
        SimFixture::TearDown();
    }

    XmlGateway xml_connect()
    {
        XmlGateway g;
        g.tcp = tcp_connect(xml->port());
        g.udp = udp_socket();
        EXPECT_GE(g.tcp.get(), 0);
        return g;
    }

    XmlGateway xml_login(const std::string &user, const std::string &pw, Doc *resp = nullptr)
    {
        XmlGateway g = xml_connect();
        EXPECT_TRUE(g.send("<LoginReq><Credentials user=\"" + user + "\" passwd=\"" + pw +
                           "\" tag=\"pulpit-" + user + "\" /><Rtp port=\"8000\" sm=\"1\" /></LoginReq>"));
        Doc d = g.next();
        EXPECT_EQ(d.name, "LoginPosResp") << d.text;
        g.syncnum = static_cast<uint32_t>(std::strtoul(d.a["Rtp.syncnum"].c_str(), nullptr, 10));
        if (resp)
            *resp = d;
        return g;
    }

    // Waits until every gateway of the XML side has handled what was sent
    // before (the state lists the counters).
    bool handled(const std::string &user, uint64_t docs_in)
    {
        return wait_until([&] {
            for (const auto &g : xml->gateways())
                if (g.user == user && g.counters.docs_in >= docs_in)
                    return true;
            return false;
        });
    }

    UserTable users;
    std::unique_ptr<XmlServer> xml;
};

TEST_F(XmlSite, LoginAnswersWithTheRelayPortAUniqueSyncnumAndTheUsersDevice)
{
    Doc ra, rb;
    XmlGateway a = xml_login("a", "pa", &ra);
    XmlGateway b = xml_login("b", "pb", &rb);
    EXPECT_EQ(ra.a["Rtp.port"], std::to_string(rtp_port));
    EXPECT_EQ(ra.a["Rtp.sm"], "1");
    EXPECT_EQ(ra.a["Rtp.codec"], "alaw");
    EXPECT_EQ(ra.a["Info.devname"], "a");
    EXPECT_EQ(ra.a["Info.encrypt"], "no");
    EXPECT_EQ(rb.a["Rtp.codec"], "gsm");
    EXPECT_EQ(rb.a["Info.devname"], "console-b");
    EXPECT_EQ(rb.a["Info.encrypt"], "rckd");
    EXPECT_NE(a.syncnum, b.syncnum);
    EXPECT_GT(a.syncnum, 65535u); // never a binary gateway's key
    // The document exactly as the gateways parse it.
    EXPECT_EQ(ra.text, "<LoginPosResp><Rtp port=\"" + std::to_string(rtp_port) + "\" sm=\"1\" syncnum=\"" +
                           std::to_string(a.syncnum) +
                           "\" codec=\"alaw\"/><Info devname=\"a\" encrypt=\"no\"/></LoginPosResp>");
    ASSERT_EQ(xml->gateways().size(), 2u);
}

TEST_F(XmlSite, BadCredentialsAreRefusedAndTheConnectionClosed)
{
    for (const char *login :
         {"<LoginReq><Credentials user=\"a\" passwd=\"wrong\" /></LoginReq>",
          "<LoginReq><Credentials user=\"nobody\" passwd=\"pa\" /></LoginReq>", "<LoginReq />"}) {
        XmlGateway g = xml_connect();
        ASSERT_TRUE(g.send(login));
        Doc d = g.next();
        EXPECT_EQ(d.text, "<NegResp req=\"LoginReq\"/>") << login;
        // Anything after the refusal is not served.
        ASSERT_TRUE(g.send("<GpioStateReq />"));
        EXPECT_TRUE(closed_by_peer(g.tcp.get())) << login;
    }
    EXPECT_TRUE(xml->gateways().empty());
}

TEST_F(XmlSite, RequestsBeforeLoginAreRefusedAndTheConnectionStays)
{
    XmlGateway g = xml_connect();
    ASSERT_TRUE(g.send("<GpioStateReq />"));
    EXPECT_EQ(g.next().text, "<NegResp req=\"GpioStateReq\"/>");
    ASSERT_TRUE(g.send("<SetPttReq ptt=\"1\"/>"));
    EXPECT_EQ(g.next().text, "<NegResp req=\"SetPttReq\"/>");
    ASSERT_TRUE(g.send("<LoginReq><Credentials user=\"a\" passwd=\"pa\" /></LoginReq>"));
    EXPECT_EQ(g.next().name, "LoginPosResp");
}

// One talker slot for the whole site, whichever protocol keys it.
TEST_F(XmlSite, TheTalkerSlotIsSharedWithTheBinaryGateways)
{
    XmlGateway a = xml_login("a", "pa"), b = xml_login("b", "pb");
    Gateway g = logged_in("user", "qzv");
    auto expect_ev = [](const XmlGateway &x, const char *ptt, const char *user) {
        Doc d = x.next();
        EXPECT_EQ(d.name, "SetPttEv") << d.text;
        EXPECT_EQ(d.a["ptt"], ptt);
        EXPECT_EQ(d.a["login_roip"], "north-radio");
        EXPECT_EQ(d.a["login_local"], user);
    };

    ASSERT_TRUE(a.send("<SetPttReq ptt=\"1\"/>"));
    expect_ev(a, "1", "a"); // the keyer hears it too
    expect_ev(b, "1", "a");
    EXPECT_EQ(g.read(40), proto::build_async_setptt(1, "a"));

    ASSERT_TRUE(b.send("<SetPttReq ptt=\"1\"/>"));
    EXPECT_EQ(b.next().text, "<NegResp req=\"SetPttReq\"/>");
    ASSERT_TRUE(b.send("<SetPttReq ptt=\"0\"/>")); // b does not talk
    EXPECT_EQ(b.next().text, "<NegResp req=\"SetPttReq\"/>");
    ASSERT_TRUE(g.send(proto::build_setptt(1)));
    EXPECT_EQ(g.read(8), cat({le32(1), le32(4)})); // DENY 4: a member talks
    EXPECT_EQ(xml->talker(), "a");

    ASSERT_TRUE(a.send("<SetPttReq ptt=\"0\"/>"));
    expect_ev(a, "0", "a");
    expect_ev(b, "0", "a");
    EXPECT_EQ(g.read(40), proto::build_async_setptt(0, "a"));

    // A binary gateway takes and frees the slot: the XML gateways hear it.
    ASSERT_TRUE(g.send(proto::build_setptt(1)));
    EXPECT_EQ(g.read(44).size(), 44u); // ACK and its 501
    expect_ev(a, "1", "user");
    expect_ev(b, "1", "user");
    ASSERT_TRUE(a.send("<SetPttReq ptt=\"1\"/>"));
    EXPECT_EQ(a.next().text, "<NegResp req=\"SetPttReq\"/>");
    ASSERT_TRUE(g.send(proto::build_setptt(0)));
    EXPECT_EQ(g.read(44).size(), 44u);
    expect_ev(a, "0", "user");
    expect_ev(b, "0", "user");

    // A talker that goes away frees the slot for the others.
    ASSERT_TRUE(b.send("<SetPttReq ptt=\"1\"/>"));
    expect_ev(a, "1", "b");
    b.tcp.reset();
    expect_ev(a, "0", "b");
    ASSERT_TRUE(a.send("<SetPttReq ptt=\"1\"/>"));
    expect_ev(a, "1", "a");

    // A listener may not key.
    XmlGateway e = xml_login("ear", "pe");
    ASSERT_TRUE(e.send("<SetPttReq ptt=\"1\"/>"));
    EXPECT_EQ(e.next().text, "<NegResp req=\"SetPttReq\"/>");
}

TEST_F(XmlSite, VoiceIsRelayedBetweenXmlAndBinaryGatewaysAfterTheirHellos)
{
    XmlGateway x = xml_login("a", "pa");
    Gateway g = logged_in("user", "qzv");
    ASSERT_TRUE(send_datagram(x.udp.get(), rtp_port, hello(static_cast<int>(x.syncnum))));
    sync_all({&g}, 2); // the host's probe reaches both once both are synced
    drain(g);
    while (!recv_datagram(x.udp.get(), 0).empty()) {
    }

    ASSERT_TRUE(x.send("<SetPttReq ptt=\"1\"/>"));
    ASSERT_EQ(x.next().name, "SetPttEv");
    Bytes from_xml = voice(0x11, 7);
    ASSERT_TRUE(send_datagram(x.udp.get(), rtp_port, from_xml));
    EXPECT_EQ(recv_datagram(g.udp.get()), from_xml);
    ASSERT_TRUE(x.send("<SetPttReq ptt=\"0\"/>"));
    ASSERT_EQ(x.next().name, "SetPttEv");

    ASSERT_TRUE(g.send(proto::build_setptt(1)));
    ASSERT_EQ(g.read(44).size(), 44u);
    ASSERT_EQ(x.next().name, "SetPttEv");
    Bytes from_binary = voice(0x22, 9);
    ASSERT_TRUE(send_datagram(g.udp.get(), rtp_port, from_binary));
    EXPECT_EQ(recv_datagram(x.udp.get()), from_binary);
}

TEST_F(XmlSite, GpioWordAndLoggedRequestsAreAnswered)
{
    XmlGateway g = xml_login("a", "pa");
    struct Step {
        std::string send, answer;
    } steps[] = {
        {"<GpioStateReq />", "<GpioChangedEv bitmap=\"0x0\" mask=\"0xFFFFFFFF\"/>"},
        {"<GpioSetReq bitmap=\"4104\" />", "<PosResp req=\"GpioSetReq\"/>"},
        {"<GpioStateReq />", "<GpioChangedEv bitmap=\"0x1008\" mask=\"0xFFFFFFFF\"/>"},
        {"<GpioClrReq bitmap=\"8\" />", "<PosResp req=\"GpioClrReq\"/>"},
        {"<GpioStateReq />", "<GpioChangedEv bitmap=\"0x1000\" mask=\"0xFFFFFFFF\"/>"},
        {"<GpioSetReq bitmap=\"0x8\" />", "<NegResp req=\"GpioSetReq\"/>"}, // decimal only
        {"<GpioSetReq />", "<NegResp req=\"GpioSetReq\"/>"},
        {"<XCMPStatusReq />", "<PosResp req=\"XCMPStatusReq\"/>"},
        {"<XCMPAction><Button id=\"5\" state=\"1\" type=\"0\" /></XCMPAction>",
         "<PosResp req=\"XCMPAction\"/>"},
        {"<TAction><PttSelMode mode=\"hw\" /></TAction>", "<PosResp req=\"TAction\"/>"},
        {"<NXAction><PttSelMode mode=\"hw\" /></NXAction>", "<PosResp req=\"NXAction\"/>"},
        {"<XE><SerialDisp d=\"AQID/w==\" denc=\"b64\" /></XE>", "<PosResp req=\"XE\"/>"},
        {"<XE><SerialDisp d=\"AQID\" denc=\"hex\" /></XE>", "<NegResp req=\"XE\"/>"},
        {"<XE />", "<NegResp req=\"XE\"/>"},
        {"<Teleport to=\"mars\" />", "<NegResp req=\"Teleport\"/>"},
    };
    for (const Step &s : steps) {
        ASSERT_TRUE(g.send(s.send));
        EXPECT_EQ(g.next().text, s.answer) << s.send;
    }
    EXPECT_EQ(xml->gpio_word(), 0x1000u);
    ASSERT_EQ(xml->gateways().size(), 1u);
    XmlServer::Counters k = xml->gateways()[0].counters;
    EXPECT_EQ(k.gpio_requests, 7u);
    EXPECT_EQ(k.actions, 4u);
    EXPECT_EQ(k.serial_disps, 1u);
    EXPECT_EQ(k.refused, 5u);

    // A listener may ask but not change.
    XmlGateway e = xml_login("ear", "pe");
    ASSERT_TRUE(e.send("<GpioSetReq bitmap=\"1\" />"));
    EXPECT_EQ(e.next().text, "<NegResp req=\"GpioSetReq\"/>");
    ASSERT_TRUE(e.send("<GpioStateReq />"));
    EXPECT_EQ(e.next().text, "<GpioChangedEv bitmap=\"0x1000\" mask=\"0xFFFFFFFF\"/>");
}

TEST_F(XmlSite, KeepAlivesEveryFiveSecondsAndASilentGatewayIsDropped)
{
    XmlGateway quiet = xml_login("a", "pa");
    XmlGateway chatty = xml_login("b", "pb");
    // The chatty one answers each keep-alive as the gateways do; the quiet one
    // sends nothing after its login and is dropped 15 s later.
    uint32_t last_seq = 0;
    auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < 4; i++) {
        Doc d = chatty.next(true, 8000);
        ASSERT_EQ(d.name, "KeepAliveEv") << d.text;
        EXPECT_EQ(d.a["site"], "north-radio");
        uint32_t seq = static_cast<uint32_t>(std::stoul(d.a["seq"]));
        EXPECT_EQ(seq, last_seq + 1);
        last_seq = seq;
        // The link's keep-alive test needs a blank after the name.
        EXPECT_EQ(d.text.rfind("<KeepAliveEv ", 0), 0u);
        ASSERT_TRUE(chatty.send("<KeepaliveReq />"));
    }
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::seconds(15));
    EXPECT_TRUE(closed_by_peer(quiet.tcp.get(), 5000));
    ASSERT_TRUE(handled("b", 5)); // the login and four answers
    ASSERT_EQ(xml->gateways().size(), 1u);
    EXPECT_EQ(xml->gateways()[0].user, "b");
    EXPECT_EQ(xml->gateways()[0].counters.keepalives_in, 4u);
}

TEST_F(XmlSite, BadInputEndsAtMostTheOffendingConnection)
{
    XmlGateway g = xml_login("a", "pa");
    // Not XML, empty, deeply nested, binary junk: counted, answered with
    // nothing, the connection stays.
    std::string nested;
    for (int i = 0; i < 2000; i++)
        nested += "<n>";
    std::string junk;
    for (int i = 0; i < 3000; i++)
        junk.push_back(static_cast<char>((i * 131) & 0xFF));
    for (const std::string &doc : {std::string("not xml at all"), std::string(), nested, junk,
                                   std::string("<a><b></a>"), std::string(8191, '<')}) {
        ASSERT_TRUE(g.send(doc));
    }
    ASSERT_TRUE(g.send("<GpioStateReq />"));
    EXPECT_EQ(g.next().name, "GpioChangedEv");
    EXPECT_EQ(xml->gateways()[0].counters.bad, 6u);

    // A frame announcing more than 8191 bytes ends the connection.
    XmlGateway big = xml_login("b", "pb");
    uint8_t head[xml_frame::header_size];
    xml_frame::encode_header(8192, head);
    ASSERT_TRUE(big.send_raw(std::string(reinterpret_cast<char *>(head), sizeof head)));
    EXPECT_TRUE(closed_by_peer(big.tcp.get()));

    // A truncated frame followed by a close, and a frame of exactly 8191.
    {
        XmlGateway t = xml_connect();
        xml_frame::encode_header(100, head);
        ASSERT_TRUE(t.send_raw(std::string(reinterpret_cast<char *>(head), sizeof head) + "<Log"));
    }
    const std::string open = "<GpioStateReq pad=\"", close = "\" />";
    std::string full = open + std::string(8191 - open.size() - close.size(), 'x') + close;
    ASSERT_EQ(full.size(), 8191u);
    ASSERT_TRUE(g.send(full));
    EXPECT_EQ(g.next().name, "GpioChangedEv");

    // The site still serves.
    XmlGateway fresh = xml_login("b", "pb");
    EXPECT_EQ(xml->gateways().size(), 2u);

    // Connections beyond the maximum are closed at once.
    XmlSiteConfig cfg;
    cfg.bind = "127.0.0.1";
    cfg.port = 0;
    cfg.max_clients = 1;
    XmlServer small(*sim, users, cfg);
    std::string err;
    ASSERT_TRUE(small.start(err)) << err;
    Fd first = tcp_connect(small.port());
    ASSERT_TRUE(wait_until([&] {
        Fd probe = tcp_connect(small.port());
        return closed_by_peer(probe.get(), 1000);
    }));
    EXPECT_FALSE(closed_by_peer(first.get(), 200));
    small.stop();
}

TEST_F(XmlSite, OperatorCommandsReachTheXmlGateways)
{
    XmlGateway g = xml_login("a", "pa");
    XmlCommands ext(*xml);
    CommandInterpreter commands(*sim, &ext);
    bool quit = false;

    EXPECT_EQ(commands.execute("sql 1", quit), "ok");
    EXPECT_EQ(g.next().text, "<UnlockSqlEv sql=\"1\"/>");
    EXPECT_EQ(commands.execute("gpio 0x1000 0x1000", quit), "ok");
    EXPECT_EQ(g.next().text, "<GpioChangedEv bitmap=\"0x1000\" mask=\"0x1000\"/>");
    EXPECT_EQ(xml->gpio_word(), 0x1000u);

    struct Case {
        const char *line, *event, *denc;
    } cases[] = {
        {"disp XCMPEvent b64 01 02 03 ff", "XCMPEvent", "b64"},
        {"disp XCMPEvent b64z 01 02 03 ff", "XCMPEvent", "b64z"},
        {"disp TEvent b64 01 02 03 ff", "TEvent", "b64"},
        {"disp NXEvent b64 01 02 03 ff", "NXEvent", "b64"},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(commands.execute(c.line, quit), "ok: 1 xml gateways") << c.line;
        Doc d = g.next();
        EXPECT_EQ(d.name, c.event) << d.text;
        EXPECT_EQ(d.a["SerialDisp.denc"], c.denc);
        std::vector<uint8_t> bytes;
        ASSERT_TRUE(xml_docs::decode_serial_disp(c.denc, d.a["SerialDisp.d"], bytes)) << d.text;
        EXPECT_EQ(bytes, (std::vector<uint8_t>{1, 2, 3, 0xFF}));
    }
    EXPECT_EQ(commands.execute("xmlraw <Custom x=\"1\"/>", quit), "ok: 1 xml gateways");
    EXPECT_EQ(g.next().text, "<Custom x=\"1\"/>");

    for (const char *bad : {"disp TEvent b64z 01", "disp XEvent b64 01", "disp XCMPEvent b64 zz",
                            "dispfile XCMPEvent b64 /nonexistent", "xmlraw", "xmlrawfile /nonexistent"})
        EXPECT_EQ(commands.execute(bad, quit).rfind("error: ", 0), 0u) << bad;

    std::string state = commands.execute("state", quit);
    EXPECT_NE(state.find("xml site north-radio"), std::string::npos) << state;
    EXPECT_NE(state.find("gpio 0x1000"), std::string::npos) << state;
    EXPECT_NE(state.find("[a] 127.0.0.1:"), std::string::npos) << state;
    EXPECT_NE(state.find("out 8,"), std::string::npos) << state; // login, sql, gpio, 4 disp, raw
    EXPECT_EQ(state.substr(state.size() - 2), "ok");
    std::string help = commands.execute("help", quit);
    EXPECT_NE(help.find("disp EVENT ENC HEX"), std::string::npos);
}

} // namespace
