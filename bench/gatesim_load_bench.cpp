// libgatesim under load: N gateways log in and stay connected while one talker
// streams 50 voice packets a second. Reports the relay's fan-out latency (the
// talker's send to each listener's receive), lost packets, the server's CPU
// per relayed packet, and its address space, resident memory and threads per
// connected gateway; beside it, in the same run, the floor: a bare sendto loop
// sending the same datagrams to the same listener sockets, 10 ms after each
// relayed packet, so that both see the same load on the machine. Binds only
// 127.0.0.1; run it inside a box (scripts/bench does).
#include "base/byteorder.h"
#include "gatesim/libgatesim.h"
#include "wire/roip_proto.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <benchmark/benchmark.h>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <mutex>
#include <netinet/in.h>
#include <set>
#include <string>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{

using Clock = std::chrono::steady_clock;
constexpr int packets_per_run = 250; // 5 s at 50 per second

sockaddr_in loopback(int port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

int free_port(int type)
{
    int s = socket(AF_INET, type, 0);
    sockaddr_in a = loopback(0);
    socklen_t len = sizeof a;
    bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a);
    getsockname(s, reinterpret_cast<sockaddr *>(&a), &len);
    close(s);
    return ntohs(a.sin_port);
}

bool read_n(int fd, void *buf, size_t n)
{
    size_t done = 0;
    while (done < n) {
        ssize_t r = recv(fd, static_cast<char *>(buf) + done, n - done, 0);
        if (r <= 0)
            return false;
        done += static_cast<size_t>(r);
    }
    return true;
}

bool send_n(int fd, const std::vector<uint8_t> &b)
{
    return send(fd, b.data(), b.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(b.size());
}

struct Gw {
    int tcp = -1;
    int udp = -1;
    int sync = 0;
};

// Thread CPU in nanoseconds from /proc/self/task/TID/stat (utime + stime).
double thread_cpu_seconds(const std::string &tid)
{
    FILE *f = fopen(("/proc/self/task/" + tid + "/stat").c_str(), "r");
    if (f == nullptr)
        return 0;
    char buf[1024];
    size_t n = fread(buf, 1, sizeof buf - 1, f);
    fclose(f);
    buf[n] = '\0';
    const char *p = strrchr(buf, ')');
    if (p == nullptr)
        return 0;
    unsigned long utime = 0, stime = 0;
    // Fields after the command: state(3) ... utime(14) stime(15).
    sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime, &stime);
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// CPU of every thread of the process except the bench's own.
double server_cpu_seconds(const std::set<std::string> &exclude)
{
    double total = 0;
    DIR *d = opendir("/proc/self/task");
    if (d == nullptr)
        return 0;
    while (dirent *e = readdir(d)) {
        if (e->d_name[0] == '.' || exclude.count(e->d_name))
            continue;
        total += thread_cpu_seconds(e->d_name);
    }
    closedir(d);
    return total;
}

// VmSize and VmRSS in KiB, and the number of threads.
struct Memory {
    long vsz = 0;
    long rss = 0;
    long threads = 0;
};

Memory memory()
{
    Memory m;
    FILE *f = fopen("/proc/self/status", "r");
    if (f == nullptr)
        return m;
    char line[256];
    while (fgets(line, sizeof line, f)) {
        sscanf(line, "VmSize: %ld", &m.vsz);
        sscanf(line, "VmRSS: %ld", &m.rss);
        sscanf(line, "Threads: %ld", &m.threads);
    }
    fclose(f);
    return m;
}

// Sequence number, the kind (0xEE relayed, 0xEF floor) and the send time.
void stamp(std::vector<uint8_t> &packet, int i, uint8_t kind, Clock::time_point sent)
{
    bytes::put_be16(packet.data() + 2, static_cast<uint16_t>(i));
    packet[12] = kind;
    int64_t ns = std::chrono::duration_cast<std::chrono::nanoseconds>(sent.time_since_epoch()).count();
    bytes::put_be32(packet.data() + 16, static_cast<uint32_t>(ns >> 32));
    bytes::put_be32(packet.data() + 20, static_cast<uint32_t>(ns));
}

std::string my_tid()
{
    return std::to_string(static_cast<long>(syscall(SYS_gettid)));
}

void BM_RelayFanOut(benchmark::State &state)
{
    const int n = static_cast<int>(state.range(0));
    std::set<std::string> bench_threads{my_tid()};
    std::shared_ptr<libgatesim> sim = libgatesim::create();
    sim->set_cb_info_ver([](libgatesim::s_info_ver &) { return 0; });
    sim->set_cb_login_req(
        [](libgatesim::s_login_req &r, const std::string &, const std::string &, const std::string &) {
            r.priv_level = 1;
            r.codec_type = 1;
            r.rtype0 = r.rtype1 = 0;
            return 0;
        });
    sim->set_cb_set_ptt([](int) { return 0; });
    int tcp_port = 0, rtp_port = 0;
    for (int attempt = 0; attempt < 10; attempt++) {
        tcp_port = free_port(SOCK_STREAM);
        rtp_port = free_port(SOCK_DGRAM);
        if (sim->init("127.0.0.1", tcp_port, n + 1, rtp_port) == 0)
            break;
        sim = libgatesim::create();
        sim->set_cb_info_ver([](libgatesim::s_info_ver &) { return 0; });
        sim->set_cb_login_req(
            [](libgatesim::s_login_req &r, const std::string &, const std::string &, const std::string &) {
                r.priv_level = 1;
                r.codec_type = 1;
                return 0;
            });
        sim->set_cb_set_ptt([](int) { return 0; });
    }

    // The first threads that allocate each get a malloc arena of their own
    // (64 MiB of address space each on a 64-bit host, up to eight per core):
    // a cost per process, not per gateway, so the memory per gateway is read
    // across the gateways that log in after those.
    const size_t warm = std::min(static_cast<size_t>(n) / 2,
                                 8 * static_cast<size_t>(std::max(1u, std::thread::hardware_concurrency())));
    Memory before;
    std::vector<Gw> gws(static_cast<size_t>(n));
    for (Gw &g : gws) {
        if (&g == &gws[warm])
            before = memory();
        g.tcp = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a = loopback(tcp_port);
        uint8_t buf[124];
        if (connect(g.tcp, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || !read_n(g.tcp, buf, 20) ||
            !send_n(g.tcp, proto::build_login_request("user", "qzv")) || !read_n(g.tcp, buf, 124)) {
            state.SkipWithError("login failed");
            return;
        }
        g.sync = static_cast<int>(bytes::get_le32(buf + 4 + 16));
        g.udp = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_in u = loopback(0);
        bind(g.udp, reinterpret_cast<sockaddr *>(&u), sizeof u);
        int big = 1 << 20;
        setsockopt(g.udp, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
        std::vector<uint8_t> hello(172, 0);
        hello[0] = 0x80;
        hello[1] = 0x08;
        bytes::put_le32(hello.data() + 12, static_cast<uint32_t>(g.sync));
        sockaddr_in r = loopback(rtp_port);
        sendto(g.udp, hello.data(), hello.size(), 0, reinterpret_cast<sockaddr *>(&r), sizeof r);
    }
    // Everybody synced: the host's voice reaches all n.
    std::vector<uint8_t> probe(160, 0xD5);
    auto deadline = Clock::now() + std::chrono::seconds(30);
    while (sim->rtp_send(probe.data(), 160, 8) != n) {
        if (Clock::now() > deadline) {
            state.SkipWithError("gateways did not sync");
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    const Memory after = memory();

    Gw &talker = gws[0];
    uint8_t ack[44];
    if (!send_n(talker.tcp, proto::build_setptt(1)) || !read_n(talker.tcp, ack, 44)) {
        state.SkipWithError("ptt failed");
        return;
    }

    // One receiver thread for every listener socket.
    int ep = epoll_create1(EPOLL_CLOEXEC);
    for (size_t i = 1; i < gws.size(); i++) {
        uint8_t junk[512];
        while (recv(gws[i].udp, junk, sizeof junk, 0) > 0) {
        }
        epoll_event e{};
        e.events = EPOLLIN;
        e.data.fd = gws[i].udp;
        epoll_ctl(ep, EPOLL_CTL_ADD, gws[i].udp, &e);
    }
    std::atomic<bool> stop{false};
    std::atomic<size_t> arrived{0};
    std::vector<double> latencies_us, floor_us;
    latencies_us.reserve(static_cast<size_t>(packets_per_run) * static_cast<size_t>(n));
    floor_us.reserve(static_cast<size_t>(packets_per_run) * static_cast<size_t>(n));
    std::mutex tid_lock;
    std::thread receiver([&] {
        {
            std::lock_guard<std::mutex> g(tid_lock);
            bench_threads.insert(my_tid());
        }
        epoll_event ev[64];
        uint8_t buf[512];
        while (!stop) {
            int k = epoll_wait(ep, ev, 64, 50);
            for (int i = 0; i < k; i++) {
                ssize_t r;
                while ((r = recv(ev[i].data.fd, buf, sizeof buf, 0)) > 0) {
                    if (r != 172 || buf[1] != 0x08 || (buf[12] != 0xEE && buf[12] != 0xEF))
                        continue; // keep-alives, probes
                    int64_t sent =
                        static_cast<int64_t>(bytes::get_be32(buf + 16)) << 32 | bytes::get_be32(buf + 20);
                    int64_t now =
                        std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
                            .count();
                    (buf[12] == 0xEE ? latencies_us : floor_us)
                        .push_back(static_cast<double>(now - sent) / 1000.0);
                    arrived++;
                }
            }
        }
    });

    sockaddr_in relay = loopback(rtp_port);
    std::vector<uint8_t> packet(172, 0x55);
    packet[0] = 0x80;
    packet[1] = 0x08;
    double cpu0 = 0, cpu1 = 0, floor_cpu = 0;
    // The floor: the same datagrams sent by a bare sendto loop, from one
    // socket, to the same listener sockets the relay serves.
    std::vector<sockaddr_in> listeners;
    for (size_t i = 1; i < gws.size(); i++) {
        sockaddr_in a{};
        socklen_t len = sizeof a;
        getsockname(gws[i].udp, reinterpret_cast<sockaddr *>(&a), &len);
        listeners.push_back(a);
    }
    int bare = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    std::vector<uint8_t> floor_packet = packet;
    for (auto _ : state) {
        {
            std::lock_guard<std::mutex> g(tid_lock);
            cpu0 = server_cpu_seconds(bench_threads);
        }
        // Each 20 ms period: the talker's packet to the relay, and half a
        // period later the floor's burst. The floor's CPU is this thread's
        // (not counted as the server's); the relay's is every other thread's
        // but the receiver's.
        auto next = Clock::now();
        for (int i = 0; i < packets_per_run; i++) {
            stamp(packet, i, 0xEE, Clock::now());
            sendto(talker.udp, packet.data(), packet.size(), 0, reinterpret_cast<sockaddr *>(&relay),
                   sizeof relay);
            // The floor's clock starts when its burst is due, as the relay's
            // starts when the talker's packet is there: either sender's own
            // lateness (a late wake-up, a backlog) is part of its latency.
            const auto due = next + std::chrono::milliseconds(10);
            std::this_thread::sleep_until(due);
            timespec c0{}, c1{};
            clock_gettime(CLOCK_THREAD_CPUTIME_ID, &c0);
            stamp(floor_packet, i, 0xEF, due);
            for (const sockaddr_in &a : listeners)
                sendto(bare, floor_packet.data(), floor_packet.size(), MSG_NOSIGNAL,
                       reinterpret_cast<const sockaddr *>(&a), sizeof a);
            clock_gettime(CLOCK_THREAD_CPUTIME_ID, &c1);
            floor_cpu += static_cast<double>(c1.tv_sec - c0.tv_sec) +
                         static_cast<double>(c1.tv_nsec - c0.tv_nsec) * 1e-9;
            next += std::chrono::milliseconds(20);
            std::this_thread::sleep_until(next);
        }
        // Let the last packets arrive: a loaded machine leaves the relay
        // behind by up to its socket's worth, so wait while they still come.
        const size_t all = 2 * static_cast<size_t>(packets_per_run) * (gws.size() - 1);
        for (size_t seen = arrived.load(), wait = 0; arrived.load() < all && wait < 25; wait++) {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            if (arrived.load() == seen)
                break;
            seen = arrived.load();
        }
        {
            std::lock_guard<std::mutex> g(tid_lock);
            cpu1 = server_cpu_seconds(bench_threads);
        }
    }
    close(bare);
    stop = true;
    receiver.join();
    close(ep);

    std::sort(latencies_us.begin(), latencies_us.end());
    std::sort(floor_us.begin(), floor_us.end());
    auto pct_of = [](const std::vector<double> &v, double p) {
        if (v.empty())
            return 0.0;
        return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
    };
    auto pct = [&](double p) { return pct_of(latencies_us, p); };
    double expected = static_cast<double>(packets_per_run) * static_cast<double>(n - 1) *
                      static_cast<double>(state.iterations());
    double relayed = static_cast<double>(latencies_us.size());
    state.counters["p50_us"] = pct(0.50);
    state.counters["p99_us"] = pct(0.99);
    state.counters["lost"] = expected - relayed;
    state.counters["cpu_us_per_pkt"] =
        relayed > 0 ? (cpu1 - cpu0) * 1e6 /
                          (static_cast<double>(packets_per_run) * static_cast<double>(state.iterations()))
                    : 0;
    state.counters["cpu_us_per_copy"] = relayed > 0 ? (cpu1 - cpu0) * 1e6 / relayed : 0;
    state.counters["floor_p50_us"] = pct_of(floor_us, 0.50);
    state.counters["floor_p99_us"] = pct_of(floor_us, 0.99);
    state.counters["floor_lost"] = expected - static_cast<double>(floor_us.size());
    state.counters["floor_cpu_us_per_copy"] = expected > 0 ? floor_cpu * 1e6 / expected : 0;
    // Address space per gateway is mostly the server's thread stacks per
    // connection, reserved whole and touched only as deep as they are used.
    const double counted = static_cast<double>(static_cast<size_t>(n) - warm);
    state.counters["rss_kib_per_gw"] = static_cast<double>(after.rss - before.rss) / counted;
    state.counters["vsz_kib_per_gw"] = static_cast<double>(after.vsz - before.vsz) / counted;
    state.counters["threads_per_gw"] = static_cast<double>(after.threads - before.threads) / counted;
    for (Gw &g : gws) {
        close(g.tcp);
        close(g.udp);
    }
    sim.reset();
}

} // namespace

BENCHMARK(BM_RelayFanOut)
    ->Arg(10)
    ->Arg(100)
    ->Arg(500)
    ->Arg(1000)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

int main(int argc, char **argv)
{
    // 1000 gateways need about 3000 descriptors here (both ends of each
    // connection and the voice sockets).
    rlimit r{};
    if (getrlimit(RLIMIT_NOFILE, &r) == 0) {
        r.rlim_cur = r.rlim_max;
        setrlimit(RLIMIT_NOFILE, &r);
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
