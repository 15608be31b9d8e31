#include "sim/box_options.h"

#include <gtest/gtest.h>

using namespace boardbox;

namespace
{

int parse(std::vector<const char *> args, Options &o, std::string &err)
{
    args.insert(args.begin(), "boardbox");
    bool help = false;
    return parse_options(static_cast<int>(args.size()), args.data(), o, err, help);
}

} // namespace

TEST(BoxOptions, ProgramAndItsArgumentsFollowTheDoubleDash)
{
    Options o;
    std::string err;
    ASSERT_EQ(parse({"--config", "cfg", "--control", "s.sock", "--", "gwlinkd", "--infinite"}, o, err), 0)
        << err;
    EXPECT_EQ(o.config_dir, "cfg");
    EXPECT_EQ(o.control, "s.sock");
    EXPECT_EQ(o.program, (std::vector<std::string>{"gwlinkd", "--infinite"}));
    EXPECT_EQ(o.tty1, "null");
    EXPECT_EQ(o.capture, "silence");
}

TEST(BoxOptions, MasksAreHexWithOrWithoutPrefixAndLaterOptionsWin)
{
    Options o;
    std::string err;
    ASSERT_EQ(parse({"--low", "0x3000", "--high", "1000", "--", "p"}, o, err), 0) << err;
    EXPECT_EQ(o.low, 0x2000u);
    EXPECT_EQ(o.high, 0x1000u);
    uint32_t m;
    EXPECT_TRUE(parse_hex_mask("FFFFFFFF", m));
    EXPECT_EQ(m, 0xFFFFFFFFu);
    EXPECT_FALSE(parse_hex_mask("", m));
    EXPECT_FALSE(parse_hex_mask("0x", m));
    EXPECT_FALSE(parse_hex_mask("123456789", m));
    EXPECT_FALSE(parse_hex_mask("12g", m));
    EXPECT_FALSE(parse_hex_mask("-1", m));
}

TEST(BoxOptions, SecondProgramSitsBetweenAlsoAndTheNextDoubleDash)
{
    Options o;
    std::string err;
    ASSERT_EQ(parse({"--log", "l", "--also", "--", "gatesimd", "-v", "--", "gwlinkd"}, o, err), 0) << err;
    EXPECT_EQ(o.also, (std::vector<std::string>{"gatesimd", "-v"}));
    EXPECT_EQ(o.program, (std::vector<std::string>{"gwlinkd"}));
    Options o2;
    ASSERT_EQ(parse({"--also", "gatesimd", "--", "gwlinkd"}, o2, err), 0) << err;
    EXPECT_EQ(o2.also, (std::vector<std::string>{"gatesimd"}));
}

TEST(BoxOptions, MistakesAreReported)
{
    std::string err;
    Options a;
    EXPECT_NE(parse({"--config"}, a, err), 0);
    EXPECT_EQ(err, "--config needs a value");
    Options b;
    EXPECT_NE(parse({"--frobnicate", "--", "p"}, b, err), 0);
    EXPECT_EQ(err, "unknown option: --frobnicate");
    Options c;
    EXPECT_NE(parse({"--"}, c, err), 0);
    EXPECT_EQ(err, "no program given");
    Options d;
    EXPECT_NE(parse({"--also", "--", "gatesimd"}, d, err), 0);
    Options e;
    EXPECT_NE(parse({"--high", "0x1z", "--", "p"}, e, err), 0);
    EXPECT_EQ(err, "--high: not a hexadecimal mask: 0x1z");
}
