// The node's link against a scripted reflector on loopback: the login and
// the voice both ways, every kind of bad input dropping the link (which comes
// back by itself), a silent reflector given up with a doubling wait.
#include "tests/tools/gatesimd/reflector/fake_reflector.h"

#include <gtest/gtest.h>

using namespace reftest;
using namespace reflector;

namespace
{

// A frame header announcing `n` bytes, and those bytes.
Bytes with_len(uint32_t n)
{
    Bytes b(4 + n, 0);
    bytes::put_be32(b.data(), n);
    return b;
}

// A u16-counted blob of `n` bytes.
Bytes with_blob(uint16_t n)
{
    Bytes b(2 + n, 0x11);
    bytes::put_be16(b.data(), n);
    return b;
}

// What the link reports, one text per event.
class Events : public LinkListener
{
  public:
    void link_up(const std::string &codec) override { put("up " + codec); }
    void link_down() override { put("down"); }
    void talker_start(const std::string &c) override { put("start " + c); }
    void talker_stop(const std::string &c) override { put("stop " + c); }
    void audio(const uint8_t *d, size_t n) override
    {
        std::string s = "audio";
        for (size_t i = 0; i < n; i++)
            s += " " + std::to_string(d[i]);
        put(s);
    }
    void end_of_stream() override { put("eos"); }

    bool wait(const std::string &e, int ms = timeout_ms)
    {
        std::unique_lock<std::mutex> g(m_);
        return cv_.wait_for(g, std::chrono::milliseconds(ms), [&] {
            for (size_t i = seen_; i < events_.size(); i++)
                if (events_[i] == e) {
                    seen_ = i + 1;
                    return true;
                }
            return false;
        });
    }
    std::vector<std::string> all()
    {
        std::lock_guard<std::mutex> g(m_);
        return events_;
    }

  private:
    void put(std::string e)
    {
        std::lock_guard<std::mutex> g(m_);
        events_.push_back(std::move(e));
        cv_.notify_all();
    }
    std::mutex m_;
    std::condition_variable cv_;
    std::vector<std::string> events_;
    size_t seen_ = 0;
};

class ReflectorLinkTest : public ::testing::Test
{
  protected:
    void start(LinkConfig c)
    {
        link = std::make_unique<ReflectorLink>(c, events, lines.say());
        std::string error;
        ASSERT_TRUE(link->start(error)) << error;
    }
    // Logged in with client id 5 and the node's first datagram seen.
    void log_in()
    {
        ASSERT_TRUE(fake.accept());
        ASSERT_TRUE(fake.login("node key", 5, {"N0", "N1"}, {"FOO", "OPUS"}));
        ASSERT_TRUE(events.wait("up OPUS")) << lines.all();
        const UdpMessage &u = fake.first_datagram;
        EXPECT_EQ(u.type, udp_heartbeat);
        EXPECT_EQ(u.client_id, 5);
        EXPECT_EQ(u.seq, 0);
    }

    FakeReflector fake;
    Events events;
    Lines lines;
    std::unique_ptr<ReflectorLink> link; // last: stopped before the listener goes
};

TEST_F(ReflectorLinkTest, LogsInWithTheKeysDigestAndCarriesTalkersAndVoiceBothWays)
{
    start(quick_config(fake.port()));
    log_in();
    EXPECT_EQ(fake.callsign, "N1");
    EXPECT_TRUE(lines.wait("reflector: logged in to 127.0.0.1:" + std::to_string(fake.port()) +
                           " as N1 (client id 5), codec OPUS, nodes: N0, N1"))
        << lines.all();

    fake.send(build_callsign_msg(msg_talker_start, "N0"));
    EXPECT_TRUE(events.wait("start N0"));
    fake.send_audio({1, 2, 3});
    EXPECT_TRUE(events.wait("audio 1 2 3"));
    // Another client's id, a frame from before the last one, then a gap.
    fake.send_udp(build_udp_audio(6, 1, Bytes{4}.data(), 1));
    fake.send_udp(build_udp_audio(5, 0, Bytes{5}.data(), 1));
    fake.seq = 5;
    fake.send_audio({6});
    EXPECT_TRUE(events.wait("audio 6"));
    fake.send_udp(build_udp(udp_flush_samples, 5, fake.seq++));
    EXPECT_TRUE(events.wait("eos"));
    fake.send(build_callsign_msg(msg_talker_stop, "N0"));
    EXPECT_TRUE(events.wait("stop N0"));
    for (const std::string &e : events.all())
        EXPECT_TRUE(e != "audio 4" && e != "audio 5") << e;
    ReflectorLink::Status s = link->status();
    EXPECT_EQ(s.lost_in, 4u);
    EXPECT_EQ(s.bad_in, 2u);

    // The node's voice and its end, numbered on from the first heartbeat.
    ASSERT_TRUE(link->send_audio(Bytes{9, 8}.data(), 2));
    UdpMessage u;
    ASSERT_TRUE(fake.datagram_of(udp_audio, u));
    EXPECT_EQ(u.client_id, 5);
    EXPECT_EQ(u.seq, 1);
    EXPECT_EQ(u.audio, (Bytes{9, 8}));
    ASSERT_TRUE(link->send_flush());
    ASSERT_TRUE(fake.datagram_of(udp_flush_samples, u));
    EXPECT_EQ(u.seq, 2);
    // Quiet on TCP for 100 ms: a heartbeat.
    Message m;
    ASSERT_TRUE(fake.message(m));
    EXPECT_EQ(m.type, msg_heartbeat);
}

TEST_F(ReflectorLinkTest, BadInputDropsTheLinkWhichComesBackByItself)
{
    uint8_t challenge[challenge_size] = {};
    Bytes short_challenge = build_auth_challenge(challenge);
    short_challenge[3] -= 1; // a frame of 23 bytes that says 20 follow, but 19 do
    short_challenge.pop_back();
    struct Case {
        const char *what;
        bool after_login;
        Bytes send;
        std::string line;
    } cases[] = {
        {"a frame over the limit before the login", false, with_len(65),
         "protocol error: a frame of 65 bytes, over the limit of 64"},
        {"a challenge of 19 bytes", false, build_raw(msg_auth_challenge, with_blob(19)),
         "protocol error: a challenge of 19 bytes"},
        {"a challenge shorter than it says", false, short_challenge,
         "protocol error: a malformed AuthChallenge message (23 bytes)"},
        {"server info before the login", false, build_server_info(1, {}, {}),
         "protocol error: an unexpected ServerInfo"},
        {"a talker before the login", false, build_callsign_msg(msg_talker_start, "X"),
         "protocol error: TalkerStart before the login was accepted"},
        {"the reflector refuses the login", false, build_error("Access denied"),
         "login refused by the reflector: Access denied (check --reflector-node and --reflector-key)"},
        {"a frame of 4 GiB",
         true,
         {0xFF, 0xFF, 0xFF, 0xFF, 0},
         "protocol error: a frame of 4294967295 bytes, over the limit of 16384"},
        {"a name longer than its frame",
         true,
         {0, 0, 0, 6, 0, 102, 0, 10, 'A', 'B'},
         "protocol error: a malformed NodeJoined message (6 bytes)"},
        {"a second server info", true, build_server_info(1, {}, {}),
         "protocol error: an unexpected ServerInfo"},
        {"the reflector's error", true, build_error("TCP heartbeat timeout"),
         "the reflector reported an error: TCP heartbeat timeout"},
    };
    start(quick_config(fake.port()));
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(fake.accept()) << lines.all();
        if (c.after_login) {
            ASSERT_TRUE(fake.login("node key", 5, {}, {"OPUS"}));
            ASSERT_TRUE(events.wait("up OPUS"));
        } else {
            Message m;
            ASSERT_TRUE(fake.message(m));
        }
        size_t before = lines.count(c.line);
        fake.send(c.send);
        EXPECT_TRUE(lines.wait(c.line, before + 1)) << lines.all();
        EXPECT_TRUE(fake.closed_by_node());
        if (c.after_login) {
            EXPECT_TRUE(events.wait("down"));
        }
    }
    // Unknown messages and extra bytes are skipped: the link stays up.
    ASSERT_TRUE(fake.accept());
    ASSERT_TRUE(fake.login("node key", 5, {}, {"OPUS"}));
    ASSERT_TRUE(events.wait("up OPUS"));
    fake.send(build_raw(300, {1, 2, 3}));
    fake.send(build_raw(msg_talker_start, {0, 1, 'Y', 0xEE}));
    EXPECT_TRUE(events.wait("start Y"));
    EXPECT_EQ(link->status().state, ReflectorLink::State::connected);
    EXPECT_EQ(link->status().ignored_in, 1u);
}

TEST_F(ReflectorLinkTest, ASilentReflectorIsGivenUpAndTriedAgainAfterADoublingWait)
{
    LinkConfig c = quick_config(fake.port());
    c.tcp_silence = std::chrono::milliseconds(300);
    start(c);
    for (const char *wait : {"0.02 s", "0.04 s", "0.08 s", "0.08 s"}) {
        ASSERT_TRUE(fake.accept()) << lines.all();
        EXPECT_TRUE(lines.wait(std::string("no login within 0.3 s; next attempt in ") + wait)) << lines.all();
    }
    // A login starts the series again; then the reflector falls silent.
    ASSERT_TRUE(fake.accept());
    ASSERT_TRUE(fake.login("node key", 5, {}, {"OPUS"}));
    ASSERT_TRUE(events.wait("up OPUS"));
    EXPECT_TRUE(lines.wait("no heartbeat from the reflector for 0.3 s; next attempt in 0.02 s"))
        << lines.all();
    EXPECT_TRUE(events.wait("down"));
    EXPECT_EQ(link->status().attempts, 5u);
}

} // namespace
