// gatesimd's DM3000 side: pictures drawn and packed for the status record,
// requests answered, buttons printed, operator commands.
#include "tools/gatesimd/dm3000.h"

#include "base/pbm.h"
#include "tests/tools/gatesimd/fake_sim.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <fstream>

namespace
{

size_t lit(const dm3000::Pixels &px)
{
    size_t n = 0;
    for (uint8_t p : px)
        n += p;
    return n;
}

TEST(Dm3000Picture, TextLinesAreDrawnInEightRowBands)
{
    dm3000::Pixels px = dm3000::render_lines({"1"});
    ASSERT_EQ(px.size(), 4224u);
    // '1': 00100 01100 00100 00100 00100 00100 01110, drawn from column 1.
    EXPECT_EQ(px[0 * 132 + 3], 1);
    EXPECT_EQ(px[1 * 132 + 2], 1);
    EXPECT_EQ(px[6 * 132 + 2], 1);
    EXPECT_EQ(px[6 * 132 + 4], 1);
    EXPECT_EQ(lit(px), 10u);
    // The fourth line starts at row 24; a fifth is not drawn.
    dm3000::Pixels four = dm3000::render_lines({"", "", "", "1", "1"});
    EXPECT_EQ(four[24 * 132 + 3], 1);
    EXPECT_EQ(lit(four), 10u);
    // Lower case shows as upper case; unknown characters as '?'.
    EXPECT_EQ(dm3000::render_lines({"a"}), dm3000::render_lines({"A"}));
    EXPECT_EQ(dm3000::render_lines({"~"}), dm3000::render_lines({"?"}));
    // 22 characters fit; the rest is cut.
    EXPECT_EQ(dm3000::render_lines({std::string(30, '#')}), dm3000::render_lines({std::string(22, '#')}));
}

TEST(Dm3000Picture, PackedLeastSignificantBitFirst)
{
    dm3000::Pixels px(4224, 0);
    px[0] = px[9] = px[4223] = 1;
    std::vector<uint8_t> packed = dm3000::pack(px);
    ASSERT_EQ(packed.size(), 528u);
    EXPECT_EQ(packed[0], 0x01);
    EXPECT_EQ(packed[1], 0x02);
    EXPECT_EQ(packed[527], 0x80);
}

TEST(Dm3000Picture, LinesSplitOnBars)
{
    EXPECT_EQ(dm3000::split_lines(" CH 1 | 12:00 |x"), (std::vector<std::string>{"CH 1", "12:00", "x"}));
}

TEST(Dm3000Site, EachStatusRequestIsAnsweredWithTheSiteScreen)
{
    FakeSim sim;
    dm3000::Site site(sim, "CHANNEL 7");
    testing::internal::CaptureStdout();
    site.on_request(2001, nullptr, 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "gatesimd: dm3000 status request\n");
    auto calls = sim.calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].what, "dm3000");
    EXPECT_EQ(calls[0].args, (std::vector<long long>{0, 0}));
    ASSERT_EQ(calls[0].data.size(), 528u);
    // The first line is the channel name.
    dm3000::Pixels channel = dm3000::render_lines({"CHANNEL 7"});
    std::vector<uint8_t> want = dm3000::pack(channel);
    EXPECT_TRUE(std::equal(want.begin(), want.begin() + 132, calls[0].data.begin()));
}

TEST(Dm3000Site, ButtonsArePrintedAndShownAsTheLastKey)
{
    FakeSim sim;
    dm3000::Site site(sim, "SITE");
    const unsigned char press[6] = {0x25, 0x35, 1, 0, 0, 0};
    const unsigned char mic[6] = {0x16, 0x00, 3, 0, 0, 0};
    testing::internal::CaptureStdout();
    site.on_request(2002, press, 6);
    site.on_request(2002, mic, 6);
    site.on_request(2002, mic, 5); // malformed: ignored
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "gatesimd: dm3000 button 0x25 0x35 mode 1 (press)\n"
                                                      "gatesimd: dm3000 button 0x16 0x00 mode 3 (mic)\n");
    auto calls = sim.calls();
    ASSERT_EQ(calls.size(), 2u);
    // Third text line: "KEY 16/00 MIC".
    dm3000::Pixels px = dm3000::render_lines({"", "", "KEY 16/00 MIC"});
    std::vector<uint8_t> want = dm3000::pack(px);
    for (size_t i = 16 * 132 / 8; i < 24 * 132 / 8; i++)
        EXPECT_EQ(calls[1].data[i], want[i]) << i;
}

TEST(Dm3000Site, FixedPictureAnswersRequestsAndWrongPicturesAreRefused)
{
    const std::string path = "/tmp/dm3000-test-" + std::to_string(::getpid()) + ".pbm";
    pbm::Image img;
    img.width = 132;
    img.height = 32;
    img.pixels.assign(4224, 0);
    img.pixels[133] = 1;
    ASSERT_TRUE(pbm::save(path, img));
    FakeSim sim;
    dm3000::Site site(sim, "SITE");
    std::string error;
    ASSERT_TRUE(site.load_fixed(path, error)) << error;
    testing::internal::CaptureStdout();
    site.on_request(2001, nullptr, 0);
    const unsigned char press[6] = {0x25, 0x35, 1, 0, 0, 0};
    site.on_request(2002, press, 6); // printed, but the picture stays
    testing::internal::GetCapturedStdout();
    auto calls = sim.calls();
    ASSERT_EQ(calls.size(), 1u);
    std::vector<uint8_t> want(528, 0);
    want[133 / 8] = 1u << (133 % 8);
    EXPECT_EQ(calls[0].data, want);

    img.width = 10;
    img.pixels.assign(320, 0);
    ASSERT_TRUE(pbm::save(path, img));
    EXPECT_FALSE(site.load_fixed(path, error));
    EXPECT_NE(error.find("132 x 32"), std::string::npos) << error;
    EXPECT_FALSE(site.load_fixed("/nonexistent.pbm", error));
    ::unlink(path.c_str());
}

TEST(Dm3000Site, Commands)
{
    FakeSim sim;
    dm3000::Site site(sim, "SITE");
    std::string reply;
    ASSERT_TRUE(site.execute("dmtext HELLO | WORLD", reply));
    EXPECT_EQ(reply, "ok");
    ASSERT_EQ(sim.count(), 1u);
    EXPECT_EQ(sim.calls()[0].data, dm3000::pack(dm3000::render_lines({"HELLO", "WORLD"})));
    ASSERT_TRUE(site.execute("dmtext 1|2|3|4|5", reply));
    EXPECT_EQ(reply, "error: at most 4 lines");
    ASSERT_TRUE(site.execute("dmimage /nonexistent.pbm", reply));
    EXPECT_EQ(reply.rfind("error: ", 0), 0u) << reply;
    ASSERT_TRUE(site.execute("dmimage", reply));
    EXPECT_EQ(reply, "error: usage: dmimage FILE");
    ASSERT_TRUE(site.execute("dmscreen", reply));
    EXPECT_EQ(reply, "ok");
    EXPECT_EQ(sim.count(), 2u);
    EXPECT_FALSE(site.execute("sql 1", reply));
    EXPECT_FALSE(site.execute("", reply));
    sim.result = -1;
    ASSERT_TRUE(site.execute("dmscreen", reply));
    EXPECT_EQ(reply, "error: the emulator refused it");
}

} // namespace
