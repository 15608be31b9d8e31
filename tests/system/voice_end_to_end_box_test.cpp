// Voice end to end through the real PCM port of a box: the box's capture tone
// must reach a UDP peer as A-law RTP while transmitting, and RTP from the peer
// must come out of the box's loudspeaker recording at its level, after the
// delay the jitter buffer's depth implies.
//
// The host side starts a box that runs this same program, filtered to the
// VoiceInBox case; that case drives the engine and reports what it measured on
// standard output. The host side then checks the loudspeaker recording.
#include "audio/audio_device_ssc.h"
#include "audio/audio_player.h"
#include "audio/audio_recorder.h"
#include "audio/codec_alaw.h"
#include "sim/box_process.h"
#include "voice/voip.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace
{

constexpr int kDepth = 4;
constexpr uint16_t kPeerPort = 9000;
// The peer's tone: 500 Hz at amplitude 8000.
constexpr double kPeerHz = 500;
constexpr double kPeerAmplitude = 8000;
constexpr int kPeerPackets = 100;

double nowMs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000.0 + ts.tv_nsec / 1e6;
}

double rmsDbfs(const std::vector<double> &s)
{
    double sum = 0;
    for (double v : s)
        sum += v * v;
    return 20 * std::log10(std::sqrt(sum / static_cast<double>(s.size())) / 32768.0);
}

// Frequency from the rising zero crossings counted inside each 20 ms block
// on its own: a period lost to a busy machine (the box then plays fill, or a
// capture block is skipped) must not read as a change of pitch.
double frequency(const std::vector<double> &s, double rate)
{
    const size_t block = 160;
    long periods = 0, span = 0;
    for (size_t b = 0; b + block <= s.size(); b += block) {
        long first = -1, last = -1, count = 0;
        for (size_t i = b + 1; i < b + block; i++) {
            if (s[i - 1] < 0 && s[i] >= 0) {
                if (first < 0)
                    first = static_cast<long>(i);
                last = static_cast<long>(i);
                count++;
            }
        }
        if (count >= 2) {
            periods += count - 1;
            span += last - first;
        }
    }
    return span > 0 ? static_cast<double>(periods) * rate / static_cast<double>(span) : 0;
}

// The 20 ms blocks of a recording that carry sound, i.e. that are neither
// silence nor the port's constant fill.
std::vector<double> soundBlocks(const std::vector<double> &s, size_t from, size_t *count)
{
    const size_t block = 160;
    std::vector<double> out;
    *count = 0;
    for (size_t b = from; b + block <= s.size(); b += block) {
        std::vector<double> blk(s.begin() + static_cast<long>(b), s.begin() + static_cast<long>(b + block));
        bool moves = false;
        double peak = 0;
        for (size_t i = 0; i < block; i++) {
            peak = std::max(peak, std::fabs(blk[i]));
            if (i > 0 && blk[i] != blk[i - 1])
                moves = true;
        }
        if (moves && peak > 1000) {
            out.insert(out.end(), blk.begin(), blk.end());
            (*count)++;
        }
    }
    return out;
}

bool insideBox()
{
    return std::getenv("BOARDBOX_CONTROL") != nullptr;
}

} // namespace

// Runs only inside the box started by the host case below.
TEST(VoiceInBox, TwoWay)
{
    if (!insideBox())
        GTEST_SKIP() << "the box part of VoiceEndToEnd";

    CodecAlaw codec(160);
    AudioDeviceSSC device("/dev/ssc0", 160);
    // The box's clock, and so its recording, starts with the configuration.
    double t0 = nowMs();
    ASSERT_EQ(device.isInitialized(), 1);
    AudioPlayer player(&device, &codec);
    AudioRecorder recorder(&device, &codec, false);
    ASSERT_EQ(player.isInitialized(), 1);
    ASSERT_EQ(recorder.isInitialized(), 1);

    int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in me{};
    me.sin_family = AF_INET;
    me.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    me.sin_port = htons(kPeerPort);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr *>(&me), sizeof me), 0);
    auto receive = [&](std::vector<uint8_t> &d) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 5000) != 1)
            return false;
        d.resize(2048);
        ssize_t n = ::recv(fd, d.data(), d.size(), 0);
        if (n < 0)
            return false;
        d.resize(static_cast<size_t>(n));
        return true;
    };

    {
        class_voip voip(160, &player, &recorder, 2 * kDepth, kDepth);
        ASSERT_EQ(voip.init(), 0);
        voip.setRemote(htonl(INADDR_LOOPBACK), kPeerPort, 0xCAFE);
        std::vector<uint8_t> d;
        for (int i = 0; i < 3; i++)
            ASSERT_TRUE(receive(d));

        // Uplink: one second of the box's capture tone.
        voip.setTransmit(1);
        std::vector<double> up;
        uint16_t expectSeq = 0;
        for (int i = 0; i < 50; i++) {
            ASSERT_TRUE(receive(d));
            ASSERT_EQ(d.size(), 172u);
            EXPECT_EQ(d[1], 0x08);
            EXPECT_EQ((d[2] << 8) | d[3], expectSeq++);
            for (int k = 12; k < 172; k++)
                up.push_back(alaw_decode(d[k]));
        }
        voip.setTransmit(0);
        double hz = frequency(up, 8000);
        double level = rmsDbfs(up);
        std::printf("UPLINK hz=%.1f dbfs=%.2f\n", hz, level);
        // A sine at -6 dBFS peak has an RMS of -9 dBFS.
        EXPECT_NEAR(hz, 1000, 10);
        EXPECT_NEAR(level, -9.03, 0.5);

        // Downlink: two seconds of the peer's tone, one packet per 20 ms.
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        to.sin_port = htons(8000);
        std::vector<uint8_t> pkt(172);
        timespec next{};
        clock_gettime(CLOCK_MONOTONIC, &next);
        double first = 0;
        long n = 0;
        for (int p = 0; p < kPeerPackets; p++) {
            pkt[0] = 0x80;
            pkt[1] = 0x08;
            pkt[2] = static_cast<uint8_t>(p >> 8);
            pkt[3] = static_cast<uint8_t>(p);
            for (int k = 0; k < 160; k++, n++)
                pkt[12 + k] = alaw_encode(static_cast<int>(std::lround(
                    kPeerAmplitude * std::sin(2 * M_PI * kPeerHz * static_cast<double>(n) / 8000))));
            ::sendto(fd, pkt.data(), pkt.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
            if (p == 0)
                first = nowMs() - t0;
            next.tv_nsec += 20000000;
            if (next.tv_nsec >= 1000000000) {
                next.tv_nsec -= 1000000000;
                next.tv_sec++;
            }
            clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
        }
        std::printf("DOWNLINK first_packet_ms=%.1f\n", first);
        // Let the buffer drain into the recording.
        ::usleep(300000);
    }
    ::close(fd);
}

TEST(VoiceEndToEnd, ToneBothWaysThroughTheBox)
{
    if (insideBox())
        GTEST_SKIP() << "host part";
    std::string wav = boardbox::BoxProcess::temp_path("played") + ".wav";
    std::string sock = boardbox::BoxProcess::temp_path("ctl");
    char self[4096];
    ssize_t len = ::readlink("/proc/self/exe", self, sizeof self - 1);
    ASSERT_GT(len, 0);
    self[len] = 0;

    boardbox::BoxProcess box;
    ASSERT_EQ(box.start({"--control", sock, "--capture", "tone:1000", "--playback", wav},
                        {self, "--gtest_filter=VoiceInBox.TwoWay"}),
              0);
    ASSERT_EQ(box.wait_exit(std::chrono::milliseconds(60000)), 0) << box.output();

    double first = -1;
    for (const std::string &line : box.stdout_lines())
        if (line.rfind("DOWNLINK first_packet_ms=", 0) == 0)
            first = std::stod(line.substr(25));
    ASSERT_GE(first, 0) << box.output();

    SF_INFO info{};
    SNDFILE *f = sf_open(wav.c_str(), SFM_READ, &info);
    ASSERT_NE(f, nullptr) << sf_strerror(nullptr);
    EXPECT_EQ(info.samplerate, 8000);
    std::vector<short> raw(static_cast<size_t>(info.frames * info.channels));
    sf_readf_short(f, raw.data(), info.frames);
    sf_close(f);
    ::unlink(wav.c_str());

    std::vector<double> played;
    for (sf_count_t i = 0; i < info.frames; i++)
        played.push_back(raw[static_cast<size_t>(i * info.channels)]);

    // Onset: the first sample clearly above the A-law silence codes that also
    // moves (the port's first, zeroed blocks play as one constant code).
    size_t onset = 1;
    while (onset < played.size() && (std::fabs(played[onset]) < 1000 || played[onset] == played[onset - 1]))
        onset++;
    ASSERT_LT(onset, played.size()) << "nothing was played";
    double onsetMs = static_cast<double>(onset) / 8.0;
    double delay = onsetMs - first;
    std::printf("onset %.1f ms after the first packet (depth %d)\n", delay, kDepth);
    // The depth holds the first packets back until the last of kDepth has
    // arrived; how much later it sounds depends on how busy the machine is.
    EXPECT_GE(delay, (kDepth - 1) * 20.0 - 5);
    EXPECT_LE(delay, (kDepth - 1) * 20.0 + 300);

    // Level and pitch of what was played, block-aligned from the onset.
    size_t blocks = 0;
    std::vector<double> tone = soundBlocks(played, onset - onset % 160 + 160, &blocks);
    // Most of the tone must play; on a loaded machine the buffer may refill a
    // few times and lose some blocks, which is what it is for.
    EXPECT_GE(blocks, static_cast<size_t>(kPeerPackets * 6 / 10));
    double expected = 20 * std::log10(kPeerAmplitude / std::sqrt(2.0) / 32768.0);
    EXPECT_NEAR(rmsDbfs(tone), expected, 0.5);
    EXPECT_NEAR(frequency(tone, 8000), kPeerHz, 5);
}
