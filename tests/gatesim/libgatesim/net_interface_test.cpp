// A host that uses libgatesim's building blocks directly, as their exported
// interface declares them, linked against the shared library.
#include "gatesim/libgatesim_net.h"
#include "tests/gatesim/net_helpers.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/socket.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

using namespace testnet;

namespace
{

TEST(NetInterface, EventQueueHandsOutMallocedCopiesUrgentFirst)
{
    EventQ q;
    ASSERT_EQ(q.PutEvent("normal", 6, false), 0);
    ASSERT_EQ(q.PutEvent("urgent", 6, true), 0);
    EXPECT_EQ(q.GetSize(), 2);
    char *out = nullptr;
    ASSERT_EQ(q.GetEvent(&out), 6);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(std::string(out, 6), "urgent");
    std::free(out);
    ASSERT_EQ(q.GetEvent(&out), 6);
    EXPECT_EQ(std::string(out, 6), "normal");
    std::free(out);
    q.Kill();
    EXPECT_EQ(q.GetEvent(&out), -1);
    EXPECT_EQ(out, nullptr);
}

TEST(NetInterface, TcpServerRunsTheHostsHandlerPerConnection)
{
    std::atomic<int> served{0}, ended{0};
    tcpkit::TcpServer server(
        0, 4, "127.0.0.1",
        [&](tcpkit::client *c) {
            // Runs only once serving started, long after construction.
            char word[4];
            if (server.Read(c, word, 4) == 4 && std::memcmp(word, "\1\2\3\4", 4) == 0)
                ++served;
            return 0;
        },
        [&](tcpkit::client *) {
            ++ended;
            return 0;
        });
    ASSERT_EQ(server.IsInitialized(), 1);
    ASSERT_GT(server.GetPort(), 0);
    ASSERT_EQ(server.StartServing(), 0);
    Fd a = tcp_connect(server.GetPort());
    ASSERT_GE(a.get(), 0);
    ASSERT_TRUE(send_all(a.get(), {1, 2, 3, 4}));
    EXPECT_TRUE(closed_by_peer(a.get()));
    EXPECT_TRUE(wait_until([&] { return ended.load() == 1; }));
    EXPECT_EQ(served.load(), 1);
    EXPECT_TRUE(wait_until([&] { return server.GetClientsNum() == 0; }));
}

TEST(NetInterface, UdpHelpersBindSendAndReceive)
{
    int port = free_port(SOCK_DGRAM);
    int s = n_udp::bind(port, n_udp::str2addr("127.0.0.1"), nullptr);
    ASSERT_GE(s, 0);
    int t = n_udp::bind(0, n_udp::str2addr("127.0.0.1"), nullptr);
    ASSERT_GE(t, 0);
    ASSERT_EQ(n_udp::sendto(t, "ping", 4, n_udp::str2addr("127.0.0.1"), port), 4);
    ASSERT_TRUE(readable(s, timeout_ms));
    char buf[8];
    uint32_t from = 0;
    int from_port = 0;
    EXPECT_EQ(n_udp::recvfrom(s, buf, sizeof buf, &from, &from_port), 4);
    EXPECT_EQ(n_udp::addr2str(from), "127.0.0.1");
    EXPECT_GT(from_port, 0);
    EXPECT_EQ(n_udp::str2addr("not an address"), 0xFFFFFFFFu);
    n_udp::close(s);
    n_udp::close(t);
    EXPECT_EQ(s, -1);
}

} // namespace
