#include "sim/sim_audio.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

using namespace boardbox;

TEST(SimAlaw, KnownCodes)
{
    EXPECT_EQ(alaw_from_linear(0), 0xD5);
    EXPECT_EQ(linear_from_alaw(0xD5), 8);
    EXPECT_EQ(linear_from_alaw(0x55), -8);
    EXPECT_EQ(linear_from_alaw(0x00), -5504);
    EXPECT_EQ(linear_from_alaw(0xAA), 32256);
    EXPECT_EQ(linear_from_alaw(0x2A), -32256);
    EXPECT_EQ(alaw_from_linear(32767), 0xAA);
    EXPECT_EQ(alaw_from_linear(-32768), 0x2A);
}

TEST(SimAlaw, EveryCodeSurvivesARoundTrip)
{
    for (int c = 0; c < 256; ++c)
        EXPECT_EQ(alaw_from_linear(linear_from_alaw(static_cast<uint8_t>(c))), c) << c;
}

TEST(CaptureSources, SilenceAndToneLevels)
{
    std::string why;
    auto s = make_capture_source("silence", why);
    ASSERT_TRUE(s);
    std::vector<int16_t> buf(8000);
    s->next(buf.data(), buf.size());
    for (auto v : buf)
        ASSERT_EQ(v, 0);
    auto t = make_capture_source("tone:1000", why);
    ASSERT_TRUE(t);
    EXPECT_EQ(t->describe(), "tone:1000");
    t->next(buf.data(), buf.size());
    double sum = 0;
    for (auto v : buf)
        sum += double(v) * v;
    EXPECT_NEAR(dbfs_of(sum, buf.size()), -9.03, 0.05);
}

TEST(CaptureSources, BadSpecsAreRefused)
{
    std::string why;
    EXPECT_FALSE(make_capture_source("tone:", why));
    EXPECT_FALSE(make_capture_source("tone:abc", why));
    EXPECT_FALSE(make_capture_source("tone:4000", why));
    EXPECT_FALSE(make_capture_source("tone:-5", why));
    EXPECT_FALSE(make_capture_source("/nonexistent.wav", why));
    EXPECT_NE(why.find("/nonexistent.wav"), std::string::npos);
}

TEST(LevelMeter, AveragesTheLastBlocksOnly)
{
    LevelMeter m(2);
    EXPECT_EQ(m.dbfs(), -100.0);
    std::vector<int16_t> loud(160, 16384), quiet(160, 0);
    m.add(loud.data(), loud.size());
    EXPECT_NEAR(m.dbfs(), -6.02, 0.01);
    m.add(quiet.data(), quiet.size());
    EXPECT_NEAR(m.dbfs(), -9.03, 0.01);
    m.add(quiet.data(), quiet.size());
    EXPECT_EQ(m.dbfs(), -100.0);
}
