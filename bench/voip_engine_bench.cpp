// CPU cost of the voice engine carrying two-way A-law voice, per second of
// voice, beside the cost of merely pumping the same periods through the PCM
// port. Runs inside a box (it opens "/dev/ssc0" and binds UDP port 8000):
//   build/bin/boardbox --capture tone:1000 -- build/bench/voip_engine_bench
#include "audio/audio_device_ssc.h"
#include "audio/audio_player.h"
#include "audio/audio_recorder.h"
#include "audio/codec_alaw.h"
#include "voice/voip.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <atomic>
#include <cstring>
#include <ctime>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{

constexpr double kSeconds = 5.0;
constexpr uint16_t kPeerPort = 9000;

double cpuSeconds(clockid_t clock)
{
    timespec ts{};
    clock_gettime(clock, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double wallSeconds()
{
    return cpuSeconds(CLOCK_MONOTONIC);
}

// The remote party: one A-law packet every 20 ms towards the engine, and
// whatever the engine sends drained and counted. Its own CPU time is measured
// so it can be taken out of the process total.
struct Peer {
    std::atomic<bool> stop{false};
    std::atomic<long> sent{0}, received{0};
    double cpu = 0;
    int fd = -1;

    Peer()
    {
        fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(kPeerPort);
        ::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
    }
    ~Peer() { ::close(fd); }

    void run()
    {
        double start = cpuSeconds(CLOCK_THREAD_CPUTIME_ID);
        std::vector<uint8_t> pkt(172);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        to.sin_port = htons(8000);
        timespec next{};
        clock_gettime(CLOCK_MONOTONIC, &next);
        uint16_t seq = 0;
        int phase = 0;
        while (!stop.load()) {
            pkt[0] = 0x80;
            pkt[1] = 0x08;
            pkt[2] = static_cast<uint8_t>(seq >> 8);
            pkt[3] = static_cast<uint8_t>(seq);
            seq++;
            for (int i = 0; i < 160; i++, phase = (phase + 1) % 8)
                pkt[12 + i] = alaw_encode(phase < 4 ? 8000 : -8000);
            ::sendto(fd, pkt.data(), pkt.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
            sent++;
            uint8_t buf[2048];
            while (::recv(fd, buf, sizeof buf, MSG_DONTWAIT) > 0)
                received++;
            next.tv_nsec += 20000000;
            if (next.tv_nsec >= 1000000000) {
                next.tv_nsec -= 1000000000;
                next.tv_sec++;
            }
            clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
        }
        cpu = cpuSeconds(CLOCK_THREAD_CPUTIME_ID) - start;
    }
};

void BM_VoipTwoWay(benchmark::State &state)
{
    CodecAlaw codec(160);
    AudioDeviceSSC device("/dev/ssc0", 160);
    if (!device.isInitialized()) {
        state.SkipWithError("no /dev/ssc0: run inside boardbox");
        return;
    }
    AudioPlayer player(&device, &codec);
    AudioRecorder recorder(&device, &codec, false);
    for (auto _ : state) {
        class_voip voip(160, &player, &recorder, 8, 4);
        if (voip.init() != 0) {
            state.SkipWithError("voip init failed");
            return;
        }
        Peer peer;
        voip.setRemote(htonl(INADDR_LOOPBACK), kPeerPort, 0x1234);
        voip.setTransmit(1);
        double cpu0 = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
        double wall0 = wallSeconds();
        std::thread t([&] { peer.run(); });
        ::usleep(static_cast<useconds_t>(kSeconds * 1e6));
        peer.stop = true;
        t.join();
        double wall = wallSeconds() - wall0;
        double cpu = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - cpu0 - peer.cpu;
        state.SetIterationTime(wall);
        state.counters["cpu_ms_per_voice_s"] = 1000.0 * cpu / wall;
        state.counters["peer_sent"] = static_cast<double>(peer.sent.load());
        state.counters["engine_sent"] = static_cast<double>(peer.received.load());
    }
}

// The reference: the same periods read from and written to the port by two
// bare threads, with no codec, no network and no jitter buffer.
void BM_SscPumpOnly(benchmark::State &state)
{
    AudioDeviceSSC device("/dev/ssc0", 160);
    if (!device.isInitialized()) {
        state.SkipWithError("no /dev/ssc0: run inside boardbox");
        return;
    }
    for (auto _ : state) {
        std::atomic<bool> stop{false};
        double cpu0 = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
        double wall0 = wallSeconds();
        std::thread reader([&] {
            int16_t s[160];
            while (!stop.load())
                device.read(s, 160);
        });
        std::thread writer([&] {
            int16_t s[160] = {};
            while (!stop.load())
                device.write(s, 160, 0);
        });
        ::usleep(static_cast<useconds_t>(kSeconds * 1e6));
        stop = true;
        reader.join();
        writer.join();
        double wall = wallSeconds() - wall0;
        state.SetIterationTime(wall);
        state.counters["cpu_ms_per_voice_s"] = 1000.0 * (cpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - cpu0) / wall;
        // Same columns as the engine run, for the CSV report.
        state.counters["peer_sent"] = 0;
        state.counters["engine_sent"] = 0;
    }
}

} // namespace

BENCHMARK(BM_SscPumpOnly)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_VoipTwoWay)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
