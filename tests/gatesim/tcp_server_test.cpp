#include "gatesim/tcp_server.h"
#include "tests/gatesim/net_helpers.h"

#include <atomic>
#include <gtest/gtest.h>
#include <memory>
#include <netinet/tcp.h>

using namespace testnet;

namespace
{

// A tiny stand-in protocol: the server greets with 'H'; the client sends one
// byte per command: 'L' logs in (events on), 'D' turns events off, 'U' calls
// UpgradeStop keeping this client, 'Q' ends. Each command is answered 'k'.
class Fixture : public ::testing::Test
{
  protected:
    void start(int max_clients, bool serve = true)
    {
        server = std::make_unique<tcpkit::TcpServer>(
            0, max_clients, "127.0.0.1", [this](tcpkit::client *c) { return process(c); },
            [this](tcpkit::client *) {
                disconnects++;
                return 0;
            });
        ASSERT_EQ(server->IsInitialized(), 1);
        if (serve)
            server->StartServing();
    }

    int process(tcpkit::client *c)
    {
        processes++;
        if (server->Write(c, "H", 1) != 1)
            return 0;
        char cmd;
        while (server->Read(c, &cmd, 1) == 1) {
            switch (cmd) {
            case 'L':
                c->privilege = 1;
                if (c->async_state == 1)
                    c->async_state = 0;
                break;
            case 'D':
                c->async_state = 2;
                break;
            case 'U':
                server->UpgradeStop(c);
                break;
            case 'Q':
                return 0;
            }
            server->Write(c, "k", 1);
        }
        return 0;
    }

    Fd connect_greeted()
    {
        Fd s = tcp_connect(server->GetPort());
        EXPECT_GE(s.get(), 0);
        EXPECT_EQ(read_n(s.get(), 1), std::vector<uint8_t>{'H'});
        return s;
    }

    void command(const Fd &s, char cmd)
    {
        ASSERT_TRUE(send_all(s.get(), {static_cast<uint8_t>(cmd)}));
        ASSERT_EQ(read_n(s.get(), 1), std::vector<uint8_t>{'k'});
    }

    std::atomic<int> processes{0};
    std::atomic<int> disconnects{0};
    std::unique_ptr<tcpkit::TcpServer> server;
};

using TcpServerLifecycle = Fixture;
using TcpServerLimits = Fixture;
using TcpServerBroadcast = Fixture;
using TcpServerUpgradeStop = Fixture;
using TcpServerIo = Fixture;

TEST_F(TcpServerLifecycle, BindsAnEphemeralPortOnLoopback)
{
    start(4);
    EXPECT_GT(server->GetPort(), 0);
    EXPECT_EQ(server->GetClientsNum(), 0);
}

TEST(TcpServerConstruction, APortInUseLeavesItUninitialized)
{
    tcpkit::TcpServer a(0, 1, "127.0.0.1", nullptr, nullptr);
    ASSERT_EQ(a.IsInitialized(), 1);
    tcpkit::TcpServer b(a.GetPort(), 1, "127.0.0.1", nullptr, nullptr);
    EXPECT_EQ(b.IsInitialized(), 0);
}

TEST(TcpServerConstruction, AnAddressThatIsNotLocalLeavesItUninitialized)
{
    // 192.0.2.1 (TEST-NET-1) is never a local address: bind fails, nothing is sent.
    tcpkit::TcpServer s(0, 1, "192.0.2.1", nullptr, nullptr);
    EXPECT_EQ(s.IsInitialized(), 0);
}

TEST_F(TcpServerLifecycle, NothingIsServedBeforeStartServing)
{
    start(4, false);
    Fd s = tcp_connect(server->GetPort()); // completes in the backlog
    ASSERT_GE(s.get(), 0);
    EXPECT_FALSE(readable(s.get(), 200));
    EXPECT_EQ(processes.load(), 0);
    server->StartServing();
    EXPECT_EQ(read_n(s.get(), 1), std::vector<uint8_t>{'H'});
}

TEST_F(TcpServerLifecycle, ClientIsListedWhileConnectedAndFreedAfterDisconnect)
{
    start(4);
    {
        Fd a = connect_greeted();
        Fd b = connect_greeted();
        EXPECT_EQ(server->GetClientsNum(), 2);
    }
    EXPECT_TRUE(wait_until([&] { return server->GetClientsNum() == 0; }));
    EXPECT_TRUE(wait_until([&] { return disconnects.load() == 2; }));
}

TEST_F(TcpServerLifecycle, DisconnectCallbackRunsWhenTheHandlerEnds)
{
    start(4);
    Fd a = connect_greeted();
    ASSERT_TRUE(send_all(a.get(), {'Q'}));
    EXPECT_TRUE(closed_by_peer(a.get()));
    EXPECT_TRUE(wait_until([&] { return disconnects.load() == 1; }));
}

TEST_F(TcpServerLifecycle, DestructionCutsConnectedClientsAndJoinsTheirThreads)
{
    start(4);
    Fd a = connect_greeted();
    Fd b = connect_greeted();
    server->Stop(); // the handlers use `server` until their threads are joined
    EXPECT_EQ(disconnects.load(), 2);
    server.reset();
    EXPECT_TRUE(closed_by_peer(a.get()));
    EXPECT_TRUE(closed_by_peer(b.get()));
}

TEST_F(TcpServerLifecycle, DestructionBeforeStartServingReturns)
{
    start(4, false);
    Fd s = tcp_connect(server->GetPort());
    server->Stop();
    EXPECT_EQ(processes.load(), 0);
}

TEST_F(TcpServerLimits, ASecondConnectionIsClosedAtOnceWithALimitOfOne)
{
    start(1);
    Fd a = connect_greeted();
    Fd b = tcp_connect(server->GetPort());
    ASSERT_GE(b.get(), 0);
    EXPECT_TRUE(closed_by_peer(b.get()));
    command(a, 'L'); // the first one is still served
    EXPECT_EQ(processes.load(), 1);
}

TEST_F(TcpServerLimits, ABurstOfConnectionsNeverExceedsTheLimit)
{
    start(3);
    std::vector<Fd> fds;
    for (int i = 0; i < 10; i++)
        fds.push_back(tcp_connect(server->GetPort()));
    int served = 0, closed = 0;
    for (auto &f : fds) {
        std::vector<uint8_t> hello = read_n(f.get(), 1);
        if (hello == std::vector<uint8_t>{'H'})
            served++;
        else
            closed++;
    }
    EXPECT_EQ(served, 3);
    EXPECT_EQ(closed, 7);
}

TEST_F(TcpServerLimits, ALimitOfZeroClosesEveryConnection)
{
    start(0);
    Fd a = tcp_connect(server->GetPort());
    EXPECT_TRUE(closed_by_peer(a.get()));
    EXPECT_EQ(processes.load(), 0);
}

TEST_F(TcpServerLimits, AFreedSlotIsReused)
{
    start(1);
    {
        Fd a = connect_greeted();
    }
    ASSERT_TRUE(wait_until([&] { return server->GetClientsNum() == 0; }));
    Fd b = connect_greeted();
    command(b, 'L');
}

TEST_F(TcpServerBroadcast, ReachesOnlyLoggedInClientsWithEventsOn)
{
    start(8);
    Fd fresh = connect_greeted();
    Fd on = connect_greeted();
    Fd off = connect_greeted();
    command(on, 'L');
    command(off, 'L');
    command(off, 'D');
    EXPECT_EQ(server->AsyncWriteGroup("EVT", 3, false, nullptr), 0);
    EXPECT_EQ(read_n(on.get(), 3), (std::vector<uint8_t>{'E', 'V', 'T'}));
    EXPECT_FALSE(readable(fresh.get(), 200));
    EXPECT_FALSE(readable(off.get(), 0));
}

TEST_F(TcpServerBroadcast, EventsOffBeforeLoginStayOff)
{
    start(8);
    Fd s = connect_greeted();
    command(s, 'D');
    command(s, 'L');
    server->AsyncWriteGroup("EVT", 3, true, nullptr);
    EXPECT_FALSE(readable(s.get(), 200));
}

TEST_F(TcpServerBroadcast, EventsArriveWholeAndInOrderAmongResponses)
{
    start(8);
    Fd s = connect_greeted();
    command(s, 'L');
    std::thread host([&] {
        for (int i = 0; i < 50; i++)
            server->AsyncWriteGroup("<event>", 7, false, nullptr);
    });
    // Responses and events share the stream; every event must stay whole.
    int events = 0;
    std::vector<uint8_t> rest;
    for (int i = 0; i < 20; i++)
        ASSERT_TRUE(send_all(s.get(), {'L'}));
    host.join();
    std::vector<uint8_t> all = read_n(s.get(), 20 + 50 * 7);
    std::string text(all.begin(), all.end());
    size_t pos = 0;
    while ((pos = text.find("<event>", pos)) != std::string::npos) {
        events++;
        pos += 7;
    }
    EXPECT_EQ(events, 50);
    EXPECT_EQ(text.size(), 20u + 50u * 7u);
}

TEST_F(TcpServerUpgradeStop, KeepsOneClientCutsTheOthersAndRefusesNewOnes)
{
    start(8);
    Fd a = connect_greeted();
    Fd b = connect_greeted();
    Fd c = connect_greeted();
    command(a, 'U');
    EXPECT_TRUE(closed_by_peer(b.get()));
    EXPECT_TRUE(closed_by_peer(c.get()));
    Fd d = tcp_connect(server->GetPort());
    EXPECT_TRUE(closed_by_peer(d.get()));
    command(a, 'L');
    EXPECT_TRUE(wait_until([&] { return server->GetClientsNum() == 1; }));
}

TEST_F(TcpServerIo, AcceptedSocketsGetKeepAliveAndUserTimeout)
{
    Fd s(::socket(AF_INET, SOCK_STREAM, 0));
    tcpkit::TcpServer::SetSocketOpts(s.get());
    int v = 0;
    socklen_t len = sizeof v;
    getsockopt(s.get(), SOL_SOCKET, SO_KEEPALIVE, &v, &len);
    EXPECT_EQ(v, 1);
    getsockopt(s.get(), IPPROTO_TCP, TCP_KEEPIDLE, &v, &len);
    EXPECT_EQ(v, 10);
    getsockopt(s.get(), IPPROTO_TCP, TCP_KEEPCNT, &v, &len);
    EXPECT_EQ(v, 3);
    getsockopt(s.get(), IPPROTO_TCP, TCP_KEEPINTVL, &v, &len);
    EXPECT_EQ(v, 1);
    getsockopt(s.get(), IPPROTO_TCP, TCP_USER_TIMEOUT, &v, &len);
    EXPECT_EQ(v, 15000);
}

TEST_F(TcpServerIo, WriteToAClosedPeerFailsWithoutKillingTheProcess)
{
    std::atomic<bool> wrote_after_close{false};
    std::atomic<int> last{1};
    server = std::make_unique<tcpkit::TcpServer>(
        0, 2, "127.0.0.1",
        [&](tcpkit::client *c) {
            char b;
            server->Read(c, &b, 1); // the peer closes
            std::vector<char> big(1 << 16, 'x');
            int r = 0;
            for (int i = 0; i < 64 && r >= 0; i++)
                r = server->Write(c, big.data(), static_cast<int>(big.size()));
            last = r;
            wrote_after_close = true;
            return 0;
        },
        nullptr);
    ASSERT_EQ(server->IsInitialized(), 1);
    server->StartServing();
    {
        Fd s = tcp_connect(server->GetPort());
        ASSERT_TRUE(send_all(s.get(), {'x'}));
        ::shutdown(s.get(), SHUT_RDWR);
    }
    ASSERT_TRUE(wait_until([&] { return wrote_after_close.load(); }));
    EXPECT_EQ(last.load(), -1);
}

TEST_F(TcpServerIo, ReadReturnsZeroWhenThePeerClosesMidMessage)
{
    std::atomic<int> result{1};
    std::atomic<bool> done{false};
    server = std::make_unique<tcpkit::TcpServer>(
        0, 2, "127.0.0.1",
        [&](tcpkit::client *c) {
            char buf[8];
            result = server->Read(c, buf, sizeof buf);
            done = true;
            return 0;
        },
        nullptr);
    server->StartServing();
    {
        Fd s = tcp_connect(server->GetPort());
        ASSERT_TRUE(send_all(s.get(), {1, 2, 3}));
    }
    ASSERT_TRUE(wait_until([&] { return done.load(); }));
    EXPECT_EQ(result.load(), 0);
}

TEST_F(TcpServerIo, ReadCollectsAMessageSentInPieces)
{
    std::atomic<bool> done{false};
    std::vector<uint8_t> got;
    server = std::make_unique<tcpkit::TcpServer>(
        0, 2, "127.0.0.1",
        [&](tcpkit::client *c) {
            char buf[6];
            if (server->Read(c, buf, sizeof buf) == 6)
                got.assign(buf, buf + 6);
            done = true;
            return 0;
        },
        nullptr);
    server->StartServing();
    Fd s = tcp_connect(server->GetPort());
    int one = 1;
    setsockopt(s.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    for (uint8_t b = 1; b <= 6; b++)
        ASSERT_TRUE(send_all(s.get(), {b}));
    ASSERT_TRUE(wait_until([&] { return done.load(); }));
    EXPECT_EQ(got, (std::vector<uint8_t>{1, 2, 3, 4, 5, 6}));
}

} // namespace

namespace
{

// A gateway that stops reading keeps at most 64 events queued; the others
// still get every event.
TEST(TcpServerSlowClient, The65thEventForAStalledClientIsDroppedForItAlone)
{
    std::mutex lock;
    std::atomic<int> ended{0};
    std::vector<tcpkit::client *> clients;
    std::unique_ptr<tcpkit::TcpServer> server;
    server = std::make_unique<tcpkit::TcpServer>(
        0, 4, "127.0.0.1",
        [&](tcpkit::client *c) {
            c->privilege = 1;
            c->async_state = 0;
            {
                std::lock_guard<std::mutex> g(lock);
                if (clients.empty()) { // the one that will stall
                    int small = 4096;
                    setsockopt(c->socket, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
                }
                clients.push_back(c);
            }
            char b;
            while (server->Read(c, &b, 1) == 1) {
            }
            ended++;
            return 0;
        },
        nullptr);
    ASSERT_EQ(server->IsInitialized(), 1);
    server->StartServing();

    Fd stalled(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    int small = 4096;
    setsockopt(stalled.get(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in a = loopback(server->GetPort());
    ASSERT_EQ(::connect(stalled.get(), reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    ASSERT_TRUE(wait_until([&] {
        std::lock_guard<std::mutex> g(lock);
        return clients.size() == 1;
    }));
    Fd good = tcp_connect(server->GetPort());
    ASSERT_TRUE(wait_until([&] {
        std::lock_guard<std::mutex> g(lock);
        return clients.size() == 2;
    }));
    tcpkit::client *slow = clients[0], *fast = clients[1];

    constexpr size_t event_size = 1 << 20; // far more than the stalled socket holds
    std::atomic<size_t> received{0};
    std::thread reader([&] {
        std::vector<uint8_t> buf(1 << 16);
        while (received < 66 * event_size) {
            if (!readable(good.get(), timeout_ms))
                return;
            ssize_t r = ::recv(good.get(), buf.data(), buf.size(), 0);
            if (r <= 0)
                return;
            received += static_cast<size_t>(r);
        }
    });
    std::vector<char> event(event_size, 'e');
    bool paced = true;
    for (int i = 0; i < 66 && paced; i++) {
        server->AsyncWriteGroup(event.data(), event_size, false, nullptr);
        // Paced by the reading client, so only the stalled one falls behind.
        paced = wait_until([&] { return fast->queue->GetSize() == 0; });
        // After the first one the stalled client's writer is stuck writing it.
        if (i == 0)
            paced = paced && wait_until([&] { return slow->queue->GetSize() == 0; });
    }
    EXPECT_TRUE(paced);
    if (paced && ended.load() == 0) { // not cut off by the server or a time-out
        EXPECT_EQ(slow->queue->GetSize(), 64);
    }
    EXPECT_EQ(ended.load(), 0);
    reader.join();
    EXPECT_EQ(received.load(), 66 * event_size);
    server->Stop();
}

} // namespace
