// The server's end of the site soak (bench/soak_table.sh): runs in the site's
// server box (172.16.0.189), hosts the server emulator library on 0.0.0.0:5555
// (voice on 5004) for N gateway boxes with factory configuration, and keys
// them at random through their boxes' control sockets: one talker at a time,
// each spurt 0.3-4 s, pauses 0.1-2 s, for SECONDS.
//
//   site_soak SECONDS GATEWAYS SOCKET_PREFIX     (sockets SOCKET_PREFIX-1.sock ...)
//
// Lines for the script: "soak: serving", "soak: all logged in", "soak: keying",
// "soak: done", then the figures. Voice loss is counted from the RTP sequence
// numbers of each spurt as it reaches the server (a gap of k is k lost).
#include "gatesim/libgatesim.h"
#include "sim/box_client.h"

#include <dirent.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace
{

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr uint32_t FRONT_PTT = 0x1000; // active low

struct Usage {
    long rss_kb = -1;
    int fds = -1;
    int threads = -1;
};

Usage self_usage()
{
    Usage u;
    std::ifstream st("/proc/self/status");
    std::string key;
    while (st >> key) {
        if (key == "VmRSS:")
            st >> u.rss_kb;
        else if (key == "Threads:")
            st >> u.threads;
    }
    if (DIR *d = ::opendir("/proc/self/fd")) {
        u.fds = 0;
        while (dirent *e = ::readdir(d))
            u.fds += e->d_name[0] != '.';
        ::closedir(d);
        u.fds--; // the directory's own descriptor
    }
    return u;
}

// What reaches the server, under one lock.
struct Tally {
    std::mutex m;
    std::condition_variable cv;
    int logins = 0;
    int ptt_on = 0, ptt_off = 0;
    bool spurt_open = false;
    bool have_seq = false;
    uint16_t last_seq = 0;
    uint64_t packets = 0;
    uint64_t lost = 0;
    uint64_t out_of_order = 0;
    uint64_t spurt_packets = 0;
    double talk_seconds = 0;
};

} // namespace

int main(int argc, char **argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s SECONDS GATEWAYS SOCKET_PREFIX\n", argv[0]);
        return 2;
    }
    const int seconds = std::atoi(argv[1]);
    const int gateways = std::atoi(argv[2]);
    const std::string prefix = argv[3];
    setvbuf(stdout, nullptr, _IOLBF, 0);

    Tally t;
    std::shared_ptr<libgatesim> sim = libgatesim::create();
    sim->set_cb_info_ver([](libgatesim::s_info_ver &v) {
        v.proto_major = 1;
        v.proto_minor = 5;
        v.config_major = 1;
        v.config_minor = 0;
        v.fw_major = 1;
        v.fw_minor = 30;
        v.build = 1;
        return 0;
    });
    sim->set_cb_login_req(
        [&t](libgatesim::s_login_req &r, const std::string &, const std::string &, const std::string &) {
            r.codec_type = 1;
            r.rtype0 = 1;
            r.rtype1 = 0;
            r.priv_level = 1;
            r.device_name = "soak site";
            std::lock_guard<std::mutex> lock(t.m);
            t.logins++;
            t.cv.notify_all();
            return 0;
        });
    sim->set_cb_set_ptt([&t](int ptt) {
        std::lock_guard<std::mutex> lock(t.m);
        (ptt ? t.ptt_on : t.ptt_off)++;
        t.have_seq = false; // a new spurt starts its own sequence check
        t.cv.notify_all();
        return 0;
    });
    sim->set_cb_rtp_recv([&t](unsigned char *p, int len) {
        if (len < 12)
            return 0;
        const uint16_t seq = static_cast<uint16_t>(p[2] << 8 | p[3]);
        std::lock_guard<std::mutex> lock(t.m);
        t.packets++;
        if (!t.spurt_open)
            return 0;
        t.spurt_packets++;
        if (t.have_seq) {
            const uint16_t step = static_cast<uint16_t>(seq - t.last_seq);
            if (step == 0 || step > 0x8000)
                t.out_of_order++;
            else
                t.lost += step - 1u;
        }
        if (!t.have_seq || static_cast<uint16_t>(seq - t.last_seq) < 0x8000)
            t.last_seq = seq;
        t.have_seq = true;
        return 0;
    });
    if (sim->init("0.0.0.0", 5555, 64, 5004) != 0) {
        std::printf("soak: cannot serve on 5555/5004\n");
        return 1;
    }
    std::printf("soak: serving\n");

    {
        std::unique_lock<std::mutex> lock(t.m);
        if (!t.cv.wait_for(lock, 180s, [&] { return t.logins >= gateways; })) {
            std::printf("soak: only %d of %d gateways logged in\n", t.logins, gateways);
            return 1;
        }
    }
    std::vector<boardbox::Client> boxes(static_cast<size_t>(gateways));
    for (int i = 0; i < gateways; ++i) {
        const std::string sock = prefix + "-" + std::to_string(i + 1) + ".sock";
        if (boxes[i].connect(sock, std::chrono::milliseconds(10000)) != 0 ||
            boxes[i].set_inputs(0, FRONT_PTT) != 0) {
            std::printf("soak: no control socket %s\n", sock.c_str());
            return 1;
        }
    }
    // Every gateway synced and settled before the first figures.
    std::this_thread::sleep_for(5s);
    const Usage start = self_usage();
    std::printf("soak: all logged in\n");
    std::printf("soak: keying\n");

    std::mt19937 rng(20261208);
    std::uniform_int_distribution<int> pick(0, gateways - 1);
    std::uniform_int_distribution<int> hold_ms(300, 4000), pause_ms(100, 2000);
    const auto end = Clock::now() + std::chrono::seconds(seconds);
    int spurts = 0, lost_spurts = 0;
    while (Clock::now() < end) {
        const int g = pick(rng);
        int on_before;
        {
            std::lock_guard<std::mutex> lock(t.m);
            on_before = t.ptt_on;
            t.spurt_open = false;
        }
        if (boxes[g].set_inputs(FRONT_PTT, 0) != 0)
            break;
        {
            // The spurt counts from the server's PTT callback on.
            std::unique_lock<std::mutex> lock(t.m);
            if (t.cv.wait_for(lock, 5s, [&] { return t.ptt_on > on_before; }))
                t.spurt_open = true;
            else
                lost_spurts++;
        }
        const auto held_from = Clock::now();
        std::this_thread::sleep_for(std::chrono::milliseconds(hold_ms(rng)));
        // The last packets of the spurt arrive before the release does.
        boxes[g].set_inputs(0, FRONT_PTT);
        {
            std::unique_lock<std::mutex> lock(t.m);
            t.cv.wait_for(lock, 5s, [&] { return t.ptt_off >= t.ptt_on; });
            t.spurt_open = false;
            t.talk_seconds += std::chrono::duration<double>(Clock::now() - held_from).count();
        }
        spurts++;
        std::this_thread::sleep_for(std::chrono::milliseconds(pause_ms(rng)));
    }
    std::this_thread::sleep_for(3s);
    const Usage stop = self_usage();
    std::printf("soak: done\n");
    std::lock_guard<std::mutex> lock(t.m);
    std::printf("soak: gateways %d, logins %d, seconds %d, spurts %d (PTT not seen at the server: %d), "
                "talk %.0f s\n",
                gateways, t.logins, seconds, spurts, lost_spurts, t.talk_seconds);
    std::printf(
        "soak: voice packets %llu in spurts, lost %llu, out of order %llu (all voice at the server %llu)\n",
        static_cast<unsigned long long>(t.spurt_packets), static_cast<unsigned long long>(t.lost),
        static_cast<unsigned long long>(t.out_of_order), static_cast<unsigned long long>(t.packets));
    std::printf("soak: server rss %ld -> %ld kB, fds %d -> %d, threads %d -> %d\n", start.rss_kb, stop.rss_kb,
                start.fds, stop.fds, start.threads, stop.threads);
    std::fflush(stdout);
    // Kept alive until the script has sampled the gateways and ends the site.
    std::this_thread::sleep_for(600s);
    return 0;
}
