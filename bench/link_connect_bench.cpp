// Binary server link timing on loopback:
//  - from the server accepting a connection to cb_conn_connected (version info,
//    login request and login result in between), plain TCP and TLS;
//  - from the server dropping a logged-in connection to the link's next
//    connect attempt (its accept);
//  - reference: a bare loopback connect, accept and 20-byte round trip.
// The product's log lines go to /dev/null; the table goes to standard output.
#include "link/roip_conn.h"

#include "tests/link/link_test_support.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <fstream>
#include <iostream>

using namespace linktest;

namespace
{

void run_login(benchmark::State &state, bool tls)
{
    Recorder rec;
    FakeServer srv(tls);
    class_roip_conn conn(&rec, "127.0.0.1", srv.port(), "bench", "pw", 8000, tls ? 1 : 0);
    conn.start();
    conn.go();
    int n = 0;
    for (auto _ : state) {
        auto peer = srv.accept();
        auto t0 = Clock::now();
        if (!peer || !peer->send(proto::build_version_info(version(1, 5))) || !peer->recv(72) ||
            !peer->send(proto::build_login_result(login_result())) || !rec.wait("connected", ++n)) {
            state.SkipWithError("login failed");
            break;
        }
        auto t1 = Clock::now();
        state.SetIterationTime(std::chrono::duration<double>(t1 - t0).count());
        peer->close();
        if (!rec.wait("disconnected", n)) {
            state.SkipWithError("no disconnect");
            break;
        }
    }
}

void BM_AcceptToConnectedTcp(benchmark::State &state)
{
    run_login(state, false);
}

void BM_AcceptToConnectedTls(benchmark::State &state)
{
    run_login(state, true);
}

void BM_DeadServerToReconnect(benchmark::State &state)
{
    Recorder rec;
    FakeServer srv;
    class_roip_conn conn(&rec, "127.0.0.1", srv.port(), "bench", "pw", 8000, 0);
    conn.start();
    conn.go();
    auto peer = accept_login(srv);
    int n = 1;
    if (!peer || !rec.wait("connected", n)) {
        state.SkipWithError("login failed");
        return;
    }
    for (auto _ : state) {
        auto t0 = Clock::now();
        peer->abort();
        peer = srv.accept();
        auto t1 = Clock::now();
        if (!peer) {
            state.SkipWithError("no reconnect");
            break;
        }
        state.SetIterationTime(std::chrono::duration<double>(t1 - t0).count());
        if (!peer->send(proto::build_version_info(version(1, 5))) || !peer->recv(72) ||
            !peer->send(proto::build_login_result(login_result())) || !rec.wait("connected", ++n)) {
            state.SkipWithError("login failed");
            break;
        }
    }
}

// Reference: what loopback itself costs for a connect and one exchange.
void BM_ReferenceLoopbackConnectRoundTrip(benchmark::State &state)
{
    FakeServer srv;
    for (auto _ : state) {
        int c = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        sa.sin_port = htons(static_cast<uint16_t>(srv.port()));
        auto t0 = Clock::now();
        if (::connect(c, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
            ::close(c);
            state.SkipWithError("connect failed");
            break;
        }
        auto peer = srv.accept();
        uint8_t buf[20];
        peer->send(Bytes(20, 1));
        ssize_t got = 0;
        while (got < 20) {
            ssize_t r = ::recv(c, buf + got, static_cast<size_t>(20 - got), 0);
            if (r <= 0)
                break;
            got += r;
        }
        auto t1 = Clock::now();
        state.SetIterationTime(std::chrono::duration<double>(t1 - t0).count());
        ::close(c);
    }
}

} // namespace

BENCHMARK(BM_ReferenceLoopbackConnectRoundTrip)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_AcceptToConnectedTcp)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_AcceptToConnectedTls)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DeadServerToReconnect)->UseManualTime()->Unit(benchmark::kMicrosecond);

int main(int argc, char **argv)
{
    // The link logs every login on standard output; keep the table readable.
    fflush(stdout);
    int table = dup(1);
    int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    dup2(null, 1);
    close(null);
    std::ofstream out("/proc/self/fd/" + std::to_string(table));

    std::streambuf *saved = std::cout.rdbuf(out.rdbuf());

    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::cout.rdbuf(saved);
    return 0;
}
