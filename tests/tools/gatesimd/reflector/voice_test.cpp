// The reflector's voice path without a network: each codec carries a tone
// from the site's 8 kHz to the reflector's rate and back at its frequency,
// survives garbage packets, and the pacer hands the site one frame per 20 ms.
#include "tools/gatesimd/reflector/rate_converter.h"
#include "tools/gatesimd/reflector/reflector_codec.h"
#include "tools/gatesimd/reflector/voice_pacer.h"

#include <cmath>
#include <gtest/gtest.h>
#include <random>

using namespace reflector;

namespace
{

// Rising zero crossings per second over the second half of `pcm` (the first
// half holds the codecs' and filters' onset).
double frequency(const std::vector<int16_t> &pcm, int rate)
{
    size_t from = pcm.size() / 2, rising = 0;
    for (size_t i = from + 1; i < pcm.size(); i++)
        rising += pcm[i - 1] < 0 && pcm[i] >= 0;
    return static_cast<double>(rising) * rate / static_cast<double>(pcm.size() - from);
}

int peak(const std::vector<int16_t> &pcm)
{
    int p = 0;
    for (size_t i = pcm.size() / 2; i < pcm.size(); i++)
        p = std::max(p, std::abs(static_cast<int>(pcm[i])));
    return p;
}

} // namespace

TEST(ReflectorVoice, EachCodecCarriesAToneThereAndBackAtItsFrequency)
{
    for (const char *name : {"OPUS", "GSM", "SPEEX"}) {
        SCOPED_TRACE(name);
        std::unique_ptr<ReflectorCodec> codec = make_codec(name);
        ASSERT_TRUE(codec);
        EXPECT_STREQ(codec->name(), name);
        RateConverter up(8000, codec_rate), down(codec_rate, 8000);
        ASSERT_TRUE(up.ok() && down.ok());
        std::vector<int16_t> wide, back, at_reflector;
        std::vector<uint8_t> packet;
        for (int frame = 0; frame < 50; frame++) {
            int16_t pcm[160];
            for (int i = 0; i < 160; i++)
                pcm[i] = static_cast<int16_t>(10000 * std::sin(2 * M_PI * 1000 * (frame * 160 + i) / 8000.0));
            up.process(pcm, 160, wide);
            while (wide.size() >= static_cast<size_t>(codec_frame)) {
                ASSERT_TRUE(codec->encode(wide.data(), packet));
                wide.erase(wide.begin(), wide.begin() + codec_frame);
                std::vector<int16_t> decoded;
                ASSERT_TRUE(codec->decode(packet.data(), packet.size(), decoded));
                EXPECT_EQ(decoded.size(), static_cast<size_t>(codec_frame));
                at_reflector.insert(at_reflector.end(), decoded.begin(), decoded.end());
                down.process(decoded.data(), decoded.size(), back);
            }
        }
        EXPECT_GE(back.size(), 49u * 160);
        // The same tone for the other nodes, at the reflector's rate, and here.
        EXPECT_NEAR(frequency(at_reflector, codec_rate), 1000, 15);
        EXPECT_NEAR(frequency(back, 8000), 1000, 15);
        EXPECT_GT(peak(back), 5000);
    }
    EXPECT_FALSE(make_codec("AMR"));
    EXPECT_FALSE(codec_supported("opus"));
}

TEST(ReflectorVoice, GarbagePacketsNeverYieldMoreThanAStreamCanHold)
{
    std::mt19937 rng(28);
    for (const char *name : {"OPUS", "GSM", "SPEEX"}) {
        std::unique_ptr<ReflectorCodec> codec = make_codec(name);
        ASSERT_TRUE(codec);
        // libspeex reports every corrupt stream on standard error: a few
        // hundred packets keep the log readable.
        for (int i = 0; i < 600; i++) {
            std::vector<uint8_t> junk(1 + rng() % 1500);
            for (uint8_t &b : junk)
                b = static_cast<uint8_t>(rng());
            std::vector<int16_t> pcm;
            codec->decode(junk.data(), junk.size(), pcm);
            // 120 ms of Opus; 16 Speex frames; the GSM frames of 1500 bytes
            // and a partial frame from before.
            EXPECT_LE(pcm.size(), 46u * 160) << name;
            if (i % 100 == 0)
                codec->end_of_stream();
        }
        std::vector<int16_t> none;
        EXPECT_FALSE(codec->decode(nullptr, 0, none)) << name;
        EXPECT_TRUE(none.empty());
    }
}

TEST(ReflectorVoice, ThePacerSpreadsPacketsAtTheSitesPaceAndStartsAfreshAfterAGap)
{
    using clock = VoicePacer::clock;
    using std::chrono::milliseconds;
    VoicePacer p;
    clock::time_point t0 = clock::now();
    int16_t four[640] = {}, out[160];
    for (int i = 0; i < 640; i++)
        four[i] = static_cast<int16_t>(i);
    EXPECT_EQ(p.next_due(t0), clock::time_point::max());
    p.push(four, 640); // a packet of 80 ms
    struct Step {
        int at_ms;
        bool due;
        int first_sample;
    } steps[] = {{0, true, 0},    {0, false, 0},  {19, false, 0},  {20, true, 160},
                 {45, true, 320}, {59, false, 0}, {60, true, 480}, {80, false, 0}};
    for (const Step &s : steps) {
        bool due = p.pop_due(t0 + milliseconds(s.at_ms), out);
        EXPECT_EQ(due, s.due) << "at " << s.at_ms << " ms";
        if (due && s.due) {
            EXPECT_EQ(out[0], s.first_sample) << "at " << s.at_ms << " ms";
        }
    }
    EXPECT_EQ(p.next_due(t0 + milliseconds(80)), clock::time_point::max());
    // In time: due at the pace; a gap of more than 40 ms: at once.
    p.push(four, 160);
    EXPECT_EQ(p.next_due(t0 + milliseconds(81)), t0 + milliseconds(80));
    EXPECT_EQ(p.next_due(t0 + milliseconds(200)), t0 + milliseconds(200));
    EXPECT_TRUE(p.pop_due(t0 + milliseconds(200), out));
    // Beyond two seconds queued the oldest samples give way.
    for (int i = 0; i < 30; i++)
        p.push(four, 640);
    EXPECT_EQ(p.buffered(), VoicePacer::max_samples);
    EXPECT_EQ(p.dropped(), 30u * 640 - VoicePacer::max_samples);
}
