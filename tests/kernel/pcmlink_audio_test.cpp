// The gateway's own audio path (AudioDeviceSSC with its player and recorder)
// over the pcmlink driver in the test kernel of scripts/pcmlink-vm, with the
// simulated SSC looping every transmitted block back (loopback=1).
#include "audio/audio_device_ssc.h"
#include "audio/audio_player.h"
#include "audio/audio_recorder.h"
#include "audio/codec_alaw.h"
#include "kernel/pcmlink/pcmlink.h"
#include "tests/kernel/kernel_log.h"

#include <gtest/gtest.h>

#include <time.h>

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

namespace
{

constexpr int period = 160;
constexpr int frames = 500; // 10 s

double now()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Frame k of the played signal: every frame different from its neighbours.
std::vector<int16_t> played(int k)
{
    std::vector<int16_t> samples(period);
    for (int i = 0; i < period; i++)
        samples[i] = alaw_decode(static_cast<uint8_t>((k * 3 + i) & 0x7F));
    return samples;
}

// What the recorder encodes when the words of frame k come straight back: the
// receive slot sits one bit below the first transmit slot.
std::vector<uint8_t> heard(int k)
{
    std::vector<int16_t> samples = played(k);
    std::vector<uint8_t> codes(period);
    for (int i = 0; i < period; i++) {
        uint8_t c = alaw_encode(samples[i]);
        codes[i] = alaw_encode(alaw_decode(static_cast<uint8_t>(PCMLINK_RX_CODE(PCMLINK_TX_WORD(c, c)))));
    }
    return codes;
}

TEST(PcmlinkAudio, GatewayDeviceKeepsThePaceAndHearsWhatItPlays)
{
    KernelLog log;
    AudioDeviceSSC device("/dev/ssc0", period);
    ASSERT_TRUE(device.isInitialized());
    EXPECT_TRUE(contains(log.tagged(), "<6>pcmlink: config: clkdiv: 192, tcmr: 0x0F000424, tfmr: 0x00200093, "
                                       "rcmr: 0x0F000404, rfmr: 0x00200093, rxfer_count: 160"));

    CodecAlaw codec(period);
    AudioPlayer player(&device, &codec);
    AudioRecorder recorder(&device, &codec, false);
    ASSERT_TRUE(player.isInitialized());
    ASSERT_TRUE(recorder.isInitialized());

    std::atomic<bool> stop{false};
    std::atomic<int> playFailures{0};
    std::thread playback([&] {
        for (int k = 0; !stop.load(); k++) {
            std::vector<int16_t> samples = played(k);
            if (player.play(reinterpret_cast<const uint8_t *>(samples.data()), AudioPlayer::PLAY_RAW, 0) != 0)
                playFailures++;
        }
    });

    std::vector<std::vector<uint8_t>> got;
    std::vector<double> times;
    double start = now();
    for (int n = 0; n < frames; n++) {
        std::vector<uint8_t> out(period);
        ASSERT_EQ(recorder.record(out.data()), 0);
        times.push_back(now());
        got.push_back(out);
    }
    stop = true;
    playback.join();
    EXPECT_EQ(playFailures.load(), 0);

    // The 20 ms pace, period after period.
    EXPECT_NEAR(times.back() - start, 10.0, 0.05);
    double longest = 0;
    for (size_t i = 1; i < times.size(); i++)
        longest = std::max(longest, times[i] - times[i - 1]);
    EXPECT_LT(longest, 0.025);

    // After the first periods (the driver's silent start), every recorded
    // frame is the next played one.
    int first = -1;
    for (int k = 0; k < 10 && first < 0; k++)
        for (int n = 0; n < 10; n++)
            if (got[n] == heard(k)) {
                first = n - k;
                break;
            }
    ASSERT_GE(first, 0) << "no played frame came back";
    EXPECT_LE(first, 4);
    int matched = 0;
    for (int n = first; n < frames; n++) {
        ASSERT_EQ(got[n], heard(n - first)) << "recorded frame " << n;
        matched++;
    }
    EXPECT_GE(matched, frames - 4);
}

} // namespace
