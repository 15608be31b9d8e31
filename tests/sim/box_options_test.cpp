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

TEST(BoxOptions, SizesArePlainBytesOrKOrMSuffixed)
{
    uint64_t n = 0;
    EXPECT_TRUE(parse_size("4096", n));
    EXPECT_EQ(n, 4096u);
    EXPECT_TRUE(parse_size("4K", n));
    EXPECT_EQ(n, 4096u);
    EXPECT_TRUE(parse_size("16k", n));
    EXPECT_EQ(n, 16384u);
    EXPECT_TRUE(parse_size("32M", n));
    EXPECT_EQ(n, 32u << 20);
    EXPECT_TRUE(parse_size("1m", n));
    EXPECT_EQ(n, 1u << 20);
    EXPECT_TRUE(parse_size("0", n));
    EXPECT_EQ(n, 0u);
    EXPECT_TRUE(parse_size("999999999999999", n));
    EXPECT_EQ(n, 999999999999999u);
    for (const char *bad :
         {"", "K", "M", "4G", "4KB", "-1", "+4", "0x10", " 4", "4 ", "1.5M", "4KK", "1000000000000000"})
        EXPECT_FALSE(parse_size(bad, n)) << bad;
}

TEST(BoxOptions, Ram0TakesAFileAndAnOptionalSize)
{
    Options o;
    std::string err;
    ASSERT_EQ(parse({"--ram0", "img.bin:64K", "--mtd", "flash", "--", "fwwriter", "--check"}, o, err), 0)
        << err;
    EXPECT_EQ(o.ram0_file, "img.bin");
    EXPECT_EQ(o.ram0_size, 65536u);
    EXPECT_EQ(o.mtd_dir, "flash");

    Options plain;
    ASSERT_EQ(parse({"--ram0", "img.bin", "--", "p"}, plain, err), 0) << err;
    EXPECT_EQ(plain.ram0_file, "img.bin");
    EXPECT_EQ(plain.ram0_size, 0u);
    EXPECT_EQ(plain.mtd_dir, "");

    std::string file;
    uint64_t size = 0;
    // A colon not followed by a digit belongs to the file name.
    EXPECT_TRUE(parse_ram0("dir:a/img", file, size, err));
    EXPECT_EQ(file, "dir:a/img");
    EXPECT_EQ(size, 0u);
    EXPECT_TRUE(parse_ram0("a:b:1M", file, size, err));
    EXPECT_EQ(file, "a:b");
    EXPECT_EQ(size, 1u << 20);
    EXPECT_TRUE(parse_ram0("img:", file, size, err));
    EXPECT_EQ(file, "img:");
    EXPECT_FALSE(parse_ram0("img:4X", file, size, err));
    EXPECT_NE(err.find("not a size: 4X"), std::string::npos) << err;
    EXPECT_FALSE(parse_ram0("img:0", file, size, err));
    EXPECT_FALSE(parse_ram0(":4K", file, size, err));
    EXPECT_FALSE(parse_ram0("", file, size, err));

    Options o2;
    EXPECT_EQ(parse({"--ram0", "--", "p"}, o2, err), -1); // "--" is taken as the file, then no program
    Options o3;
    EXPECT_EQ(parse({"--mtd"}, o3, err), -1);
    Options o4;
    EXPECT_EQ(parse({"--mtd", "", "--", "p"}, o4, err), -1);
    Options o5;
    EXPECT_EQ(parse({"--ram0", "x:12Q", "--", "p"}, o5, err), -1);
}
