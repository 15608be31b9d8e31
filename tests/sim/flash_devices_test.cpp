// The parts of the flash devices that need no box: the block-device seek
// rule and the stand-in's reports.
#include "sim/flash_devices.h"
#include "sim/ioctl_supervisor.h"

#include <unistd.h>

#include <cstdlib>

#include <gtest/gtest.h>

#include "box_test_util.h"

using namespace boardbox;

TEST(BlockSeek, PositionsUpToTheSizeAreAllowed)
{
    int64_t r = -1;
    EXPECT_TRUE(block_seek(0, 4096, 4096, SEEK_SET, r));
    EXPECT_EQ(r, 4096);
    EXPECT_TRUE(block_seek(0, 4096, 0, SEEK_SET, r));
    EXPECT_EQ(r, 0);
    EXPECT_TRUE(block_seek(36, 4096, 4060, SEEK_CUR, r));
    EXPECT_EQ(r, 4096);
    EXPECT_TRUE(block_seek(36, 4096, -36, SEEK_CUR, r));
    EXPECT_EQ(r, 0);
    EXPECT_TRUE(block_seek(36, 4096, -1, SEEK_CUR, r)); // an empty image's check: back by one
    EXPECT_EQ(r, 35);
    EXPECT_TRUE(block_seek(100, 4096, 0, SEEK_END, r));
    EXPECT_EQ(r, 4096);
    EXPECT_TRUE(block_seek(100, 4096, -4096, SEEK_END, r));
    EXPECT_EQ(r, 0);
    EXPECT_TRUE(block_seek(0, 0, 0, SEEK_END, r));
    EXPECT_EQ(r, 0);
}

TEST(BlockSeek, BeyondTheSizeNegativeOverflowOrUnknownFails)
{
    int64_t r = 7;
    EXPECT_FALSE(block_seek(0, 4096, 4097, SEEK_SET, r));
    EXPECT_FALSE(block_seek(0, 4096, -1, SEEK_SET, r));
    EXPECT_FALSE(block_seek(36, 4096, 4061, SEEK_CUR, r));
    EXPECT_FALSE(block_seek(36, 4096, -37, SEEK_CUR, r));
    EXPECT_FALSE(block_seek(0, 4096, 1, SEEK_END, r));
    EXPECT_FALSE(block_seek(0, 4096, -4097, SEEK_END, r));
    EXPECT_FALSE(block_seek(INT64_MAX, UINT64_MAX, 1, SEEK_CUR, r));
    EXPECT_FALSE(block_seek(0, 4096, INT64_MIN, SEEK_END, r));
    EXPECT_FALSE(block_seek(0, 4096, 0, 3, r)); // SEEK_DATA is not this rule's
    EXPECT_FALSE(block_seek(0, 4096, 0, -1, r));
    EXPECT_EQ(r, 7); // untouched on failure
}

namespace
{

struct Devices {
    boxtest::TempDir dir;
    EventLog log;
    FlashDevices flash{log};
    Devices()
    {
        log.open(dir.file("log"));
        Options opt;
        std::string why;
        EXPECT_EQ(flash.prepare(opt, "/bin/true", why), 0) << why;
    }
    std::string text() { return boxtest::read_file(dir.file("log")); }
};

} // namespace

TEST(FlashReports, EraseAndWriteAreLoggedAndCounted)
{
    Devices d;
    EXPECT_TRUE(d.flash.handle_report(R"({"op":"erase","device":"/dev/mtd4","ok":true})"));
    EXPECT_TRUE(d.flash.handle_report(R"({"op":"write","device":"/dev/mtd4","ok":true,"bytes":16384})"));
    EXPECT_TRUE(d.flash.handle_report(
        R"({"op":"write","device":"/dev/mtd4","ok":false,"bytes":8192,"error":"data does not fit"})"));
    auto r = d.flash.control({});
    EXPECT_EQ(r["ok"], true);
    EXPECT_EQ(r["ram0_size"], -1);
    auto p = r["partitions"][1];
    EXPECT_EQ(p["device"], "/dev/mtd4");
    EXPECT_EQ(p["size"], 8388608);
    EXPECT_EQ(p["erases"], 1);
    EXPECT_EQ(p["writes"], 2);
    EXPECT_EQ(p["failed_writes"], 1);
    EXPECT_EQ(p["last_write_bytes"], 8192);
    EXPECT_EQ(p["last_write_ok"], false);
    EXPECT_EQ(r["partitions"][0]["writes"], 0);
    std::string log = d.text();
    EXPECT_NE(log.find("mtd erase /dev/mtd4\n"), std::string::npos) << log;
    EXPECT_NE(log.find("mtd write /dev/mtd4: 16384 bytes\n"), std::string::npos) << log;
    EXPECT_NE(log.find("mtd write /dev/mtd4 failed after 8192 bytes: data does not fit\n"), std::string::npos)
        << log;
}

TEST(FlashReports, OtherDevicesAreLoggedButNotCounted)
{
    Devices d;
    EXPECT_TRUE(
        d.flash.handle_report(R"({"op":"erase","device":"/dev/mtd9","ok":false,"error":"No such file"})"));
    EXPECT_TRUE(d.flash.handle_report(R"({"op":"write","device":"/tmp/x","ok":true,"bytes":1})"));
    EXPECT_TRUE(d.flash.handle_report(R"({"op":"usage","ok":false,"args":["write","x"]})"));
    auto r = d.flash.control({});
    for (auto &p : r["partitions"]) {
        EXPECT_EQ(p["erases"], 0);
        EXPECT_EQ(p["writes"], 0);
    }
    std::string log = d.text();
    EXPECT_NE(log.find("mtd erase /dev/mtd9 failed: No such file\n"), std::string::npos) << log;
    EXPECT_NE(log.find("mtd write /tmp/x: 1 bytes\n"), std::string::npos) << log;
    EXPECT_NE(log.find("mtd usage error: write x\n"), std::string::npos) << log;
}

TEST(FlashReports, GarbageTruncatedAndOddMessagesAreRefusedOrTolerated)
{
    Devices d;
    for (const char *bad : {"", "{", R"({"op":"erase")", "[1,2]", "42", R"({"device":"/dev/mtd3"})",
                            R"({"op":7})", R"({"op":"format","device":"/dev/mtd3"})", "\xff\xfe"})
        EXPECT_FALSE(d.flash.handle_report(bad)) << bad;
    std::string huge(1 << 20, 'x');
    EXPECT_FALSE(d.flash.handle_report(huge));
    // Wrong field types do not throw: they count as missing.
    EXPECT_TRUE(d.flash.handle_report(R"({"op":"write","device":"/dev/mtd3","ok":true,"bytes":-5})"));
    EXPECT_TRUE(d.flash.handle_report(R"({"op":"usage","args":"write"})"));
    EXPECT_TRUE(d.flash.handle_report(R"({"op":"erase","device":5,"ok":"yes","error":[1]})"));
    EXPECT_TRUE(d.flash.handle_report(R"({"op":"usage","args":[1,null,"x"]})"));
    auto r = d.flash.control({});
    EXPECT_EQ(r["partitions"][0]["last_write_bytes"], 0);
    EXPECT_EQ(r["partitions"][0]["writes"], 1);
}

TEST(FlashReports, ARam0SmallerThanItsFileIsRefused)
{
    boxtest::TempDir dir;
    boxtest::write_file(dir.file("img"), std::string(5000, 'x'));
    EventLog log;
    FlashDevices flash{log};
    Options opt;
    opt.ram0_file = dir.file("img");
    opt.ram0_size = 4096;
    std::string why;
    EXPECT_EQ(flash.prepare(opt, "/bin/true", why), -1);
    EXPECT_NE(why.find("smaller than"), std::string::npos) << why;
    FlashDevices tool{log};
    Options none;
    EXPECT_EQ(tool.prepare(none, dir.file("missing-tool"), why), -1);
    EXPECT_NE(why.find("stand-in"), std::string::npos) << why;
}

TEST(MtdTool, OutsideABoxItWritesAndNobodyIsWaitedFor)
{
    boxtest::TempDir dir;
    std::string part = dir.file("part");
    boxtest::write_file(part, std::string(100, 'x'));
    std::string tool = std::string(GW_BUILD_DIR) + "/bin/boardbox-mtd";
    ASSERT_EQ(std::system((tool + " erase " + part).c_str()), 0);
    EXPECT_EQ(boxtest::read_file(part), std::string(100, '\xFF'));
    boxtest::write_file(dir.file("in"), "abc");
    ASSERT_EQ(std::system((tool + " write - " + part + " < " + dir.file("in")).c_str()), 0);
    EXPECT_EQ(boxtest::read_file(part), "abc" + std::string(97, '\xFF'));
    EXPECT_NE(std::system((tool + " write " + part + " 2>/dev/null").c_str()), 0);
    EXPECT_NE(std::system((tool + " erase /dev/null 2>/dev/null").c_str()), 0);
}
