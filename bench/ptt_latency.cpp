// PTT and voice latency of a GM360 gateway, end to end. Runs inside a box with
// a GM360 head (`boardbox --tty1 gm360 --control SOCK -- ptt_latency [N]`):
// hosts the server emulator on loopback, runs the real gwlinkd as a child and
// measures
//   - GPIO line 0x1000 pulled low -> the server's PTT callback,
//   - GPIO line 0x1000 pulled low -> the first voice packet at the server,
//   - capture to server: the microphone switched from silence to a tone -> the
//     first loud voice packet at the server,
//   - server to loudspeaker: the server's frames switched from silence to a
//     tone -> the loudspeaker level rising (box level meter, polled).
// p50 and p99 over N presses (default 100) and N/5 audio markers.
#include "sim/box_client.h"
#include "tests/system/site.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace
{

using namespace std::chrono_literals;
using site::Clock;
using site::ms;

constexpr uint32_t FRONT_PTT = 0x1000;

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

void row(const char *what, const Stats &s)
{
    std::printf("| %-44s | %5zu | %8.1f | %8.1f |\n", what, s.v.size(), s.pct(50), s.pct(99));
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

    Stats to_ptt, to_voice;
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

    // Server to loudspeaker: a steady stream of silence, then a tone marker.
    Stats downlink;
    for (int i = 0; i < std::max(5, presses / 5); i++) {
        std::atomic<bool> loud{false}, stop{false};
        std::thread src([&] {
            uint64_t sample = 0;
            auto next = Clock::now();
            while (!stop) {
                uint8_t frame[160];
                if (loud)
                    site::alaw_tone_frame(frame, 700, 12000, sample);
                else
                    std::memset(frame, 0xD5, sizeof frame);
                server.sim().rtp_send(frame, 160, 8);
                next += 20ms;
                std::this_thread::sleep_until(next);
            }
        });
        std::this_thread::sleep_for(600ms);
        auto t0 = Clock::now();
        loud = true;
        bool seen = false;
        while (!seen && Clock::now() - t0 < 5s) {
            boardbox::AudioLevels l;
            box.audio_levels(l);
            seen = l.playback_dbfs > -30;
            if (!seen)
                std::this_thread::sleep_for(2ms);
        }
        auto t1 = Clock::now();
        stop = true;
        src.join();
        if (!seen)
            return fail("the server's tone never reached the loudspeaker", gw);
        downlink.v.push_back(msec(t1 - t0));
        std::this_thread::sleep_for(400ms);
    }

    // Reference from the same run: one request on the box's control socket,
    // the fixed cost inside every "low -> ..." figure above.
    Stats control_rtt;
    for (int i = 0; i < 100; i++) {
        auto t0 = Clock::now();
        box.set_inputs(0, FRONT_PTT);
        control_rtt.v.push_back(msec(Clock::now() - t0));
    }

    std::printf("| %-44s | %5s | %8s | %8s |\n", "gm360 end-to-end latency (ms)", "n", "p50", "p99");
    std::printf("|----------------------------------------------|-------|----------|----------|\n");
    row("GPIO 0x1000 low -> server PTT callback", to_ptt);
    row("GPIO 0x1000 low -> first voice packet", to_voice);
    row("capture tone marker -> server (uplink)", uplink);
    row("server tone marker -> loudspeaker (downlink)", downlink);
    row("reference: box control request round trip", control_rtt);
    std::printf("(the gateway polls GPIO every 25 ms and sends one voice frame every 20 ms; the\n"
                " downlink includes the jitter buffer's depth and the box's level meter window)\n");
    gw.stop();
    return 0;
}
