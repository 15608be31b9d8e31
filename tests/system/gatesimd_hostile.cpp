// gatesimd among hostile peers, with a real gateway beside them. This program
// runs inside a box with a GM360 head on "/dev/ttyS1"; gatesimd and gwlinkd
// are its children. While peers trickle one byte a second, send extended
// messages of the largest and of an oversized length and flood the voice port
// with hello datagrams from unknown addresses, the gateway must keep logging
// in and talking (PTT reaches the server, its voice is recorded) and the
// emulator's memory must stay bounded. The results are collected in
// docs/faults.md.
#include "tests/gatesim/net_helpers.h"
#include "tests/sanitized_build.h"
#include "tests/system/site_test.h"

#include "base/byteorder.h"
#include "sim/box_client.h"
#include "wire/roip_proto.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>

#include <fstream>
#include <random>

namespace
{

using namespace std::chrono_literals;
using site::Clock;
using site::count_lines;
using site::ms;
using testnet::Fd;

constexpr uint32_t FRONT_PTT = 0x1000; // active low
using site::kEvent;

long rss_kb(pid_t pid)
{
    std::ifstream st("/proc/" + std::to_string(pid) + "/status");
    std::string key;
    long v = -1;
    while (st >> key)
        if (key == "VmRSS:")
            st >> v;
    return v;
}

double seconds_since(Clock::time_point t)
{
    return std::chrono::duration<double>(Clock::now() - t).count();
}

uint32_t le32_at(const std::vector<uint8_t> &b, size_t at)
{
    return b.size() >= at + 4 ? bytes::get_le32(b.data() + at) : 0xFFFFFFFFu;
}

// A socket bound to another loopback address (the whole of 127/8 is local).
Fd udp_from(uint32_t host_order_address)
{
    Fd s(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(host_order_address);
    if (::bind(s.get(), reinterpret_cast<sockaddr *>(&a), sizeof a) != 0)
        return Fd();
    return s;
}

class GatesimdHostile : public site::SiteTest
{
  protected:
    void SetUp() override
    {
        site::SiteTest::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        ASSERT_EQ(box_.set_inputs(0, FRONT_PTT), 0);
        start_gatesimd({"--voice", "record:" + wav()});
    }
    void TearDown() override
    {
        box_.set_inputs(0, FRONT_PTT);
        site::SiteTest::TearDown();
    }
    std::string wav() const { return path("heard.wav"); }

    // (Re)starts the gateway and waits for its next login.
    void gateway_logs_in()
    {
        gw_.stop();
        const std::string login = "gatesimd: login [user] from 127.0.0.1: level 1";
        const size_t before = count_lines(srv_, login);
        site::GatewayConfig c;
        c.port = tcp_port();
        const size_t lines = gw_.line_count();
        start_gateway(c);
        wait_server(login, before + 1);
        ASSERT_TRUE(gw_.wait_for_line("FRONT_INIT", kEvent, lines)) << gw_.tail();
    }

    // The gateway keys, its voice is recorded by the server, it releases.
    void gateway_talks()
    {
        const size_t from = srv_.line_count();
        const long before = site::file_size(wav());
        ASSERT_EQ(box_.set_inputs(FRONT_PTT, 0), 0);
        EXPECT_TRUE(srv_.wait_for_line("gatesimd: ptt on", kEvent, from)) << srv_.tail();
        EXPECT_TRUE(site::eventually([&] { return site::file_size(wav()) >= before + 8000; }))
            << "no voice recorded from the talking gateway";
        ASSERT_EQ(box_.set_inputs(0, FRONT_PTT), 0);
        EXPECT_TRUE(srv_.wait_for_line("gatesimd: ptt off", kEvent, from)) << srv_.tail();
    }
};

// Peers that trickle one byte a second, extended messages of the largest
// length (1 MiB, read whole) and just above it (refused), and hello floods
// from unknown addresses, all at once, twice over, while the gateway logs in
// again and talks.
TEST_F(GatesimdHostile, GatewaysKeepLoggingInAndTalkingAndMemoryStaysBounded)
{
    ASSERT_NO_FATAL_FAILURE(gateway_logs_in());
    ASSERT_NO_FATAL_FAILURE(gateway_talks());
    const pid_t pid = srv_.pid();
    const long rss_before = rss_kb(pid);
    long rss_peak = rss_before;

    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        std::atomic<bool> stop{false};

        // 1. Connections that send a login request one byte a second: each
        //    is closed at the login deadline (15 s after it was accepted).
        constexpr int kSlow = 16;
        std::vector<Fd> slow;
        for (int i = 0; i < kSlow; ++i) {
            slow.push_back(testnet::tcp_connect(tcp_port()));
            ASSERT_GE(slow.back().get(), 0);
        }
        const auto slow_start = Clock::now();
        std::vector<double> slow_closed(kSlow, -1);
        std::thread trickle([&] {
            const proto::Bytes req = proto::build_login_request("user", "qzv");
            size_t at = 0;
            while (!stop && at < req.size()) {
                bool any = false;
                for (int i = 0; i < kSlow; ++i) {
                    if (slow_closed[i] >= 0)
                        continue;
                    if (::send(slow[i].get(), &req[at], 1, MSG_NOSIGNAL) != 1 ||
                        testnet::closed_by_peer(slow[i].get(), 0))
                        slow_closed[i] = seconds_since(slow_start);
                    else
                        any = true;
                }
                if (!any)
                    break;
                ++at;
                for (int t = 0; t < 20 && !stop; ++t)
                    std::this_thread::sleep_for(50ms);
            }
        });

        // 2. Extended messages: 1 MiB + 1 announced (the connection goes at
        //    once), and exactly 1 MiB sent whole by peers that never logged
        //    in (read, then refused for lack of privilege).
        constexpr int kOversized = 20, kLargest = 8;
        int oversized_closed = 0, largest_denied = 0;
        std::thread extended([&] {
            for (int i = 0; i < kOversized; ++i) {
                Fd c = testnet::tcp_connect(tcp_port());
                if (testnet::read_n(c.get(), 20).size() != 20)
                    continue;
                proto::Bytes h(16);
                bytes::put_le32(h.data(), 0xDEADBABE);
                bytes::put_le32(h.data() + 4, (1u << 20) + 1);
                bytes::put_le32(h.data() + 8, 2101);
                testnet::send_all(c.get(), h);
                oversized_closed += testnet::closed_by_peer(c.get(), 10000);
            }
            proto::Bytes payload((1u << 20), 0xA5);
            for (int i = 0; i < kLargest; ++i) {
                Fd c = testnet::tcp_connect(tcp_port());
                if (testnet::read_n(c.get(), 20).size() != 20)
                    continue;
                if (!testnet::send_all(c.get(), proto::build_ext(2101, payload.data(), payload.size())))
                    continue;
                proto::Bytes deny = testnet::read_n(c.get(), 8, 15000);
                largest_denied += le32_at(deny, 0) == 1 && le32_at(deny, 4) == 1;
            }
        });

        // 3. Hello datagrams from 64 unknown addresses (and from the
        //    gateway's own address with keys nobody has), as fast as they go.
        std::atomic<long> hellos{0};
        std::thread flood([&] {
            std::vector<Fd> from;
            for (uint32_t a = 0; a < 64; ++a)
                from.push_back(udp_from(0x7F000002u + a)); // 127.0.0.2 ...
            from.push_back(testnet::udp_socket());
            std::mt19937 rng(round + 1);
            proto::Bytes hello(172, 0);
            hello[0] = 0x80;
            hello[1] = 0x08;
            sockaddr_in to = testnet::loopback(rtp_port());
            while (!stop) {
                for (Fd &f : from) {
                    bytes::put_le32(hello.data() + 12, rng());
                    if (f.get() >= 0 && ::sendto(f.get(), hello.data(), hello.size(), 0,
                                                 reinterpret_cast<sockaddr *>(&to), sizeof to) > 0)
                        hellos++;
                }
                // About 30000 a second: a flood, but the 2-core test machine
                // keeps some time for the gateway.
                std::this_thread::sleep_for(2ms);
            }
        });

        // Meanwhile the gateway comes back and talks.
        ASSERT_NO_FATAL_FAILURE(gateway_logs_in());
        ASSERT_NO_FATAL_FAILURE(gateway_talks());
        rss_peak = std::max(rss_peak, rss_kb(pid));

        extended.join();
        trickle.join();
        rss_peak = std::max(rss_peak, rss_kb(pid));
        stop = true;
        flood.join();

        double slowest_close = 0;
        int never_closed = 0;
        for (int i = 0; i < kSlow; ++i) {
            if (slow_closed[i] < 0 && testnet::closed_by_peer(slow[i].get(), 30000))
                slow_closed[i] = seconds_since(slow_start);
            if (slow_closed[i] < 0)
                never_closed++;
            slowest_close = std::max(slowest_close, slow_closed[i]);
        }
        std::printf("round %d: %d trickling peers closed after at most %.1f s; %d/%d oversized dropped, "
                    "%d/%d 1 MiB messages refused; %ld hellos; gatesimd rss %ld kB\n",
                    round, kSlow - never_closed, slowest_close, oversized_closed, kOversized, largest_denied,
                    kLargest, hellos.load(), rss_kb(pid));
        EXPECT_EQ(never_closed, 0) << "a peer trickling bytes kept its slot";
        EXPECT_LE(slowest_close, 40.0);
        EXPECT_EQ(oversized_closed, kOversized);
        EXPECT_EQ(largest_denied, kLargest);
        // The gateway is still logged in and talks after the storm.
        ASSERT_NO_FATAL_FAILURE(gateway_talks());
    }
    const long rss_after = rss_kb(pid);
    std::printf("gatesimd rss: %ld kB before, %ld kB at the peak, %ld kB after\n", rss_before, rss_peak,
                rss_after);
    // A 1 MiB message is read whole into a buffer freed right after; malloc
    // keeps such buffers in its per-thread arenas for reuse, so the level
    // rises to a plateau (about 16 MiB above the start with eight at a time)
    // instead of returning to the start; the bound leaves room for it.
    if (!sanitized_build) {
        EXPECT_LE(rss_peak, rss_before + 40 * 1024);
        EXPECT_LE(rss_after, rss_before + 40 * 1024);
    }
}

} // namespace
