// PTT and voice latency of a GM360 gateway, end to end. Runs inside a box with
// a GM360 head (`boardbox --tty1 gm360 --control SOCK -- ptt_latency [N]`):
// hosts the server emulator on loopback, runs the real gwlinkd as a child and
// measures
//   - GPIO line 0x1000 pulled low -> the server's PTT callback,
//   - GPIO line 0x1000 pulled low -> the first voice packet at the server,
//   - capture to server: the microphone switched from silence to a tone -> the
//     first loud voice packet at the server,
//   - server to loudspeaker: the server's frames switched from silence to a
//     full-scale marker -> the first marker sample leaving the box's PCM port
//     (timed by the box sample by sample), broken down by the box's time
//     stamps of the device writes.
// p50 and p99 over N presses (default 100) and N/5 audio markers.
#include "sim/box_client.h"
#include "tests/system/site.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace
{

using namespace std::chrono_literals;
using site::Clock;
using site::ms;

constexpr uint32_t FRONT_PTT = 0x1000;
// The configuration's `buffers` (site::write_config's default).
constexpr int kDepth = 4;
// A-law 0xAA is +32256; the marker stays far above the 0xD5 silence (+8)
// even through the gateway's volume scaling.
constexpr uint8_t kMarkerCode = 0xAA;
constexpr int kMarkerThreshold = 2000;

double msec(Clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

struct Stats {
    std::vector<double> v;
    double pct(double p) const
    {
        if (v.empty())
            return -1;
        std::vector<double> s = v;
        std::sort(s.begin(), s.end());
        size_t i = static_cast<size_t>(p / 100.0 * (s.size() - 1) + 0.5);
        return s[std::min(i, s.size() - 1)];
    }
};

int64_t ns_of(Clock::time_point t)
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
}

void to_ptt_voice(Stats &s, site::Server &server, size_t n0, Clock::time_point first)
{
    std::lock_guard<std::mutex> lock(server.m_);
    s.v.push_back(msec(first - server.ptts_[n0].at));
}

Stats loopback_one_way(int n)
{
    Stats s;
    int a = ::socket(AF_INET, SOCK_DGRAM, 0), b = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof to;
    if (a >= 0 && b >= 0 && ::bind(b, reinterpret_cast<sockaddr *>(&to), sizeof to) == 0 &&
        ::getsockname(b, reinterpret_cast<sockaddr *>(&to), &len) == 0) {
        uint8_t d[172] = {};
        for (int i = 0; i < n; i++) {
            auto t0 = Clock::now();
            ::sendto(a, d, sizeof d, 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
            if (::recv(b, d, sizeof d, 0) > 0)
                s.v.push_back(msec(Clock::now() - t0));
            std::this_thread::sleep_for(2ms);
        }
    }
    if (a >= 0)
        ::close(a);
    if (b >= 0)
        ::close(b);
    return s;
}

void row(const char *what, const Stats &s)
{
    std::printf("| %-45s | %5zu | %8.2f | %8.2f |\n", what, s.v.size(), s.pct(50), s.pct(99));
}

int fail(const char *why, site::Child &gw)
{
    std::fprintf(stderr, "ptt_latency: %s\n%s", why, gw.tail(30).c_str());
    return 1;
}

} // namespace

int main(int argc, char **argv)
{
    const int presses = argc > 1 ? std::max(1, std::atoi(argv[1])) : 100;
    std::string why;
    if (!site::inside_isolated_box(why)) {
        std::fprintf(stderr, "ptt_latency: %s\n", why.c_str());
        return 2;
    }
    boardbox::Client box;
    if (box.connect_inside() != 0) {
        std::fprintf(stderr, "ptt_latency: no box control socket\n");
        return 2;
    }
    box.set_inputs(0, FRONT_PTT);
    box.set_capture("tone:1000");

    const int port = 5555;
    site::Server server(port, port + 1);
    if (!server.ok()) {
        std::fprintf(stderr, "ptt_latency: the server did not start\n");
        return 2;
    }
    site::write_config(port, 0, 1);
    site::Child gw;
    if (gw.start({std::string(GW_BUILD_DIR) + "/bin/gwlinkd"}) != 0)
        return 2;
    if (!server.wait(60s, [](site::Server &s) { return s.logins_ >= 1; }) ||
        !gw.wait_for_line("FRONT_INIT", 30s))
        return fail("the gateway did not log in", gw);
    std::this_thread::sleep_for(500ms); // let the head initialisation settle

    Stats to_ptt, to_voice, ptt_to_voice;
    for (int i = 0; i < presses; i++) {
        size_t n0;
        uint64_t rtp0;
        {
            std::lock_guard<std::mutex> lock(server.m_);
            n0 = server.ptts_.size();
            rtp0 = server.rtp_count_;
        }
        auto t0 = Clock::now();
        box.set_inputs(FRONT_PTT, 0);
        if (!server.wait(10s, [n0](site::Server &s) { return s.ptts_.size() > n0; }))
            return fail("no PTT callback", gw);
        if (!server.wait(10s, [rtp0](site::Server &s) { return s.rtp_count_ > rtp0; }))
            return fail("no voice packet", gw);
        {
            std::lock_guard<std::mutex> lock(server.m_);
            to_ptt.v.push_back(msec(server.ptts_[n0].at - t0));
        }
        Clock::time_point first;
        {
            std::lock_guard<std::mutex> lock(server.m_);
            first = server.first_rtp_after(t0);
        }
        to_voice.v.push_back(msec(first - t0));
        to_ptt_voice(ptt_to_voice, server, n0, first);
        box.set_inputs(0, FRONT_PTT);
        if (!server.wait(10s, [n0](site::Server &s) { return s.ptts_.size() > n0 + 1; }))
            return fail("no PTT release", gw);
        std::this_thread::sleep_for(60ms);
    }

    // Capture to server: keyed, silence, then a tone marker.
    Stats uplink;
    box.set_inputs(FRONT_PTT, 0);
    for (int i = 0; i < std::max(5, presses / 5); i++) {
        box.set_capture("silence");
        std::this_thread::sleep_for(300ms);
        uint64_t loud0;
        {
            std::lock_guard<std::mutex> lock(server.m_);
            loud0 = server.loud_count_;
            server.loud_count_ = 0;
        }
        (void)loud0;
        auto t0 = Clock::now();
        box.set_capture("tone:1000");
        if (!server.wait(10s, [](site::Server &s) { return s.loud_count_ > 0; }))
            return fail("the tone marker never reached the server", gw);
        std::lock_guard<std::mutex> lock(server.m_);
        uplink.v.push_back(msec(server.first_loud_ - t0));
    }
    box.set_inputs(0, FRONT_PTT);
    server.wait(10s, [](site::Server &s) { return s.ptts_.size() % 2 == 0; });

    // Server to loudspeaker, sample by sample: a steady stream of silence, then
    // full-scale marker frames; the box reports when the first loud sample left
    // its PCM port and when the write that carried it reached the device.
    Stats downlink, net_jitter, play_thread, dev_wait, dev_queue;
    boardbox::AudioLevels before{}, after{};
    box.audio_levels(before);
    for (int i = 0; i < std::max(5, presses / 4); i++) {
        std::atomic<bool> loud{false}, stop{false};
        std::atomic<int64_t> marker_sent{0};
        if (box.arm_playback_marker(kMarkerThreshold) != 0)
            return fail("the box does not watch its playback", gw);
        std::thread src([&] {
            auto next = Clock::now();
            while (!stop) {
                uint8_t frame[160];
                bool l = loud;
                std::memset(frame, l ? kMarkerCode : 0xD5, sizeof frame);
                if (l && marker_sent == 0)
                    marker_sent = ns_of(Clock::now());
                server.sim().rtp_send(frame, 160, 8);
                next += 20ms;
                std::this_thread::sleep_until(next);
            }
        });
        std::this_thread::sleep_for(600ms);
        loud = true;
        boardbox::PlaybackMarker m;
        auto t0 = Clock::now();
        while (box.playback_marker(m) == 0 && !m.seen && Clock::now() - t0 < 5s)
            std::this_thread::sleep_for(5ms);
        stop = true;
        src.join();
        if (!m.seen || marker_sent == 0 || m.write_accept_ns == 0)
            return fail("the server's marker never reached the loudspeaker", gw);
        const int64_t sent = marker_sent;
        downlink.v.push_back((m.sample_ns - sent) / 1e6);
        if (m.prev_accept_ns != 0) {
            net_jitter.v.push_back((m.prev_accept_ns - sent) / 1e6);
            play_thread.v.push_back((m.write_enter_ns - m.prev_accept_ns) / 1e6);
        }
        dev_wait.v.push_back((m.write_accept_ns - m.write_enter_ns) / 1e6);
        dev_queue.v.push_back((m.sample_ns - m.write_accept_ns) / 1e6);
        std::this_thread::sleep_for(400ms);
    }

    box.audio_levels(after);

    // Reference from the same run: one datagram over loopback between two bare
    // sockets, the network's share of the downlink.
    Stats loopback = loopback_one_way(100);

    // Reference from the same run: one request on the box's control socket,
    // the fixed cost inside every "low -> ..." figure above.
    Stats control_rtt;
    for (int i = 0; i < 100; i++) {
        auto t0 = Clock::now();
        box.set_inputs(0, FRONT_PTT);
        control_rtt.v.push_back(msec(Clock::now() - t0));
    }

    std::printf("| %-45s | %5s | %8s | %8s |\n", "gm360 end-to-end latency (ms)", "n", "p50", "p99");
    std::printf("|-----------------------------------------------|-------|----------|----------|\n");
    row("GPIO 0x1000 low -> server PTT callback", to_ptt);
    row("GPIO 0x1000 low -> first voice packet", to_voice);
    row("capture tone marker -> server (uplink)", uplink);
    row("PTT callback -> first voice packet", ptt_to_voice);
    row("server marker -> first loud sample played", downlink);
    row("  send -> previous write taken (net, jitter)", net_jitter);
    row("  -> playback thread writes it to the device", play_thread);
    row("  -> device takes it (waits for a free block)", dev_wait);
    row("  -> first marker sample leaves the port", dev_queue);
    row("reference: loopback datagram one way", loopback);
    row("reference: box control request round trip", control_rtt);
    std::printf("(the gateway polls GPIO every 25 ms and sends one voice frame every 20 ms; jitter\n"
                " depth %d = %d ms, one block = 20 ms; downlink goal: p99 <= %d ms; first voice\n"
                " packet goal: within 20 ms of the PTT callback)\n",
                kDepth, kDepth * 20, kDepth * 20 + 2 * 20 + 2);
    std::printf("(during the downlink: %llu of %llu blocks went out unwritten, each a period the\n"
                " playback thread missed, which leaves one more packet queued in the jitter buffer)\n",
                static_cast<unsigned long long>(after.tx_fill - before.tx_fill),
                static_cast<unsigned long long>(after.tx_blocks - before.tx_blocks));
    gw.stop();
    return 0;
}
