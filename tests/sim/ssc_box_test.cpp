// "/dev/ssc0" inside a box: pacing, fill, capture sources and the playback file.
#include <sndfile.h>

#include <gtest/gtest.h>

#include <cstdlib>

#include "box_test_util.h"
#include "sim/box_client.h"

using boardbox::BoxProcess;
using boardbox::Client;
using namespace boxtest;

namespace
{

std::vector<short> read_wav(const std::string &path)
{
    SF_INFO info{};
    SNDFILE *f = sf_open(path.c_str(), SFM_READ, &info);
    if (!f)
        return {};
    std::vector<short> s(static_cast<size_t>(info.frames));
    sf_read_short(f, s.data(), info.frames);
    sf_close(f);
    return s;
}

double number_after(const std::string &line, const std::string &key)
{
    size_t p = line.find(key);
    return p == std::string::npos ? -1e9 : std::strtod(line.c_str() + p + key.size(), nullptr);
}

} // namespace

TEST(BoxSsc, ReadsArePacedAtOneBlockPer20ms)
{
    BoxProcess box;
    ASSERT_EQ(box.start({}, {probe(), "ssc-read", "10"}), 0);
    ASSERT_EQ(box.wait_exit(), 0) << box.output();
    std::string line = line_with(box.stdout_lines(), "reads 10 took");
    ASSERT_NE(line, "") << box.output();
    // Ten reads wait for ten block ends: never faster than nine periods.
    EXPECT_GE(number_after(line, "took "), 9 * 20.0) << line;
    // Silence: the A-law code 0xD5 in bits 11-18.
    EXPECT_NE(line.find("first 0x0006A800"), std::string::npos) << line;
}

TEST(BoxSsc, ReadBeforeConfigurationFails)
{
    BoxProcess box;
    ASSERT_EQ(box.start({}, {probe(), "ssc-unconfigured"}), 0);
    ASSERT_EQ(box.wait_exit(), 0);
    EXPECT_NE(line_with(box.stdout_lines(), "read -1 errno 22"), "") << box.output();
}

TEST(BoxSsc, OversizedReadFailsAndShortReadGetsTheBlockStart)
{
    BoxProcess box;
    ASSERT_EQ(box.start({}, {probe(), "ssc-read", "1", "641"}), 0);
    ASSERT_EQ(box.wait_exit(), 0);
    EXPECT_NE(line_with(box.stdout_lines(), "read errno 22"), "") << box.output();

    BoxProcess small;
    ASSERT_EQ(small.start({}, {probe(), "ssc-read", "2", "8"}), 0);
    ASSERT_EQ(small.wait_exit(), 0);
    EXPECT_NE(line_with(small.stdout_lines(), "first 0x0006A800"), "") << small.output();
}

TEST(BoxSsc, CaptureToneHasItsLevel)
{
    std::string sock = BoxProcess::temp_path("sock");
    BoxProcess box;
    ASSERT_EQ(
        box.start({"--control", sock, "--capture", "tone:1000"}, {probe(), "ssc-read", "25", "640", "hold"}),
        0);
    Client c;
    ASSERT_EQ(c.connect(sock), 0);
    ASSERT_TRUE(box.wait_for_line("reads 25")) << box.output();
    std::string line = line_with(box.stdout_lines(), "reads 25");
    // A sine of half full scale: -9 dBFS.
    EXPECT_NEAR(number_after(line, "level "), -9.0, 0.5) << line;
    boardbox::AudioLevels l;
    ASSERT_EQ(c.audio_levels(l), 0);
    EXPECT_TRUE(l.configured);
    EXPECT_NEAR(l.capture_dbfs, -9.0, 0.5);
    box.stop();
}

TEST(BoxSsc, UnwrittenBlocksGoOutAsFillAfterTwoZeroBlocks)
{
    TempDir dir;
    BoxProcess box;
    ASSERT_EQ(box.start({"--playback", dir.file("play.wav")}, {probe(), "ssc-read", "10"}), 0);
    ASSERT_EQ(box.wait_exit(), 0) << box.output();
    auto s = read_wav(dir.file("play.wav"));
    ASSERT_GE(s.size(), 8u * 160) << "samples: " << s.size();
    // Zero words carry A-law code 0x00 (-5504); the 0x55 fill decodes to -8.
    for (size_t i = 0; i < 320; ++i)
        ASSERT_EQ(s[i], -5504) << i;
    for (size_t i = 320; i < s.size(); ++i)
        ASSERT_EQ(s[i], -8) << i;
}

TEST(BoxSsc, WrittenBlocksArePacedAndRecordedFromBits12To19)
{
    TempDir dir;
    std::string sock = BoxProcess::temp_path("sock");
    BoxProcess box;
    ASSERT_EQ(box.start({"--control", sock, "--playback", dir.file("play.wav")},
                        {probe(), "ssc-write", "10", "0xA0", "hold"}),
              0);
    Client c;
    ASSERT_EQ(c.connect(sock), 0);
    ASSERT_TRUE(box.wait_for_line("writes 10")) << box.output();
    std::string line = line_with(box.stdout_lines(), "writes 10");
    // Each write waits for a free buffer: the first right after the first
    // block ends, so ten writes span at least eight more block periods.
    EXPECT_GE(number_after(line, "took "), 8 * 20.0) << line;
    ASSERT_TRUE(box.wait_for_line("written")) << box.output();
    boardbox::AudioLevels l;
    ASSERT_EQ(c.audio_levels(l), 0);
    EXPECT_EQ(l.tx_written, 10u);
    box.stop();
    auto s = read_wav(dir.file("play.wav"));
    size_t tone = 0;
    for (short v : s)
        tone += v == 22016; // A-law code 0xA0
    EXPECT_EQ(tone, 10u * 160);
}

TEST(BoxSsc, BadCaptureSourceIsRefused)
{
    BoxProcess box;
    ASSERT_EQ(box.start({"--capture", "tone:0"}, {probe(), "exit", "0"}), 0);
    EXPECT_EQ(box.wait_exit(), 125);
    EXPECT_NE(line_with(box.stderr_lines(), "boardbox: bad tone frequency"), "") << box.output();
}

TEST(BoxSsc, PlaybackMarkerIsArmedThroughTheControlSocket)
{
    std::string sock = BoxProcess::temp_path("sock");
    BoxProcess box;
    ASSERT_EQ(box.start({"--control", sock}, {probe(), "ssc-write", "100", "0xA0", "hold"}), 0);
    Client c;
    ASSERT_EQ(c.connect(sock), 0);
    nlohmann::json r;
    EXPECT_NE(c.request({{"cmd", "playback_marker"}, {"arm", 0}}, r), 0);
    EXPECT_NE(c.request({{"cmd", "playback_marker"}, {"arm", 40000}}, r), 0);
    EXPECT_NE(c.request({{"cmd", "playback_marker"}, {"arm", "loud"}}, r), 0);
    // 0xA0 plays as 22016; the zeroed blocks after the configuration as 5504.
    ASSERT_EQ(c.arm_playback_marker(20000), 0);
    ASSERT_TRUE(box.wait_for_line("writes 100")) << box.output();
    boardbox::PlaybackMarker m;
    ASSERT_EQ(c.playback_marker(m), 0);
    EXPECT_TRUE(m.seen);
    EXPECT_GT(m.write_accept_ns, 0);
    EXPECT_GT(m.sample_ns, m.write_accept_ns);
    box.stop();
}
