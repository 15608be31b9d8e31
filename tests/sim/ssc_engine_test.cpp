#include "sim/ssc_engine.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "base/byteorder.h"

using namespace boardbox;
using clk = std::chrono::steady_clock;

namespace
{

std::vector<uint8_t> record(uint32_t rxfer)
{
    std::vector<uint8_t> r(24);
    const uint32_t w[6] = {192, 0x0F000424, 0x00200093, 0x0F000404, 0x00200093, rxfer};
    for (int i = 0; i < 6; ++i)
        bytes::put_le32(r.data() + 4 * i, w[i]);
    return r;
}

struct Engine : ::testing::Test {
    EventLog log;
    SscEngine ssc{log};
    void SetUp() override { ssc.start(); }
};

} // namespace

TEST_F(Engine, RecordFieldsAreLittleEndianWords)
{
    const uint8_t rec[24] = {0xC0, 0,    0,    0,    0x24, 0x04, 0x00, 0x0F, 0x93, 0x00, 0x20, 0x00,
                             0x04, 0x04, 0x00, 0x0F, 0x93, 0x00, 0x20, 0x00, 0xA0, 0x00, 0x00, 0x00};
    EXPECT_EQ(ssc.configure(rec), 0);
    auto s = ssc.stats();
    EXPECT_EQ(s.config.clkdiv, 192u);
    EXPECT_EQ(s.config.tcmr, 0x0F000424u);
    EXPECT_EQ(s.config.tfmr, 0x00200093u);
    EXPECT_EQ(s.config.rcmr, 0x0F000404u);
    EXPECT_EQ(s.config.rfmr, 0x00200093u);
    EXPECT_EQ(s.block_words, 160u);
    EXPECT_TRUE(s.configured);
}

TEST_F(Engine, ReadAndWriteBeforeConfigurationFail)
{
    uint8_t buf[640];
    EXPECT_EQ(ssc.read(buf, sizeof buf), -EINVAL);
    EXPECT_EQ(ssc.write(buf, sizeof buf), -EINVAL);
}

TEST_F(Engine, OutOfRangeBlockSizeKeepsThePreviousOne)
{
    ssc.configure(record(160).data());
    ssc.configure(record(0).data());
    EXPECT_EQ(ssc.stats().block_words, 160u);
    ssc.configure(record(SscEngine::kMaxBlockWords + 1).data());
    EXPECT_EQ(ssc.stats().block_words, 160u);
    EXPECT_EQ(ssc.stats().configurations, 3u);
    uint8_t buf[644];
    EXPECT_EQ(ssc.read(buf, 641), -EINVAL);
    EXPECT_EQ(ssc.read(buf, 0), -EINVAL);
}

TEST_F(Engine, EveryReadWaitsForItsOwnBlock)
{
    ssc.configure(record(160).data());
    uint8_t buf[640];
    auto t0 = clk::now();
    for (int i = 0; i < 5; ++i)
        ASSERT_EQ(ssc.read(buf, sizeof buf), 640);
    auto ms = std::chrono::duration<double, std::milli>(clk::now() - t0).count();
    EXPECT_GE(ms, 4 * 20.0);
    EXPECT_EQ(ssc.stats().rx_read, 5u);
    EXPECT_EQ(bytes::get_le32(buf), 0x0006A800u);
}

TEST_F(Engine, ToneBlocksAreNeverReturnedTwice)
{
    std::string why;
    ASSERT_EQ(ssc.set_capture("tone:333", why), 0);
    ssc.configure(record(160).data());
    uint8_t a[640], b[640];
    ASSERT_EQ(ssc.read(a, sizeof a), 640);
    ASSERT_EQ(ssc.read(b, sizeof b), 640);
    EXPECT_NE(std::vector<uint8_t>(a, a + 640), std::vector<uint8_t>(b, b + 640));
}

TEST_F(Engine, UnwrittenTransmitBlocksCountAsFill)
{
    ssc.configure(record(160).data());
    uint8_t buf[640] = {};
    for (int i = 0; i < 4; ++i)
        ssc.read(buf, sizeof buf);
    auto s = ssc.stats();
    EXPECT_GE(s.tx_fill, 3u);
    EXPECT_EQ(s.tx_written, 0u);
}

TEST_F(Engine, WriteWaitsForAFreeBufferAndIsCounted)
{
    ssc.configure(record(160).data());
    uint8_t buf[640];
    for (int i = 0; i < 160; ++i)
        bytes::put_le32(buf + 4 * i, 0x000D5354);
    auto t0 = clk::now();
    for (int i = 0; i < 4; ++i)
        ASSERT_EQ(ssc.write(buf, sizeof buf), 640);
    auto ms = std::chrono::duration<double, std::milli>(clk::now() - t0).count();
    EXPECT_GE(ms, 3 * 20.0);
    for (int i = 0; i < 3; ++i)
        ssc.read(buf, sizeof buf);
    EXPECT_EQ(ssc.stats().tx_written, 4u);
}

TEST_F(Engine, StopReleasesABlockedReader)
{
    ssc.configure(record(16000).data()); // a two-second block
    ssize_t r = 0;
    std::thread reader([&] {
        uint8_t buf[64];
        r = ssc.read(buf, sizeof buf);
    });
    // The reader is either waiting or about to: stopping must release it either way.
    ssc.stop();
    reader.join();
    EXPECT_EQ(r, -EIO);
}

TEST_F(Engine, PlaybackMarkerTimesTheFirstLoudSampleAndItsWrite)
{
    ssc.configure(record(160).data());
    auto block = [](int loud_at) {
        std::vector<uint8_t> b(640);
        for (int i = 0; i < 160; ++i) // A-law 0xAA is +32256, 0xD5 is +8
            bytes::put_le32(b.data() + 4 * i, static_cast<uint32_t>(i == loud_at ? 0xAA : 0xD5) << 12);
        return b;
    };
    auto wait_seen = [&] {
        auto end = clk::now() + std::chrono::seconds(10);
        while (!ssc.playback_marker().seen && clk::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return ssc.playback_marker();
    };

    // The two zeroed blocks after a configuration play as A-law 0x00, which
    // is loud: let them pass before arming.
    auto quiet = block(-1);
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(ssc.write(quiet.data(), quiet.size()), 640);
    ssc.arm_playback_marker(2000);
    auto loud = block(37);
    ASSERT_EQ(ssc.write(loud.data(), loud.size()), 640);
    auto m = wait_seen();
    ASSERT_TRUE(m.seen);
    EXPECT_LE(m.write_enter_ns, m.write_accept_ns);
    EXPECT_LE(m.prev_accept_ns, m.write_accept_ns);
    EXPECT_GT(m.prev_accept_ns, 0);
    // The loud sample is the 38th of the block, which left after the write.
    EXPECT_GE(m.sample_ns, m.write_accept_ns + 37 * 125000);

    // Re-arming forgets the find; a quiet stream finds nothing.
    ssc.arm_playback_marker(2000);
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(ssc.write(quiet.data(), quiet.size()), 640);
    EXPECT_FALSE(ssc.playback_marker().seen);
}
