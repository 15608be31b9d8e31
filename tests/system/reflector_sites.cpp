// Two sites joined over the real svxreflector: each site a box with gatesimd
// and a GM360 gateway, the reflector in a box of its own, all on one isolated
// site network. Tones cross both ways at their frequency, the reflector's own
// log shows the nodes and the talkers, a gateway keyed while the reflector has
// a talker is refused, both sites join again after the reflector restarts, and
// a wrong key is refused with a clear line. A real SvxLink node joins too:
// its voice reaches a gateway and a gateway's voice reaches its transmitter.
#include "tests/system/reflector_site.h"

#include <gtest/gtest.h>

using namespace refsite;

namespace
{

constexpr ms kLogin{60000};
constexpr ms kEvent{20000};

struct Net {
    Dir dir;
    std::string site = "rfs" + std::to_string(::getpid());
    Site a{dir, {site, "172.16.0.189", "SITEA", key, "127.0.0.1", "tone:1000"}};
    Site b{dir, {site, "172.16.0.190", "SITEB", key, "127.0.0.1", "silence"}};
    Reflector reflector{dir, site, {"SITEA", "SITEB", "SVXNODE"}};
};

class ReflectorSites : public ::testing::Test
{
  protected:
    static void SetUpTestSuite()
    {
        ASSERT_EQ(::access(svxreflector, X_OK), 0) << svxreflector << " is missing: run scripts/setup";
        net = new Net;
        // Site A's box keeps the site network: it outlives the reflector's.
        ASSERT_EQ(net->a.start(), 0) << net->a.box().output();
        ASSERT_TRUE(net->a.box().wait_for_line("gatesimd: serving on", kLogin)) << net->a.box().output();
        ASSERT_EQ(net->reflector.start(), 0);
        ASSERT_EQ(net->b.start(), 0) << net->b.box().output();
        for (Site *s : {&net->a, &net->b}) {
            ASSERT_TRUE(s->logged_in(1, kLogin)) << s->box().output() << net->reflector.box().output();
            ASSERT_TRUE(s->gateway_up(kLogin)) << s->box().output();
        }
        status = new StatusEvents({&net->a, &net->b});
        ready = true;
    }
    static void TearDownTestSuite()
    {
        delete status;
        status = nullptr;
        if (net != nullptr) {
            net->b.box().stop();
            net->reflector.box().stop();
            net->a.box().stop();
        }
        delete net;
        net = nullptr;
    }
    void SetUp() override
    {
        if (!ready)
            FAIL() << "the sites did not come up";
    }

    // Keys `from`, waits until `to` plays a tone and returns its frequency;
    // `from` is released again.
    static double tone_through(Site &from, Site &to, const std::string &node)
    {
        size_t mark = to.played_count();
        size_t heard = count_lines(to.box(), "gatesimd: reflector: " + node + " talks to the site");
        from.ptt(true);
        double hz = 0;
        bool ok =
            wait_count(to.box(), "gatesimd: reflector: " + node + " talks to the site", heard + 1, kEvent) &&
            wait_until([&] { return (hz = tone_hz(to.played(mark))) > 0; }, kEvent);
        from.ptt(false);
        wait_count(to.box(), "gatesimd: reflector: " + node + " no longer talks to the site", heard + 1,
                   kEvent);
        return ok ? hz : 0;
    }

    static Net *net;
    static StatusEvents *status;
    static bool ready;
};

Net *ReflectorSites::net = nullptr;
StatusEvents *ReflectorSites::status = nullptr;
bool ReflectorSites::ready = false;

TEST_F(ReflectorSites, BothNodesLogInAndTonesCrossBothWaysAtTheirFrequency)
{
    Site &a = net->a, &b = net->b;
    boardbox::BoxProcess &log = net->reflector.box();
    EXPECT_TRUE(log.wait_for_line("SITEA: Login OK from 172.16.0.189", kEvent)) << log.output();
    EXPECT_TRUE(log.wait_for_line("SITEB: Login OK from 172.16.0.190", kEvent)) << log.output();
    std::string state = b.command("state");
    EXPECT_NE(state.find("as SITEB: connected"), std::string::npos) << state;
    EXPECT_NE(state.find("codec OPUS"), std::string::npos) << state;
    EXPECT_NE(state.find("talk group 7, talker -"), std::string::npos) << state;
    std::string nodes = state.substr(state.find("nodes:"));
    nodes = nodes.substr(0, nodes.find('\n'));
    EXPECT_NE(nodes.find(" SITEA"), std::string::npos) << state;
    EXPECT_NE(nodes.find(" SITEB"), std::string::npos) << state;

    // A to B: while A talks, B's gateways are told of the talker as of a
    // site talker (event 501, SetPttEv) and B's state names him.
    XmlListener xml;
    ASSERT_TRUE(xml.connect(b));
    size_t mark = b.played_count();
    a.ptt(true);
    ASSERT_TRUE(b.box().wait_for_line("gatesimd: reflector: SITEA talks to the site", kEvent))
        << b.box().output();
    EXPECT_TRUE(b.box().wait_for_line("packettype_async_setptt [ptt:1,login:SITEA]", kEvent));
    EXPECT_TRUE(xml.wait_for({"<SetPttEv ptt=\"1\"", "login_local=\"SITEA\""}, kEvent));
    state = b.command("state");
    EXPECT_NE(state.find("talk group 7, talker SITEA"), std::string::npos) << state;
    EXPECT_NE(state.find("site hears SITEA"), std::string::npos) << state;
    double hz = 0;
    EXPECT_TRUE(wait_until([&] { return (hz = tone_hz(b.played(mark))) > 0; }, kEvent));
    EXPECT_NEAR(hz, 1000, 20);
    a.ptt(false);
    EXPECT_TRUE(b.box().wait_for_line("gatesimd: reflector: SITEA no longer talks to the site", kEvent));
    EXPECT_TRUE(b.box().wait_for_line("packettype_async_setptt [ptt:0,login:SITEA]", kEvent));
    EXPECT_TRUE(xml.wait_for({"<SetPttEv ptt=\"0\"", "login_local=\"SITEA\""}, kEvent));
    EXPECT_TRUE(log.wait_for_line("SITEA: Talker start", kEvent)) << log.output();
    EXPECT_TRUE(log.wait_for_line("SITEA: Talker stop", kEvent)) << log.output();

    // B to A, another tone.
    ASSERT_EQ(b.control().set_capture("tone:600"), 0);
    EXPECT_NEAR(tone_through(b, a, "SITEB"), 600, 20) << a.box().output();
    EXPECT_TRUE(log.wait_for_line("SITEB: Talker start", kEvent)) << log.output();
    EXPECT_TRUE(log.wait_for_line("SITEB: Talker stop", kEvent)) << log.output();
    b.control().set_capture("silence");
}

TEST_F(ReflectorSites, AGatewayKeyedWhileTheReflectorHasATalkerIsRefused)
{
    Site &a = net->a, &b = net->b;
    boardbox::BoxProcess &log = net->reflector.box();
    size_t b_starts = count_lines(log, "SITEB: Talker start");
    size_t denied = count_lines(b.box(), "conn    : received DENY, reason 4");
    size_t heard = count_lines(b.box(), "gatesimd: reflector: SITEA talks to the site");
    size_t b_ptt = count_lines(b.box(), "gatesimd: ptt on");
    ASSERT_EQ(b.control().set_capture("tone:600"), 0);

    a.ptt(true);
    ASSERT_TRUE(wait_count(b.box(), "gatesimd: reflector: SITEA talks to the site", heard + 1, kEvent))
        << b.box().output();
    b.ptt(true);
    EXPECT_TRUE(wait_count(b.box(), "conn    : received DENY, reason 4", denied + 1, kEvent))
        << b.box().output();
    // B's loudspeaker still plays A, and B's microphone reaches nobody.
    size_t mark = b.played_count();
    double hz = 0;
    EXPECT_TRUE(wait_until([&] { return (hz = tone_hz(b.played(mark))) > 0; }, kEvent));
    EXPECT_NEAR(hz, 1000, 20);
    EXPECT_EQ(count_lines(b.box(), "gatesimd: ptt on"), b_ptt);
    EXPECT_EQ(count_lines(log, "SITEB: Talker start"), b_starts) << log.output();
    b.ptt(false);
    a.ptt(false);
    EXPECT_TRUE(
        wait_count(b.box(), "gatesimd: reflector: SITEA no longer talks to the site", heard + 1, kEvent));
    b.control().set_capture("silence");
}

TEST_F(ReflectorSites, BothSitesJoinAgainAfterTheReflectorRestarts)
{
    Site &a = net->a, &b = net->b;
    Reflector &r = net->reflector;
    size_t a_lost = count_lines(a.box(), "gatesimd: reflector: closed by the reflector");
    size_t b_lost = count_lines(b.box(), "gatesimd: reflector: closed by the reflector");
    size_t logins = count_lines(r.box(), "Login OK from");
    ASSERT_TRUE(r.kill_reflector()) << r.box().output();
    EXPECT_TRUE(wait_count(a.box(), "gatesimd: reflector: closed by the reflector", a_lost + 1, kEvent))
        << a.box().output();
    EXPECT_TRUE(wait_count(b.box(), "gatesimd: reflector: closed by the reflector", b_lost + 1, kEvent))
        << b.box().output();
    // While the reflector is away the sites keep trying, and keep serving.
    EXPECT_TRUE(wait_count(a.box(), "gatesimd: reflector: cannot connect", 1, kEvent)) << a.box().output();
    EXPECT_TRUE(
        wait_until([&] { return a.command("state").find(": waiting (") != std::string::npos; }, kEvent));

    r.restart_reflector();
    EXPECT_TRUE(a.logged_in(2, kLogin)) << a.box().output();
    EXPECT_TRUE(b.logged_in(2, kLogin)) << b.box().output();
    EXPECT_TRUE(wait_count(r.box(), "Login OK from", logins + 2, kEvent)) << r.box().output();
    EXPECT_NEAR(tone_through(a, b, "SITEA"), 1000, 20) << b.box().output();
}

// A real SvxLink node on `site`'s reflector: its receiver's tone is heard on
// A's loudspeaker, A's microphone on its transmitter.
void exchange_with_svxlink(Dir &dir, const std::string &site, Site &a, Reflector &reflector)
{
    ASSERT_EQ(::access(SvxLinkNode::svxlink, X_OK), 0)
        << SvxLinkNode::svxlink << " is missing: run scripts/setup";
    SvxLinkNode node(dir, site, "SVXNODE", "172.16.0.20");
    ASSERT_TRUE(node.start(kLogin)) << node.box().output();
    EXPECT_TRUE(reflector.box().wait_for_line("SVXNODE: Login OK", kEvent));
    ASSERT_TRUE(a.box().wait_for_line("gatesimd: reflector: node joined: SVXNODE", kEvent))
        << a.box().output();

    // The node's receiver opens on a tone: A's loudspeaker plays it.
    size_t mark = a.played_count();
    node.receive_tone(800, 12000, ms(1500));
    EXPECT_TRUE(a.box().wait_for_line("gatesimd: reflector: SVXNODE talks to the site", kEvent));
    EXPECT_NEAR(tone_hz(a.played(mark)), 800, 20);
    EXPECT_TRUE(a.box().wait_for_line("gatesimd: reflector: SVXNODE no longer talks to the site", kEvent));

    // A's gateway talks: the node transmits it.
    size_t sent = node.transmitted_count();
    ASSERT_EQ(a.control().set_capture("tone:1000"), 0);
    a.ptt(true);
    double hz = 0;
    EXPECT_TRUE(wait_until(
        [&] {
            std::vector<int16_t> tx = node.transmitted();
            tx.erase(tx.begin(), tx.begin() + static_cast<std::ptrdiff_t>(std::min(sent, tx.size())));
            return (hz = tone_hz(tx, 3200, 1000, SvxLinkNode::rate)) > 0;
        },
        kEvent))
        << node.box().output();
    a.ptt(false);
    EXPECT_NEAR(hz, 1000, 20);
    EXPECT_TRUE(node.box().wait_for_line("ReflectorLogic: Talker start: SITEA", kEvent));
}

TEST_F(ReflectorSites, AnSvxLinkNodeHearsTheGatewaysAndIsHeardByThem)
{
    exchange_with_svxlink(net->dir, net->site, net->a, net->reflector);
}

// Reflectors set to GSM or Speex: the site codes them as SvxLink does.
TEST(ReflectorCodecs, GsmAndSpeexReflectorsCarryVoiceBetweenASiteAndAnSvxLinkNode)
{
    ASSERT_EQ(::access(svxreflector, X_OK), 0) << svxreflector << " is missing: run scripts/setup";
    for (const char *codec : {"GSM", "SPEEX"}) {
        SCOPED_TRACE(codec);
        Dir dir;
        std::string site = std::string("rfc") + codec[0] + std::to_string(::getpid());
        Site a(dir, {site, "172.16.0.189", "SITEA", key, "127.0.0.1", "silence"});
        Reflector reflector(dir, site, {"SITEA", "SVXNODE"}, codec);
        ASSERT_EQ(a.start(), 0);
        ASSERT_TRUE(a.box().wait_for_line("gatesimd: serving on", kLogin)) << a.box().output();
        ASSERT_EQ(reflector.start(), 0);
        ASSERT_TRUE(a.box().wait_for_line(std::string("), codec ") + codec + ", nodes:", kLogin))
            << a.box().output();
        ASSERT_TRUE(a.gateway_up(kLogin)) << a.box().output();
        StatusEvents status({&a});
        exchange_with_svxlink(dir, site, a, reflector);
        reflector.box().stop();
        a.box().stop();
    }
}

TEST(ReflectorLogin, AWrongKeyIsRefusedWithAClearLine)
{
    ASSERT_EQ(::access(svxreflector, X_OK), 0) << svxreflector << " is missing: run scripts/setup";
    Dir dir;
    std::string site = "rfk" + std::to_string(::getpid());
    Reflector r(dir, site, {"SITEX"});
    ASSERT_EQ(r.start(), 0);
    ASSERT_TRUE(r.box().wait_for_line("Using configuration file", kLogin)) << r.box().output();
    Site x(dir, {site, "172.16.0.191", "SITEX", "not the key", "127.0.0.1", "silence"});
    ASSERT_EQ(x.start(), 0);
    EXPECT_TRUE(x.box().wait_for_line("gatesimd: reflector: login refused by the reflector: Access denied "
                                      "(check --reflector-node and --reflector-key); next attempt in",
                                      kLogin))
        << x.box().output();
    EXPECT_TRUE(r.box().wait_for_line("Authentication failed for user \"SITEX\"", kEvent))
        << r.box().output();
    EXPECT_EQ(count_lines(x.box(), "gatesimd: reflector: logged in"), 0u);
    x.box().stop();
    r.box().stop();
}

} // namespace
