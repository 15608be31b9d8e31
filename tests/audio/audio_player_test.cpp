#include "audio/audio_player.h"
#include "fake_audio.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <unistd.h>
#include <vector>

namespace
{

std::vector<int16_t> constant(int16_t v, int n = 160)
{
    return std::vector<int16_t>(n, v);
}

std::vector<uint8_t> asBytes(const std::vector<int16_t> &s)
{
    std::vector<uint8_t> b(s.size() * 2);
    std::memcpy(b.data(), s.data(), b.size());
    return b;
}

} // namespace

TEST(AudioPlayerChecks, ReadyWithMatchingDeviceAndCodec)
{
    FakeDevice dev;
    FakeCodec codec;
    AudioPlayer p(&dev, &codec);
    EXPECT_EQ(p.isInitialized(), 1);
    EXPECT_EQ(p.getCodec(), &codec);
    EXPECT_EQ(p.getDevice(), &dev);
    EXPECT_EQ(p.getEncodedBlockSize(), 160);
}

TEST(AudioPlayerChecks, PeriodDifferentFromCodecBlockIsNotReady)
{
    FakeDevice dev(80);
    FakeCodec codec(160);
    AudioPlayer p(&dev, &codec);
    EXPECT_EQ(p.isInitialized(), 0);
    EXPECT_EQ(p.play(nullptr, AudioPlayer::PLAY_SILENCE, 0), -1);
    EXPECT_TRUE(dev.writes.empty());
}

TEST(AudioPlayerChecks, EachFailedCheckLeavesItNotReady)
{
    {
        FakeCodec codec;
        FakeDevice dev(160, false);
        EXPECT_EQ(AudioPlayer(&dev, &codec).isInitialized(), 0);
    }
    {
        FakeCodec codec;
        FakeDevice dev;
        dev.playable = 0;
        EXPECT_EQ(AudioPlayer(&dev, &codec).isInitialized(), 0);
    }
    {
        FakeCodec codec(160, false);
        FakeDevice dev;
        EXPECT_EQ(AudioPlayer(&dev, &codec).isInitialized(), 0);
    }
    {
        FakeCodec codec;
        FakeDevice dev;
        dev.sampleSize = 1;
        EXPECT_EQ(AudioPlayer(&dev, &codec).isInitialized(), 0);
    }
    {
        FakeCodec codec;
        FakeDevice dev;
        dev.sampleSign = 0;
        EXPECT_EQ(AudioPlayer(&dev, &codec).isInitialized(), 0);
    }
    {
        FakeCodec codec;
        FakeDevice dev;
        dev.sampleRate = 16000;
        EXPECT_EQ(AudioPlayer(&dev, &codec).isInitialized(), 0);
    }
    {
        FakeCodec codec;
        EXPECT_EQ(AudioPlayer(nullptr, &codec).isInitialized(), 0);
    }
}

TEST(AudioPlayerModes, SilenceWritesZeroSamplesWithoutReadingTheFrame)
{
    FakeDevice dev;
    FakeCodec codec;
    AudioPlayer p(&dev, &codec);
    EXPECT_EQ(p.play(nullptr, AudioPlayer::PLAY_SILENCE, 0), 0);
    ASSERT_EQ(dev.writes.size(), 1u);
    EXPECT_EQ(dev.writes[0], constant(0));
}

TEST(AudioPlayerModes, UnknownModePlaysSilence)
{
    FakeDevice dev;
    FakeCodec codec;
    AudioPlayer p(&dev, &codec);
    p.play(nullptr, 9, 0);
    p.play(nullptr, -1, 0);
    ASSERT_EQ(dev.writes.size(), 2u);
    EXPECT_EQ(dev.writes[0], constant(0));
    EXPECT_EQ(dev.writes[1], constant(0));
}

TEST(AudioPlayerModes, SilenceUsesTheDevicesSilenceValue)
{
    FakeDevice dev;
    dev.silence = 127;
    FakeCodec codec;
    AudioPlayer p(&dev, &codec);
    p.setVolume(16);
    p.play(nullptr, AudioPlayer::PLAY_SILENCE, 0);
    p.play(nullptr, AudioPlayer::PLAY_SILENCE, 0);
    ASSERT_EQ(dev.writes.size(), 2u);
    // (127 * 256 + 16) / 1024 = 31 each time: the stored silence never drifts.
    EXPECT_EQ(dev.writes[0], constant(31));
    EXPECT_EQ(dev.writes[1], constant(31));
}

TEST(AudioPlayerModes, RawPlaysTheCallersSamplesUnchangedAndLeavesThemIntact)
{
    FakeDevice dev;
    FakeCodec codec;
    AudioPlayer p(&dev, &codec);
    std::vector<int16_t> s(160);
    for (int i = 0; i < 160; i++)
        s[i] = static_cast<int16_t>(i * 200 - 16000);
    auto bytes = asBytes(s);
    p.play(bytes.data(), AudioPlayer::PLAY_RAW, 0);
    ASSERT_EQ(dev.writes.size(), 1u);
    EXPECT_EQ(dev.writes[0], s);

    p.setVolume(0);
    p.play(bytes.data(), AudioPlayer::PLAY_RAW, 0);
    EXPECT_EQ(dev.writes[1], constant(0));
    EXPECT_EQ(bytes, asBytes(s));
}

TEST(AudioPlayerModes, DecodeRunsTheCodecOnTheFrame)
{
    FakeDevice dev;
    FakeCodec codec;
    AudioPlayer p(&dev, &codec);
    std::vector<uint8_t> frame(160, 3);
    p.play(frame.data(), AudioPlayer::PLAY_DECODE, 0);
    ASSERT_EQ(dev.writes.size(), 1u);
    EXPECT_EQ(dev.writes[0], constant(30));
}

TEST(AudioPlayerModes, ConcealDoesNotReadTheFrame)
{
    FakeDevice dev;
    FakeCodec codec;
    AudioPlayer p(&dev, &codec);
    p.play(nullptr, AudioPlayer::PLAY_CONCEAL, 0);
    ASSERT_EQ(dev.writes.size(), 1u);
    EXPECT_EQ(dev.writes[0], constant(7));
}

TEST(AudioPlayerModes, LoopFlagReachesTheDevice)
{
    FakeDevice dev;
    FakeCodec codec;
    AudioPlayer p(&dev, &codec);
    p.play(nullptr, AudioPlayer::PLAY_SILENCE, 1);
    p.play(nullptr, AudioPlayer::PLAY_SILENCE, 0);
    EXPECT_EQ(dev.loops, (std::vector<int>{1, 0}));
}

TEST(AudioPlayerVolume, ScalesBySquaredLevel)
{
    FakeDevice dev;
    FakeCodec codec;
    AudioPlayer p(&dev, &codec);
    std::vector<int16_t> s(160, 1000);
    s[1] = -32768;
    s[2] = 32767;
    s[3] = -1000;
    auto bytes = asBytes(s);

    EXPECT_EQ(p.setVolume(16), 0);
    p.play(bytes.data(), AudioPlayer::PLAY_RAW, 0);
    EXPECT_EQ(dev.writes[0][0], 250);
    EXPECT_EQ(dev.writes[0][3], -249); // (-256000 + 16) / 1024 truncates toward zero

    p.setVolume(31);
    p.play(bytes.data(), AudioPlayer::PLAY_RAW, 0);
    EXPECT_EQ(dev.writes[1][1], -30751);
    EXPECT_EQ(dev.writes[1][2], 30751);

    p.setVolume(-1);
    p.play(bytes.data(), AudioPlayer::PLAY_RAW, 0);
    EXPECT_EQ(dev.writes[2], s);
}

TEST(AudioPlayerRecovery, FailingWriteIsRetriedUntilItSucceeds)
{
    FakeDevice dev;
    FakeCodec codec;
    AudioPlayer p(&dev, &codec);
    dev.failures = 5;
    EXPECT_EQ(p.play(nullptr, AudioPlayer::PLAY_SILENCE, 0), 0);
    EXPECT_EQ(dev.recovers, 5);
    EXPECT_EQ(dev.writes.size(), 1u);
}

namespace
{

std::string captureStdout(const std::function<void()> &f)
{
    std::fflush(stdout);
    char path[] = "/tmp/playerinfoXXXXXX";
    int fd = mkstemp(path);
    int saved = dup(1);
    dup2(fd, 1);
    f();
    std::fflush(stdout);
    dup2(saved, 1);
    close(saved);
    std::string out;
    lseek(fd, 0, SEEK_SET);
    char buf[512];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0)
        out.append(buf, static_cast<size_t>(n));
    close(fd);
    unlink(path);
    return out;
}

} // namespace

TEST(AudioPlayerInfo, ReadyPlayerPrintsTheDeviceFormat)
{
    FakeDevice dev;
    FakeCodec codec;
    AudioPlayer p(&dev, &codec);
    EXPECT_EQ(captureStdout([&] { p.printInfo(); }), "Period Size             : 160\n"
                                                     "Sample Rate             : 8000\n"
                                                     "Sample Size             : 2\n"
                                                     "Sample Signed           : 1\n");
}

TEST(AudioPlayerInfo, FailedPlayerSaysSo)
{
    FakeDevice dev(80);
    FakeCodec codec;
    AudioPlayer p(&dev, &codec);
    EXPECT_EQ(captureStdout([&] { p.printInfo(); }), "not initialized\n");
}
