// Stream transports: exact-length reads and writes over TCP and TLS, closing,
// reconnecting, releasing, and the 15 s receive time-out.
#include "link/connection_ssl.h"
#include "link/connection_tcp.h"

#include "link_test_support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <shared_mutex>
#include <thread>

using namespace linktest;
using namespace std::chrono_literals;

namespace
{

std::unique_ptr<c_connection> make(bool tls, int port, int timeout = 15)
{
    if (tls)
        return std::make_unique<c_connection_ssl>("127.0.0.1", port, timeout, -1);
    return std::make_unique<c_connection_tcp>("127.0.0.1", port, timeout, -1);
}

// Runs the client's connect while the fake server accepts on this thread.
std::unique_ptr<Peer> connect_pair(c_connection &c, FakeServer &srv)
{
    int r = -1;
    std::thread t([&] { r = c.connect(); });
    auto peer = srv.accept();
    t.join();
    if (r != 0)
        return nullptr;
    return peer;
}

} // namespace

class Transport : public ::testing::TestWithParam<bool>
{
};

TEST_P(Transport, ExactReadsAcrossFragmentsAndWrites)
{
    FakeServer srv(GetParam());
    auto c = make(GetParam(), srv.port());
    auto peer = connect_pair(*c, srv);
    ASSERT_TRUE(peer);

    std::thread t([&] {
        peer->send({1, 2, 3});
        peer->send({4, 5});
        peer->send({6, 7, 8, 9, 10});
    });
    uint8_t buf[10] = {};
    EXPECT_EQ(c->read(buf, 10), 10);
    t.join();
    EXPECT_EQ(Bytes(buf, buf + 10), (Bytes{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));

    const uint8_t out[] = {0xDE, 0xAD};
    int w = c->write(out, 2);
    EXPECT_EQ(w, GetParam() ? 2 : 0);
    EXPECT_EQ(peer->recv(2), (Bytes{0xDE, 0xAD}));

    Bytes big(200000);
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<uint8_t>(i);
    std::optional<Bytes> got;
    std::thread rt([&] { got = peer->recv(big.size()); });
    EXPECT_GE(c->write(big.data(), static_cast<int>(big.size())), 0);
    rt.join();
    EXPECT_EQ(got, big);
}

TEST_P(Transport, ZeroLengthReadTouchesNothing)
{
    auto c = make(GetParam(), 1);
    uint8_t b;
    EXPECT_EQ(c->read(&b, 0), 0);
    EXPECT_EQ(c->read(&b, -5), 0);
    EXPECT_EQ(c->read(&b, 1), -1);
}

TEST_P(Transport, WriteWithoutConnectionFails)
{
    auto c = make(GetParam(), 1);
    uint8_t b = 0;
    EXPECT_LT(c->write(&b, 1), 0);
    EXPECT_EQ(c->close(), 0);
}

TEST_P(Transport, PeerCloseFailsTheRead)
{
    FakeServer srv(GetParam());
    auto c = make(GetParam(), srv.port());
    auto peer = connect_pair(*c, srv);
    ASSERT_TRUE(peer);
    peer->send({1, 2});
    peer->close();
    uint8_t buf[4];
    EXPECT_EQ(c->read(buf, 4), -1);
}

TEST_P(Transport, ConnectRefusedFails)
{
    int port;
    {
        FakeServer srv(GetParam());
        port = srv.port();
    }
    auto c = make(GetParam(), port);
    EXPECT_EQ(c->connect(), -1);
}

TEST_P(Transport, ConnectOnOpenObjectClosesTheOldConnection)
{
    FakeServer srv(GetParam());
    auto c = make(GetParam(), srv.port());
    auto first = connect_pair(*c, srv);
    ASSERT_TRUE(first);
    auto second = connect_pair(*c, srv);
    ASSERT_TRUE(second);
    EXPECT_TRUE(first->wait_closed());
    const uint8_t out[] = {7};
    EXPECT_GE(c->write(out, 1), 0);
    EXPECT_EQ(second->recv(1), (Bytes{7}));
}

TEST_P(Transport, CloseFromAnotherThreadEndsAPendingRead)
{
    FakeServer srv(GetParam());
    auto c = make(GetParam(), srv.port());
    auto peer = connect_pair(*c, srv);
    ASSERT_TRUE(peer);
    int r = 0;
    std::atomic<bool> entered{false};
    std::thread t([&] {
        uint8_t buf[4];
        entered = true;
        r = c->read(buf, 4);
    });
    while (!entered)
        std::this_thread::yield();
    EXPECT_EQ(c->close(), 0);
    t.join(); // a hang here would be the 15 s time-out, not the close
    EXPECT_EQ(r, -1);
    EXPECT_TRUE(peer->wait_closed());
}

TEST_P(Transport, MutexIsRecursive)
{
    auto c = make(GetParam(), 1);
    std::recursive_mutex *m = c->mutex();
    ASSERT_NE(m, nullptr);
    m->lock();
    EXPECT_TRUE(m->try_lock());
    m->unlock();
    m->unlock();
}

INSTANTIATE_TEST_SUITE_P(TcpAndTls, Transport, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool> &i) {
                             return i.param ? std::string("tls") : std::string("tcp");
                         });

TEST(TcpTransport, ReleaseHandsOverTheSocket)
{
    FakeServer srv;
    c_connection_tcp c("127.0.0.1", srv.port(), 15, -1);
    auto peer = connect_pair(c, srv);
    ASSERT_TRUE(peer);
    int fd = c.release();
    ASSERT_GE(fd, 0);
    EXPECT_EQ(c.release(), -1);
    uint8_t b;
    EXPECT_EQ(c.read(&b, 1), -1);
    // The descriptor still works for its new owner.
    ASSERT_EQ(::send(fd, "x", 1, MSG_NOSIGNAL), 1);
    EXPECT_EQ(peer->recv(1), (Bytes{'x'}));
    ::close(fd);
}

namespace
{

// Shows the transport's socket and its socket lock, to observe the order in
// which connect publishes one and takes the other.
class ProbedTcp : public c_connection_tcp
{
  public:
    using c_connection_tcp::c_connection_tcp;
    std::shared_mutex &socket_lock() { return m_io; }
    int socket() const { return m_fd; }
};

} // namespace

// Between publishing the new socket and running ::connect on it, a close()
// from another thread must not be able to release the descriptor (connect
// would then run on a closed or reused number): the socket is visible to
// closers only once connect holds the lock that close waits for.
TEST(TcpTransport, SocketIsPublishedOnlyUnderTheConnectsLock)
{
    FakeServer srv;
    ProbedTcp c("127.0.0.1", srv.port(), 15, -1);
    int rc = 1;
    std::thread connecting;
    {
        // A closer in the middle of releasing a socket holds this lock.
        std::unique_lock<std::shared_mutex> closing(c.socket_lock());
        connecting = std::thread([&] { rc = c.connect(); });
        auto until = Clock::now() + 500ms;
        bool published = false;
        while (!published && Clock::now() < until) {
            published = c.socket() >= 0;
            std::this_thread::sleep_for(5ms);
        }
        EXPECT_FALSE(published) << "the socket was visible to closers before connect could use it";
    }
    connecting.join();
    EXPECT_EQ(rc, 0);
    EXPECT_GE(c.socket(), 0);
    // A close from another thread right after still works.
    std::thread([&] { EXPECT_EQ(c.close(), 0); }).join();
    EXPECT_LT(c.socket(), 0);
}

TEST(TcpTransport, KeepAliveOptionsAreApplied)
{
    FakeServer srv;
    c_connection_tcp c("127.0.0.1", srv.port(), 15, 1);
    auto peer = connect_pair(c, srv);
    ASSERT_TRUE(peer);
    int fd = c.release();
    ASSERT_GE(fd, 0);
    int v = 0;
    socklen_t l = sizeof v;
    getsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &v, &l);
    EXPECT_EQ(v, 1);
    getsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &v, &l);
    EXPECT_EQ(v, 7);
    getsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &v, &l);
    EXPECT_EQ(v, 7);
    getsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &v, &l);
    EXPECT_EQ(v, 2);
    timeval tv{};
    l = sizeof tv;
    getsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, &l);
    EXPECT_EQ(tv.tv_sec, 15);
    getsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, &l);
    EXPECT_EQ(tv.tv_sec, 15);
    ::close(fd);
}

TEST(TcpTransport, NoKeepAliveByDefault)
{
    FakeServer srv;
    c_connection_tcp c("127.0.0.1", srv.port(), 15, -1);
    auto peer = connect_pair(c, srv);
    ASSERT_TRUE(peer);
    int fd = c.release();
    int v = 1;
    socklen_t l = sizeof v;
    getsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &v, &l);
    EXPECT_EQ(v, 0);
    ::close(fd);
}

TEST(TcpTransport, SilentPeerTimesOutAfterFifteenSeconds)
{
    FakeServer srv;
    c_connection_tcp c("127.0.0.1", srv.port(), 15, -1);
    auto peer = connect_pair(c, srv);
    ASSERT_TRUE(peer);
    auto t0 = Clock::now();
    uint8_t b;
    EXPECT_EQ(c.read(&b, 1), -1);
    EXPECT_GE(Clock::now() - t0, 14s);
}

TEST(TlsTransport, SilentPeerTimesOutAfterFifteenSeconds)
{
    FakeServer srv(true);
    c_connection_ssl c("127.0.0.1", srv.port(), 15, -1);
    auto peer = connect_pair(c, srv);
    ASSERT_TRUE(peer);
    auto t0 = Clock::now();
    uint8_t b;
    EXPECT_EQ(c.read(&b, 1), -1);
    EXPECT_GE(Clock::now() - t0, 14s);
}

TEST(TlsTransport, HandshakeWithNonTlsServerFails)
{
    FakeServer srv(false);
    c_connection_ssl c("127.0.0.1", srv.port(), 15, -1);
    int r = 0;
    std::thread t([&] { r = c.connect(); });
    auto peer = srv.accept();
    ASSERT_TRUE(peer);
    peer->send(Bytes(64, 'H')); // not a TLS record
    peer->close();
    t.join();
    EXPECT_EQ(r, -1);
    uint8_t b = 0;
    EXPECT_EQ(c.write(&b, 1), -1);
}

TEST(TlsTransport, NegotiatesTheHighestVersion)
{
    FakeServer srv(true);
    c_connection_ssl c("127.0.0.1", srv.port(), 15, -1);
    auto peer = connect_pair(c, srv);
    ASSERT_TRUE(peer);
    // The client's view is not exposed; the server's is enough.
    const uint8_t out[] = {1};
    EXPECT_EQ(c.write(out, 1), 1);
    EXPECT_EQ(peer->recv(1), (Bytes{1}));
    EXPECT_EQ(peer->tls_version(), TLS1_3_VERSION);
}

TEST(TlsTransport, ConcurrentReadAndWrite)
{
    FakeServer srv(true);
    c_connection_ssl c("127.0.0.1", srv.port(), 15, -1);
    auto peer = connect_pair(c, srv);
    ASSERT_TRUE(peer);
    constexpr int n = 300;
    std::thread writer([&] {
        uint8_t m[64];
        for (int i = 0; i < n; ++i) {
            std::memset(m, i & 0xFF, sizeof m);
            ASSERT_EQ(c.write(m, sizeof m), 64);
        }
    });
    std::thread echo([&] {
        for (int i = 0; i < n; ++i) {
            auto m = peer->recv(64);
            ASSERT_TRUE(m);
            ASSERT_TRUE(peer->send(*m));
        }
    });
    for (int i = 0; i < n; ++i) {
        uint8_t m[64];
        ASSERT_EQ(c.read(m, 64), 64);
        ASSERT_EQ(m[0], i & 0xFF);
        ASSERT_EQ(m[63], i & 0xFF);
    }
    writer.join();
    echo.join();
}
