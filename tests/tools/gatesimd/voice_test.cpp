#include "audio/codec_alaw.h"
#include "tests/tools/gatesimd/fake_sim.h"
#include "tools/gatesimd/voice.h"

#include <chrono>
#include <cmath>
#include <gtest/gtest.h>
#include <sndfile.h>
#include <thread>
#include <unistd.h>

namespace
{

std::string temp_wav(const char *tag)
{
    return "/tmp/gatesimd_" + std::string(tag) + "_" + std::to_string(getpid()) + ".wav";
}

bool wait_for(const std::function<bool()> &cond)
{
    for (int i = 0; i < 5000; i++) {
        if (cond())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
}

int zero_crossings(const std::vector<int16_t> &s)
{
    int n = 0;
    for (size_t i = 1; i < s.size(); i++)
        if ((s[i - 1] < 0) != (s[i] < 0))
            n++;
    return n;
}

TEST(GatesimdVoiceMode, ParsesEveryMode)
{
    VoiceConfig c;
    std::string err;
    ASSERT_TRUE(parse_voice("loop", c, err));
    EXPECT_EQ(c.kind, VoiceConfig::loop);
    ASSERT_TRUE(parse_voice("record:/tmp/x.wav", c, err));
    EXPECT_EQ(c.kind, VoiceConfig::record);
    EXPECT_EQ(c.path, "/tmp/x.wav");
    ASSERT_TRUE(parse_voice("play:a.wav", c, err));
    EXPECT_EQ(c.kind, VoiceConfig::play);
    ASSERT_TRUE(parse_voice("tone:1000", c, err));
    EXPECT_EQ(c.kind, VoiceConfig::tone);
    EXPECT_EQ(c.hz, 1000);
}

TEST(GatesimdVoiceMode, RejectsBadModes)
{
    VoiceConfig c;
    std::string err;
    for (const char *s :
         {"", "echo", "record:", "play:", "tone:", "tone:abc", "tone:0", "tone:4000", "tone:-5"})
        EXPECT_FALSE(parse_voice(s, c, err)) << s;
}

TEST(GatesimdTone, HasTheRequestedFrequencyAcrossFrames)
{
    ToneSource t(1000);
    std::vector<int16_t> all;
    for (int f = 0; f < 50; f++) {
        int16_t frame[voice_frame_samples];
        t.next(frame);
        all.insert(all.end(), frame, frame + voice_frame_samples);
    }
    // One second of 1000 Hz crosses zero about 2000 times.
    EXPECT_NEAR(zero_crossings(all), 2000, 4);
    int peak = 0;
    for (int16_t v : all)
        peak = std::max(peak, std::abs(static_cast<int>(v)));
    EXPECT_NEAR(peak, 10354, 50); // -10 dBFS
}

TEST(GatesimdWav, RecorderWritesEightKilohertzMono)
{
    std::string path = temp_wav("rec");
    {
        WavRecorder r;
        std::string err;
        ASSERT_TRUE(r.open(path, err)) << err;
        int16_t frame[voice_frame_samples];
        for (int i = 0; i < voice_frame_samples; i++)
            frame[i] = static_cast<int16_t>(i * 100);
        for (int f = 0; f < 10; f++)
            r.push(frame);
        r.close();
        EXPECT_EQ(r.frames_written(), 10u);
    }
    SF_INFO info{};
    SNDFILE *f = sf_open(path.c_str(), SFM_READ, &info);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(info.samplerate, 8000);
    EXPECT_EQ(info.channels, 1);
    EXPECT_EQ(info.frames, 1600);
    std::vector<short> back(1600);
    sf_readf_short(f, back.data(), 1600);
    sf_close(f);
    EXPECT_EQ(back[161], 100);
    unlink(path.c_str());
}

TEST(GatesimdWav, SourceResamplesAndMixesToMono)
{
    std::string path = temp_wav("src");
    SF_INFO info{};
    info.samplerate = 16000;
    info.channels = 2;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE *f = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(f, nullptr);
    std::vector<short> st(16000 * 2);
    for (int i = 0; i < 16000; i++) {
        short v = static_cast<short>(std::lround(8000 * std::sin(2 * M_PI * 500 * i / 16000.0)));
        st[2 * i] = v;
        st[2 * i + 1] = v;
    }
    sf_writef_short(f, st.data(), 16000);
    sf_close(f);

    WavSource src;
    std::string err;
    ASSERT_TRUE(src.open(path, err)) << err;
    EXPECT_EQ(src.samples(), 8000u);
    std::vector<int16_t> all;
    for (int k = 0; k < 50; k++) {
        int16_t frame[voice_frame_samples];
        src.next(frame);
        all.insert(all.end(), frame, frame + voice_frame_samples);
    }
    EXPECT_NEAR(zero_crossings(all), 1000, 4);
    unlink(path.c_str());
}

TEST(GatesimdWav, SourceRefusesMissingAndNonAudioFiles)
{
    WavSource src;
    std::string err;
    EXPECT_FALSE(src.open("/nonexistent.wav", err));
    std::string path = temp_wav("junk");
    FILE *f = fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    fputs("RIFF garbage that is no wave file at all", f);
    fclose(f);
    EXPECT_FALSE(src.open(path, err));
    unlink(path.c_str());
}

TEST(GatesimdVoiceEngine, LoopSendsTheTalkersPayloadBack)
{
    FakeSim sim;
    VoiceConfig cfg;
    cfg.kind = VoiceConfig::loop;
    VoiceEngine v(sim, cfg);
    std::string err;
    ASSERT_TRUE(v.start(err));
    std::vector<unsigned char> packet(172, 0x55);
    packet[0] = 0x80;
    v.on_rtp(packet.data(), 172);
    v.on_rtp(packet.data(), 100); // not a voice packet
    auto c = sim.calls();
    ASSERT_EQ(c.size(), 1u);
    EXPECT_EQ(c[0].what, "rtp");
    EXPECT_EQ(c[0].args, (std::vector<long long>{160, 8}));
    EXPECT_EQ(c[0].data, std::vector<unsigned char>(160, 0x55));
}

TEST(GatesimdVoiceEngine, RecordDecodesALawIntoTheFile)
{
    std::string path = temp_wav("engine");
    FakeSim sim;
    VoiceConfig cfg;
    cfg.kind = VoiceConfig::record;
    cfg.path = path;
    {
        VoiceEngine v(sim, cfg);
        std::string err;
        ASSERT_TRUE(v.start(err)) << err;
        std::vector<unsigned char> packet(172, alaw_encode(1000));
        packet[0] = 0x80;
        for (int i = 0; i < 5; i++)
            v.on_rtp(packet.data(), 172);
    }
    SF_INFO info{};
    SNDFILE *f = sf_open(path.c_str(), SFM_READ, &info);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(info.frames, 800);
    short s = 0;
    sf_readf_short(f, &s, 1);
    sf_close(f);
    EXPECT_EQ(s, alaw_decode(alaw_encode(1000)));
    EXPECT_EQ(sim.count(), 0u);
    unlink(path.c_str());
}

TEST(GatesimdVoiceEngine, TonePlaysALawFramesUntilStopped)
{
    FakeSim sim;
    VoiceConfig cfg;
    cfg.kind = VoiceConfig::tone;
    cfg.hz = 440;
    VoiceEngine v(sim, cfg);
    std::string err;
    ASSERT_TRUE(v.start(err));
    ASSERT_TRUE(wait_for([&] { return sim.count() >= 5; }));
    v.stop();
    size_t n = sim.count();
    for (const auto &c : sim.calls()) {
        EXPECT_EQ(c.what, "rtp");
        EXPECT_EQ(c.data.size(), 160u);
        EXPECT_EQ(c.args[1], 8);
    }
    EXPECT_EQ(sim.count(), n); // nothing after stop
}

} // namespace
