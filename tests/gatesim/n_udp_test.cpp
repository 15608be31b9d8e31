#include "gatesim/n_udp.h"
#include "tests/gatesim/net_helpers.h"

#include <gtest/gtest.h>

using namespace testnet;

namespace
{

const uint32_t lo = htonl(INADDR_LOOPBACK);

TEST(NUdpAddresses, DottedTextRoundTrips)
{
    EXPECT_EQ(n_udp::str2addr("127.0.0.1"), lo);
    EXPECT_EQ(n_udp::addr2str(lo), "127.0.0.1");
    EXPECT_EQ(n_udp::addr2str(n_udp::str2addr("172.16.0.189")), "172.16.0.189");
    EXPECT_EQ(n_udp::addr2str(0), "0.0.0.0");
}

TEST(NUdpAddresses, GarbageTextIsNotAnAddress)
{
    EXPECT_EQ(n_udp::str2addr("not an address"), INADDR_NONE);
    EXPECT_EQ(n_udp::str2addr("300.1.1.1"), INADDR_NONE);
    EXPECT_EQ(n_udp::str2addr(""), INADDR_NONE);
    EXPECT_EQ(n_udp::str2addr(nullptr), INADDR_NONE);
}

TEST(NUdpSockets, BindSendAndReceiveWithHostOrderPorts)
{
    int a = n_udp::bind(0, lo, nullptr);
    int b = n_udp::bind(0, lo, nullptr);
    ASSERT_GE(a, 0);
    ASSERT_GE(b, 0);
    int port_b = local_port(b);
    ASSERT_EQ(n_udp::sendto(a, "hello", 5, lo, port_b), 5);
    char buf[16];
    uint32_t from = 0;
    int from_port = 0;
    ASSERT_TRUE(readable(b, timeout_ms));
    ASSERT_EQ(n_udp::recvfrom(b, buf, sizeof buf, &from, &from_port), 5);
    EXPECT_EQ(std::string(buf, 5), "hello");
    EXPECT_EQ(from, lo);
    EXPECT_EQ(from_port, local_port(a));
    n_udp::close(a);
    n_udp::shutdown(b);
    EXPECT_EQ(a, -1);
    EXPECT_EQ(b, -1);
}

TEST(NUdpSockets, BindToAMissingDeviceFails)
{
    EXPECT_EQ(n_udp::bind(0, lo, "no-such-device-with-a-long-name"), -1);
}

TEST(NUdpSockets, BindRejectsAnOutOfRangePort)
{
    EXPECT_EQ(n_udp::bind(70000, lo, nullptr), -1);
    EXPECT_EQ(n_udp::bind(-1, lo, nullptr), -1);
}

TEST(NUdpSockets, SendToPortZeroIsRefused)
{
    int a = n_udp::bind(0, lo, nullptr);
    ASSERT_GE(a, 0);
    EXPECT_EQ(n_udp::sendto(a, "x", 1, lo, 0), -1);
    n_udp::close(a);
}

TEST(NUdpSockets, CloseAndShutdownIgnoreNegativeDescriptors)
{
    int s = -1;
    n_udp::close(s);
    n_udp::shutdown(s);
    EXPECT_EQ(s, -1);
}

} // namespace
