// gatesimd as operators and the demo run it: inside a box, with gateways
// speaking the wire format from the box's own network namespace, and
// commands sent to its control socket.
#include "base/byteorder.h"
#include "sim/box_process.h"
#include "tests/gatesim/net_helpers.h"
#include "tests/no_leak_check_in_boxes.h"
#include "tests/sanitized_build.h"
#include "wire/roip_proto.h"
#include "wire/xml_frame.h"

#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <poll.h>
#include <sched.h>
#include <sndfile.h>
#include <sys/resource.h>
#include <sys/un.h>

using namespace testnet;
using Bytes = std::vector<uint8_t>;

namespace
{

const std::string gatesimd = std::string(GW_BUILD_DIR) + "/bin/gatesimd";

Bytes le32(uint32_t v)
{
    Bytes b(4);
    bytes::put_le32(b.data(), v);
    return b;
}

std::string read_file(const std::string &path)
{
    std::ifstream f(path);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

// The pid of the gatesimd started with this (unique) control socket.
pid_t find_gatesimd(const std::string &control)
{
    DIR *d = opendir("/proc");
    if (d == nullptr)
        return -1;
    pid_t found = -1;
    while (dirent *e = readdir(d)) {
        pid_t pid = static_cast<pid_t>(atoi(e->d_name));
        if (pid <= 0)
            continue;
        std::string cmd = read_file("/proc/" + std::string(e->d_name) + "/cmdline");
        std::vector<std::string> args;
        size_t start = 0;
        for (size_t i = 0; i < cmd.size(); i++)
            if (cmd[i] == '\0') {
                args.push_back(cmd.substr(start, i - start));
                start = i + 1;
            }
        if (args.empty() || args[0].size() < 8 || args[0].compare(args[0].size() - 8, 8, "gatesimd") != 0)
            continue;
        for (const std::string &a : args)
            if (a == control)
                found = pid;
    }
    closedir(d);
    return found;
}

// Runs `f` on a thread that has joined the network namespace of `pid`:
// sockets it creates belong to that namespace for good.
bool in_netns(pid_t pid, const std::function<void()> &f)
{
    bool ok = false;
    std::thread t([&] {
        int ns = open(("/proc/" + std::to_string(pid) + "/ns/net").c_str(), O_RDONLY | O_CLOEXEC);
        if (ns < 0)
            return;
        if (setns(ns, CLONE_NEWNET) == 0) {
            f();
            ok = true;
        }
        close(ns);
    });
    t.join();
    return ok;
}

struct Gateway {
    Fd tcp, udp;
    int sync = 0;
    bool send(const Bytes &b) const { return send_all(tcp.get(), b); }
    Bytes read(size_t n) const { return read_n(tcp.get(), n); }
};

class Daemon : public ::testing::Test
{
  protected:
    void TearDown() override
    {
        box.stop();
        unlink(users.c_str());
    }

    void start(std::vector<std::string> extra)
    {
        control = boardbox::BoxProcess::temp_path("gsd");
        users = boardbox::BoxProcess::temp_path("users");
        std::ofstream(users) << "# test site\nuser qzv 1 alaw\nop secret 2 gsm\nlisten ear 0 speex\n";
        std::vector<std::string> opts{"--also", "--", gatesimd, "--users", users, "--control", control};
        opts.insert(opts.end(), extra.begin(), extra.end());
        ASSERT_EQ(box.start(opts, {"/bin/sleep", "600"}), 0);
        ASSERT_TRUE(box.wait_for_line("gatesimd: serving on 0.0.0.0:5555, rtp port 5004, 3 users"))
            << box.output();
        pid = find_gatesimd(control);
        ASSERT_GT(pid, 0);
    }

    Gateway connect()
    {
        Gateway g;
        EXPECT_TRUE(in_netns(pid, [&] {
            g.tcp = tcp_connect(5555);
            g.udp = udp_socket();
        }));
        EXPECT_GE(g.tcp.get(), 0);
        EXPECT_EQ(g.read(20).size(), 20u);
        return g;
    }

    // Returns the 120-byte login result, or the DENY reason as a 4-byte body.
    Bytes login(Gateway &g, const char *user, const char *pw)
    {
        EXPECT_TRUE(g.send(proto::build_login_request(user, pw)));
        Bytes type = g.read(4);
        if (type != le32(4))
            return g.read(4);
        Bytes res = g.read(120);
        if (res.size() == 120)
            g.sync = static_cast<int>(bytes::get_le32(res.data() + 16));
        return res;
    }

    // Sends the hello until gatesimd's debug output reports the sync.
    void sync_up(Gateway &g)
    {
        Bytes hello(172, 0);
        hello[0] = 0x80;
        hello[1] = 0x08;
        bytes::put_le32(hello.data() + 12, static_cast<uint32_t>(g.sync));
        ASSERT_TRUE(send_datagram(g.udp.get(), 5004, hello));
        ASSERT_TRUE(
            box.wait_for_line("roip: rtp: user synced 127.0.0.1:" + std::to_string(local_port(g.udp.get()))));
    }

    std::string command(const std::string &line)
    {
        Fd s(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        snprintf(a.sun_path, sizeof a.sun_path, "%s", control.c_str());
        if (::connect(s.get(), reinterpret_cast<sockaddr *>(&a), sizeof a) != 0)
            return "<no control socket>";
        send_all(s.get(), Bytes(line.begin(), line.end()));
        send_all(s.get(), {'\n'});
        std::string reply;
        while (reply.find("ok") == std::string::npos && reply.find("error") == std::string::npos) {
            Bytes b = read_n(s.get(), 1);
            if (b.empty())
                break;
            reply.push_back(static_cast<char>(b[0]));
        }
        // The rest of the last line.
        while (!reply.empty() && reply.back() != '\n') {
            Bytes b = read_n(s.get(), 1, 1000);
            if (b.empty())
                break;
            reply.push_back(static_cast<char>(b[0]));
        }
        return reply;
    }

    boardbox::BoxProcess box;
    std::string control, users;
    pid_t pid = -1;
};

TEST_F(Daemon, LogsInUsersFromTheFileWithTheirCodec)
{
    start({});
    Gateway a = connect();
    Bytes res = login(a, "op", "secret");
    ASSERT_EQ(res.size(), 120u);
    EXPECT_EQ(bytes::get_le32(&res[0]), 2u);     // level
    EXPECT_EQ(bytes::get_le32(&res[12]), 5004u); // VoipPort
    EXPECT_EQ(bytes::get_le32(&res[20]), 2u);    // gsm
    EXPECT_TRUE(box.wait_for_line("gatesimd: login [op] from 127.0.0.1: level 2, codec gsm"));

    Gateway b = connect();
    EXPECT_EQ(login(b, "op", "wrong"), le32(1));
    EXPECT_TRUE(box.wait_for_line("gatesimd: login [op] from 127.0.0.1: refused"));
}

// At 1.6 a gateway uploads its blocked list right after its login and gives
// up the login unless it is acknowledged; gatesimd prints the names.
TEST_F(Daemon, AnnouncesTheChosenProtocolAndTakesTheBlockedList)
{
    start({"--proto", "1.6"});
    Gateway g;
    ASSERT_TRUE(in_netns(pid, [&] { g.tcp = tcp_connect(5555); }));
    Bytes info = g.read(20);
    ASSERT_EQ(info.size(), 20u);
    EXPECT_EQ(Bytes(info.begin() + 4, info.begin() + 8), (Bytes{6, 0, 1, 0}));
    ASSERT_EQ(login(g, "user", "qzv").size(), 120u);
    Bytes items(72, 0);
    std::memcpy(&items[4], "alice", 5);
    std::memcpy(&items[40], "bob", 3);
    ASSERT_TRUE(g.send(proto::build_ext(1001, items.data(), items.size())));
    EXPECT_EQ(g.read(4), le32(2));
    EXPECT_TRUE(box.wait_for_line("gatesimd: blocked list of [user]: 2 names")) << box.output();
    EXPECT_TRUE(box.wait_for_line("gatesimd: blocked [alice]"));
    EXPECT_TRUE(box.wait_for_line("gatesimd: blocked [bob]"));
}

TEST_F(Daemon, AnnouncesOnePointFiveByDefault)
{
    start({});
    Gateway g;
    ASSERT_TRUE(in_netns(pid, [&] { g.tcp = tcp_connect(5555); }));
    Bytes info = g.read(20);
    ASSERT_EQ(info.size(), 20u);
    EXPECT_EQ(Bytes(info.begin() + 4, info.begin() + 8), (Bytes{5, 0, 1, 0}));
}

long rss_kb(pid_t pid)
{
    std::string status = read_file("/proc/" + std::to_string(pid) + "/status");
    size_t at = status.find("VmRSS:");
    return at == std::string::npos ? -1 : std::atol(status.c_str() + at + 6);
}

// A thousand connections that never log in (more than the 64 slots): memory
// stays level, every one of them is closed within the login deadline, and a
// real gateway still logs in and is served.
TEST_F(Daemon, AThousandIdleConnectionsNeitherLockOutGatewaysNorGrowMemory)
{
    rlimit nofile{};
    ::getrlimit(RLIMIT_NOFILE, &nofile);
    if (nofile.rlim_cur < 1200) {
        nofile.rlim_cur = std::min<rlim_t>(nofile.rlim_max, 4096);
        ::setrlimit(RLIMIT_NOFILE, &nofile);
    }
    start({});
    const long rss_before = rss_kb(pid);
    // Connected with at most a listen backlog's worth waiting for the
    // server, which greets a connection it gives a slot with its version
    // info and closes one it refuses: a connection the full backlog drops
    // comes back only after the kernel's retry pause, and one whose
    // handshake the full backlog cut off may never reach the server.
    std::vector<Fd> idle;
    ASSERT_TRUE(in_netns(pid, [&] {
        std::vector<pollfd> waiting;
        const auto by = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        auto settle = [&](size_t most) {
            while (waiting.size() > most && std::chrono::steady_clock::now() < by) {
                ::poll(waiting.data(), waiting.size(), 100);
                waiting.erase(
                    std::remove_if(waiting.begin(), waiting.end(), [](const pollfd &p) { return p.revents; }),
                    waiting.end());
            }
        };
        for (int i = 0; i < 1000; ++i) {
            settle(4);
            Fd s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
            sockaddr_in a = loopback(5555);
            ::connect(s.get(), reinterpret_cast<sockaddr *>(&a), sizeof a);
            waiting.push_back({s.get(), POLLIN, 0});
            idle.push_back(std::move(s));
        }
        settle(0);
    }));
    const auto flood = std::chrono::steady_clock::now();
    const long rss_flooded = rss_kb(pid);
    // Slots free up at the deadline; a gateway that keeps trying gets one.
    Gateway g;
    Bytes result;
    ASSERT_TRUE(wait_until(
        [&] {
            EXPECT_TRUE(in_netns(pid, [&] { g.tcp = tcp_connect(5555); }));
            if (read_n(g.tcp.get(), 20, 1000).size() != 20)
                return false;
            result = login(g, "user", "qzv");
            return true;
        },
        30000));
    EXPECT_EQ(result.size(), 120u);
    const double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - flood).count();
    EXPECT_LE(waited, 25.0);
    ASSERT_TRUE(g.send(le32(108)));
    EXPECT_EQ(g.read(4), le32(2));
    // Every one ends: refused at once, or closed at its login deadline.
    std::vector<pollfd> open;
    for (Fd &f : idle)
        open.push_back({f.get(), POLLIN, 0});
    const auto all_by = std::chrono::steady_clock::now() + std::chrono::seconds(45);
    while (!open.empty() && std::chrono::steady_clock::now() < all_by) {
        if (::poll(open.data(), open.size(), 1000) <= 0)
            continue;
        for (size_t i = open.size(); i-- > 0;) {
            if (open[i].revents == 0)
                continue;
            uint8_t buf[256];
            ssize_t r = ::recv(open[i].fd, buf, sizeof buf, MSG_DONTWAIT);
            if (r == 0 || (r < 0 && errno != EINTR && errno != EAGAIN)) {
                open[i] = open.back();
                open.pop_back();
            }
        }
    }
    EXPECT_EQ(open.size(), 0u) << "connections still open";
    const long rss_after = rss_kb(pid);
    std::printf("1000 idle connections: gateway in after %.1f s; rss %ld -> %ld -> %ld kB\n", waited,
                rss_before, rss_flooded, rss_after);
    if (!sanitized_build) {
        EXPECT_LE(rss_flooded, rss_before + 16 * 1024);
        EXPECT_LE(rss_after, rss_before + 16 * 1024);
    }
}

TEST_F(Daemon, PrintsPttAndLoopsTheTalkersVoiceBack)
{
    start({"--voice", "loop", "--debug"});
    Gateway a = connect();
    ASSERT_EQ(login(a, "user", "qzv").size(), 120u);
    sync_up(a);
    ASSERT_TRUE(a.send(proto::build_setptt(1)));
    EXPECT_EQ(a.read(44).size(), 44u); // ACK and the 501 event
    EXPECT_TRUE(box.wait_for_line("gatesimd: ptt on"));
    Bytes voice(172, 0x2A);
    voice[0] = 0x80;
    voice[1] = 0x08;
    ASSERT_TRUE(send_datagram(a.udp.get(), 5004, voice));
    Bytes back = recv_datagram(a.udp.get());
    ASSERT_EQ(back.size(), 172u);
    EXPECT_EQ(Bytes(back.begin() + 12, back.end()), Bytes(160, 0x2A));
    ASSERT_TRUE(a.send(proto::build_setptt(0)));
    EXPECT_TRUE(box.wait_for_line("gatesimd: ptt off"));
}

TEST_F(Daemon, PlaysAToneToEveryGatewayWhileNobodyTalks)
{
    start({"--voice", "tone:1000", "--debug"});
    Gateway a = connect();
    ASSERT_EQ(login(a, "listen", "ear").size(), 120u);
    sync_up(a);
    int voice = 0;
    for (int i = 0; i < 200 && voice < 10; i++) {
        Bytes p = recv_datagram(a.udp.get());
        if (p.size() == 172)
            voice++;
    }
    EXPECT_EQ(voice, 10);
}

TEST_F(Daemon, RecordsTheTalkerToAWavFile)
{
    std::string wav = boardbox::BoxProcess::temp_path("rec") + ".wav";
    start({"--voice", "record:" + wav, "--debug"});
    Gateway a = connect(), b = connect();
    ASSERT_EQ(login(a, "user", "qzv").size(), 120u);
    ASSERT_EQ(login(b, "listen", "ear").size(), 120u);
    sync_up(a);
    sync_up(b);
    ASSERT_TRUE(a.send(proto::build_setptt(1)));
    ASSERT_EQ(a.read(44).size(), 44u);
    Bytes voice(172, 0xD5); // A-law near zero
    voice[0] = 0x80;
    voice[1] = 0x08;
    for (int i = 0; i < 25; i++)
        ASSERT_TRUE(send_datagram(a.udp.get(), 5004, voice));
    // The listener has them all once the relay has handled them; releasing
    // the talker then waits for the last one's recording (same lock).
    int relayed = 0;
    for (int i = 0; i < 100 && relayed < 25; i++)
        if (recv_datagram(b.udp.get()).size() == 172)
            relayed++;
    ASSERT_EQ(relayed, 25);
    ASSERT_TRUE(a.send(proto::build_setptt(0)));
    ASSERT_TRUE(box.wait_for_line("roip: rtp: user_ptt(0.0.0.0, s:0)"));
    EXPECT_EQ(command("quit"), "ok\n");
    ASSERT_TRUE(box.wait_for_line("gatesimd: stopped"));
    SF_INFO info{};
    SNDFILE *f = sf_open(wav.c_str(), SFM_READ, &info);
    ASSERT_NE(f, nullptr);
    sf_close(f);
    EXPECT_EQ(info.samplerate, 8000);
    EXPECT_EQ(info.frames, 25 * 160);
    unlink(wav.c_str());
}

TEST_F(Daemon, ControlSocketCommandsReachTheGateways)
{
    start({});
    Gateway a = connect();
    ASSERT_EQ(login(a, "user", "qzv").size(), 120u);
    EXPECT_EQ(command("sql 1"), "ok\n");
    EXPECT_EQ(a.read(8), (Bytes{0xF7, 1, 0, 0, 1, 0, 0, 0}));
    EXPECT_EQ(command("gpio 0x1000 0x1000"), "ok\n");
    EXPECT_EQ(a.read(12), (Bytes{0xF6, 1, 0, 0, 0, 0x10, 0, 0, 0, 0x10, 0, 0}));
    EXPECT_EQ(command("serial 0 0a 0b 0c"), "ok\n");
    EXPECT_EQ(a.read(10), (Bytes{0xCB, 0, 0, 0, 0, 3, 0, 0x0A, 0x0B, 0x0C}));
    EXPECT_EQ(command("dm3000 1 2 41"), "ok\n");
    Bytes dm = a.read(7 + 12 + 10);
    ASSERT_EQ(dm.size(), 29u);
    EXPECT_EQ(bytes::get_le32(&dm[11]), 2003u);
    EXPECT_EQ(command("bogus").rfind("error: ", 0), 0u);
    std::string help = command("help");
    EXPECT_NE(help.find("serialfile CHANNEL FILE"), std::string::npos) << help;
}

TEST_F(Daemon, PolarStatusFromTheControlSocket)
{
    start({});
    Gateway a = connect();
    ASSERT_EQ(login(a, "user", "qzv").size(), 120u);
    EXPECT_EQ(command("polar AB CD 1 2"), "ok\n");
    EXPECT_EQ(a.read(43).size(), 43u);
}

// The XML side beside the binary one: default port, debug lines of every
// document, the operator's commands and the state reply.
TEST_F(Daemon, ServesXmlGatewaysOnTheirOwnPort)
{
    start({"--debug", "--radio-name", "r1"});
    ASSERT_TRUE(box.wait_for_line("gatesimd: xml gateways on 0.0.0.0:5556, radio r1")) << box.output();
    Fd x;
    ASSERT_TRUE(in_netns(pid, [&] { x = tcp_connect(5556); }));
    ASSERT_GE(x.get(), 0);
    auto next = [&x] {
        Bytes h = read_n(x.get(), xml_frame::header_size);
        if (h.size() != xml_frame::header_size)
            return std::string("<closed>");
        Bytes t = read_n(x.get(), xml_frame::decode_length(h.data()));
        return std::string(t.begin(), t.end());
    };
    std::string login = "<LoginReq><Credentials user=\"op\" passwd=\"secret\" tag=\"pulpit-op\" />"
                        "<Rtp port=\"8000\" sm=\"1\" /></LoginReq>";
    std::string frame = xml_frame::encode(login);
    ASSERT_TRUE(send_all(x.get(), Bytes(frame.begin(), frame.end())));
    std::string resp = next();
    EXPECT_EQ(resp.rfind("<LoginPosResp><Rtp port=\"5004\" sm=\"1\" syncnum=\"", 0), 0u) << resp;
    EXPECT_NE(resp.find("codec=\"gsm\"/><Info devname=\"op\" encrypt=\"no\"/>"), std::string::npos) << resp;
    std::string peer = "127.0.0.1:" + std::to_string(local_port(x.get()));
    EXPECT_TRUE(box.wait_for_line("gatesimd: xml in " + peer + ": " + login));
    EXPECT_TRUE(box.wait_for_line("gatesimd: xml out [op] " + peer + ": " + resp));
    EXPECT_TRUE(box.wait_for_line("gatesimd: xml login [op] from 127.0.0.1: level 2, codec gsm, syncnum"));

    EXPECT_EQ(command("sql 1"), "ok\n");
    EXPECT_EQ(next(), "<UnlockSqlEv sql=\"1\"/>");
    EXPECT_EQ(command("disp TEvent b64 01 02 03"), "ok: 1 xml gateways\n");
    EXPECT_EQ(next(), "<TEvent><SerialDisp d=\"AQID\" denc=\"b64\"/></TEvent>");
    std::string state = command("state");
    EXPECT_NE(state.find("xml site r1: port 5556, gpio 0x0, talker -, 1 xml gateways"), std::string::npos)
        << state;
}

TEST_F(Daemon, XmlPortZeroServesNoXmlGateways)
{
    start({"--xml-port", "0"});
    Fd x;
    ASSERT_TRUE(in_netns(pid, [&] { x = tcp_connect(5556); }));
    EXPECT_LT(x.get(), 0);
    EXPECT_EQ(command("state").rfind("error: unknown command", 0), 0u);
}

class DaemonCommandLine : public ::testing::Test
{
  protected:
    boardbox::BoxProcess box;
};

TEST_F(DaemonCommandLine, HelpDocumentsOptionsAndCommands)
{
    ASSERT_EQ(box.start({}, {gatesimd, "--help"}), 0);
    ASSERT_EQ(box.wait_exit(), 0) << box.output();
    std::string out = box.output();
    for (const char *s : {"--bind ADDR",
                          "--port N",
                          "--rtp-port N",
                          "--max-clients N",
                          "--users FILE",
                          "--voice MODE",
                          "--control SOCKET",
                          "--debug",
                          "NAME PASSWORD LEVEL CODEC",
                          "tone:HZ",
                          "record:FILE.wav",
                          "play:FILE.wav",
                          "sql VALUE",
                          "serial CHANNEL HEX",
                          "dm3000",
                          "--xml-port N",
                          "--radio-name NAME",
                          "DEVNAME [rckd]",
                          "disp EVENT ENC HEX",
                          "dispfile EVENT ENC FILE",
                          "xmlraw DOCUMENT",
                          "state",
                          "--reflector HOST[:PORT]",
                          "--reflector-node NAME",
                          "--reflector-key KEY",
                          "--talkgroup N"})
        EXPECT_NE(out.find(s), std::string::npos) << s;
}

TEST_F(DaemonCommandLine, BadOptionsAreRefused)
{
    for (std::vector<std::string> args :
         {std::vector<std::string>{"--port", "0"},
          {"--bind", "not-an-address"},
          {"--voice", "echo"},
          {"--users", "/nonexistent/users"},
          {"--rtp-port", "0", "--voice", "loop"},
          {"--xml-port", "65536"},
          {"--xml-port", "5555"}, // the binary port
          {"--radio-name", ""},
          {"--proto", "1"},
          {"--proto", "1.x"},
          {"--proto", "70000.6"},
          {"--reflector", "127.0.0.1"}, // no node, no key
          {"--reflector-node", "N1", "--reflector-key", "k"},
          {"--talkgroup", "7"},
          {"--talkgroup", "-1"},
          {"--reflector", ":5300", "--reflector-node", "N1", "--reflector-key", "k"},
          {"--reflector", "127.0.0.1:0", "--reflector-node", "N1", "--reflector-key", "k"},
          {"--reflector", "127.0.0.1", "--reflector-node", "N1", "--reflector-key", "k", "--rtp-port", "0"},
          {"stray"}}) {
        boardbox::BoxProcess b;
        args.insert(args.begin(), gatesimd);
        ASSERT_EQ(b.start({}, args), 0);
        // An exit status, not a time-out: a daemon that went on serving was
        // not refused.
        EXPECT_GT(b.wait_exit(), 0) << args[1];
    }
}

} // namespace
