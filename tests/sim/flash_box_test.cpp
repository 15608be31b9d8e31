// The RAM disk, the flash partitions and the /sbin/mtd stand-in as fwwriter
// meets them in a box, and the LED and beeper it drives.
#include <signal.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <thread>

#include "box_test_util.h"
#include "sim/box_client.h"

using boardbox::BoxProcess;
using boardbox::Client;
using namespace boxtest;
using ms = std::chrono::milliseconds;

namespace
{

// The probe's hash of a byte string.
std::string hash_of(const std::string &bytes)
{
    uint64_t h = 1469598103934665603ull;
    for (unsigned char c : bytes)
        h = (h ^ c) * 1099511628211ull;
    char buf[32];
    std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(h));
    return buf;
}

// What the probe writes to flash.
std::string pattern(size_t n)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>(i * 7 + 3);
    return s;
}

// An image: a header-like start and varied bytes, no zero run at the end.
std::string image(size_t n)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>((i * 131 + 17) % 251 + 1);
    return s;
}

} // namespace

TEST(BoxRam0, HoldsACopyOfTheFile)
{
    TempDir dir;
    std::string img = image(1000);
    write_file(dir.file("img"), img);
    BoxProcess box;
    ASSERT_EQ(box.start({"--ram0", dir.file("img")}, {probe(), "ram0-read"}), 0);
    ASSERT_EQ(box.wait_exit(), 0) << box.output();
    EXPECT_NE(line_with(box.stdout_lines(), "ram0 read 1000 bytes hash " + hash_of(img)), "") << box.output();
    EXPECT_NE(line_with(box.stdout_lines(), "ram0 end 1000"), "") << box.output();
}

TEST(BoxRam0, IsPaddedWithZerosToTheGivenSize)
{
    TempDir dir;
    std::string img = image(1000);
    write_file(dir.file("img"), img);
    BoxProcess box;
    ASSERT_EQ(box.start({"--ram0", dir.file("img") + ":4K"}, {probe(), "ram0-read"}), 0);
    ASSERT_EQ(box.wait_exit(), 0) << box.output();
    std::string padded = img + std::string(4096 - 1000, '\0');
    EXPECT_NE(line_with(box.stdout_lines(), "ram0 read 4096 bytes hash " + hash_of(padded)), "")
        << box.output();

    BoxProcess big;
    ASSERT_EQ(big.start({"--ram0", dir.file("img") + ":1M"}, {probe(), "ram0-read"}), 0);
    ASSERT_EQ(big.wait_exit(), 0) << big.output();
    EXPECT_NE(line_with(big.stdout_lines(), "ram0 end 1048576"), "") << big.output();

    BoxProcess exact;
    ASSERT_EQ(exact.start({"--ram0", dir.file("img") + ":1000"}, {probe(), "ram0-read"}), 0);
    ASSERT_EQ(exact.wait_exit(), 0) << exact.output();
    EXPECT_NE(line_with(exact.stdout_lines(), "ram0 read 1000 bytes hash " + hash_of(img)), "")
        << exact.output();
}

TEST(BoxRam0, SizeBelowTheFileOrAMissingFileIsACommandLineError)
{
    TempDir dir;
    write_file(dir.file("img"), image(5000));
    BoxProcess box;
    ASSERT_EQ(box.start({"--ram0", dir.file("img") + ":4K"}, {probe(), "exit", "0"}), 0);
    EXPECT_EQ(box.wait_exit(), 125);
    EXPECT_NE(line_with(box.stderr_lines(), "boardbox: --ram0: size 4096 is smaller than"), "")
        << box.output();

    BoxProcess missing;
    ASSERT_EQ(missing.start({"--ram0", dir.file("none")}, {probe(), "exit", "0"}), 0);
    EXPECT_EQ(missing.wait_exit(), 125);
    EXPECT_NE(line_with(missing.stderr_lines(), "boardbox: --ram0: cannot open"), "") << missing.output();

    BoxProcess bad;
    ASSERT_EQ(bad.start({"--ram0", dir.file("img") + ":4X"}, {probe(), "exit", "0"}), 0);
    EXPECT_EQ(bad.wait_exit(), 125);
    EXPECT_NE(line_with(bad.stderr_lines(), "boardbox: --ram0: not a size: 4X"), "") << bad.output();
}

TEST(BoxRam0, SeeksBeyondTheSizeFailLikeOnABlockDevice)
{
    TempDir dir;
    write_file(dir.file("img"), image(100));
    BoxProcess box;
    ASSERT_EQ(box.start({"--ram0", dir.file("img") + ":4K"},
                        {probe(), "seek", "/dev/ram0", "SET:4096", "SET:4097", "SET:36", "CUR:4060", "CUR:1",
                         "CUR:-4060", "CUR:4059", "CUR:-4096", "CUR:-1", "SET:-1", "END:0", "END:1",
                         "END:-4096", "END:-4097", "CUR:0"}),
              0);
    ASSERT_EQ(box.wait_exit(), 0) << box.output();
    const std::vector<std::string> want = {
        "seek SET:4096 -> 4096 errno 0", "seek SET:4097 -> -1 errno 22",  "seek SET:36 -> 36 errno 0",
        "seek CUR:4060 -> 4096 errno 0", "seek CUR:1 -> -1 errno 22",     "seek CUR:-4060 -> 36 errno 0",
        "seek CUR:4059 -> 4095 errno 0", "seek CUR:-4096 -> -1 errno 22", "seek CUR:-1 -> 4094 errno 0",
        "seek SET:-1 -> -1 errno 22",    "seek END:0 -> 4096 errno 0",    "seek END:1 -> -1 errno 22",
        "seek END:-4096 -> 0 errno 0",   "seek END:-4097 -> -1 errno 22", "seek CUR:0 -> 0 errno 0",
    };
    EXPECT_EQ(box.stdout_lines(), want) << box.output();
}

TEST(BoxRam0, OtherFilesKeepTheirOwnSeekRules)
{
    TempDir dir;
    write_file(dir.file("img"), image(100));
    BoxProcess box;
    ASSERT_EQ(box.start({"--ram0", dir.file("img")}, {probe(), "seek", "/dev/mtd5", "SET:2000000", "END:10"}),
              0);
    ASSERT_EQ(box.wait_exit(), 0) << box.output();
    EXPECT_NE(line_with(box.stdout_lines(), "seek SET:2000000 -> 2000000 errno 0"), "") << box.output();
    EXPECT_NE(line_with(box.stdout_lines(), "seek END:10 -> 1048586 errno 0"), "") << box.output();
}

TEST(BoxRam0, WritesChangeOnlyTheBoxCopy)
{
    TempDir dir;
    std::string img = image(64);
    write_file(dir.file("img"), img);
    BoxProcess box;
    ASSERT_EQ(box.start({"--ram0", dir.file("img")}, {probe(), "ram0-write", "XYZ"}), 0);
    ASSERT_EQ(box.wait_exit(), 0) << box.output();
    EXPECT_NE(line_with(box.stdout_lines(), "ram0 wrote 3 read back XYZ"), "") << box.output();
    EXPECT_EQ(read_file(dir.file("img")), img);
}

TEST(BoxRam0, AbsentWithoutTheOption)
{
    BoxProcess box;
    ASSERT_EQ(box.start({}, {probe(), "ram0-read"}), 0);
    EXPECT_EQ(box.wait_exit(), 1) << box.output();
    EXPECT_NE(line_with(box.stdout_lines(), "ram0 open errno 2"), "") << box.output();
}

TEST(BoxMtd, PartitionsOfTheBoxAreErasedFlashOfDefaultSizes)
{
    BoxProcess box;
    ASSERT_EQ(box.start({}, {"/bin/sh", "-c",
                             std::string("for d in 3 4 5; do ") + probe() + " flash-info /dev/mtd$d; done"}),
              0);
    ASSERT_EQ(box.wait_exit(), 0) << box.output();
    EXPECT_NE(line_with(box.stdout_lines(), "/dev/mtd3 size 2097152 erased 2097152"), "") << box.output();
    EXPECT_NE(line_with(box.stdout_lines(), "/dev/mtd4 size 8388608 erased 8388608"), "") << box.output();
    EXPECT_NE(line_with(box.stdout_lines(), "/dev/mtd5 size 1048576 erased 1048576"), "") << box.output();
}

TEST(BoxMtd, EraseThenWriteLeavesTheRestErasedInTheHostDirectory)
{
    TempDir dir;
    std::string mtd = dir.file("flash");
    BoxProcess box;
    ASSERT_EQ(box.start({"--mtd", mtd, "--log", dir.file("log")},
                        {probe(), "flash", "/dev/mtd3", "10000", "exact"}),
              0);
    ASSERT_EQ(box.wait_exit(), 0) << box.output();
    EXPECT_NE(line_with(box.stdout_lines(), "erase status 0"), "") << box.output();
    EXPECT_NE(line_with(box.stdout_lines(), "write status 0"), "") << box.output();
    std::string flash = read_file(mtd + "/mtd3");
    ASSERT_EQ(flash.size(), 2097152u);
    EXPECT_EQ(flash.substr(0, 10000), pattern(10000));
    EXPECT_EQ(flash.substr(10000), std::string(2097152 - 10000, '\xFF'));
    EXPECT_EQ(read_file(mtd + "/mtd4"), std::string(8388608, '\xFF'));
    EXPECT_EQ(read_file(mtd + "/mtd5"), std::string(1048576, '\xFF'));
    std::string log = read_file(dir.file("log"));
    EXPECT_NE(log.find("mtd erase /dev/mtd3\n"), std::string::npos) << log;
    EXPECT_NE(log.find("mtd write /dev/mtd3: 10000 bytes\n"), std::string::npos) << log;
}

TEST(BoxMtd, PaddedChunksAreWrittenWhole)
{
    TempDir dir;
    std::string mtd = dir.file("flash");
    BoxProcess box;
    ASSERT_EQ(box.start({"--mtd", mtd, "--log", dir.file("log")}, {probe(), "flash", "/dev/mtd5", "10000"}),
              0);
    ASSERT_EQ(box.wait_exit(), 0) << box.output();
    std::string flash = read_file(mtd + "/mtd5");
    ASSERT_EQ(flash.size(), 1048576u);
    EXPECT_EQ(flash.substr(0, 10000), pattern(10000));
    EXPECT_EQ(flash.substr(10000, 6384), std::string(6384, '\0'));
    EXPECT_EQ(flash.substr(16384), std::string(1048576 - 16384, '\xFF'));
    std::string log = read_file(dir.file("log"));
    EXPECT_NE(log.find("mtd write /dev/mtd5: 16384 bytes\n"), std::string::npos) << log;
}

TEST(BoxMtd, ExistingPartitionFilesKeepTheirSizeAndOversizeWritesFail)
{
    TempDir dir;
    std::string mtd = dir.file("flash");
    ::mkdir(mtd.c_str(), 0755);
    write_file(mtd + "/mtd4", std::string(20000, '\xAA'));
    BoxProcess box;
    ASSERT_EQ(box.start({"--mtd", mtd, "--log", dir.file("log")},
                        {probe(), "flash", "/dev/mtd4", "30000", "exact"}),
              0);
    ASSERT_EQ(box.wait_exit(), 0) << box.output();
    EXPECT_NE(line_with(box.stdout_lines(), "write status 1"), "") << box.output();
    EXPECT_NE(line_with(box.stderr_lines(), "mtd: /dev/mtd4: data does not fit the partition (20000 bytes)"),
              "")
        << box.output();
    // What fitted stays written.
    EXPECT_EQ(read_file(mtd + "/mtd4"), pattern(20000));
    std::string log = read_file(dir.file("log"));
    EXPECT_NE(log.find("mtd write /dev/mtd4 failed after 20000 bytes: data does not fit"), std::string::npos)
        << log;
    // The others were made, erased.
    EXPECT_EQ(read_file(mtd + "/mtd3").size(), 2097152u);
}

TEST(BoxMtd, AnythingElseGetsTheUsage)
{
    TempDir dir;
    BoxProcess box;
    ASSERT_EQ(box.start({"--log", dir.file("log")},
                        {"/bin/sh", "-c",
                         "/sbin/mtd; echo rc $?; /sbin/mtd write x /dev/mtd3; echo rc $?; "
                         "/sbin/mtd erase; echo rc $?; /sbin/mtd erase /dev/mtd9; echo rc $?; "
                         "/sbin/mtd erase /dev/null; echo rc $?"}),
              0);
    ASSERT_EQ(box.wait_exit(), 0) << box.output();
    EXPECT_EQ(box.stdout_lines(), (std::vector<std::string>{"rc 1", "rc 1", "rc 1", "rc 1", "rc 1"}))
        << box.output();
    EXPECT_NE(line_with(box.stderr_lines(), "usage: mtd erase DEVICE"), "") << box.output();
    std::string log = read_file(dir.file("log"));
    EXPECT_NE(log.find("mtd usage error: \n"), std::string::npos) << log;
    EXPECT_NE(log.find("mtd usage error: write x /dev/mtd3\n"), std::string::npos) << log;
    EXPECT_NE(log.find("mtd usage error: erase\n"), std::string::npos) << log;
    EXPECT_NE(log.find("mtd erase /dev/mtd9 failed: No such file or directory"), std::string::npos) << log;
    EXPECT_NE(log.find("mtd erase /dev/null failed: No such device"), std::string::npos) << log;
}

TEST(BoxMtd, TheRestOfSbinStaysUsable)
{
    BoxProcess box;
    ASSERT_EQ(box.start({}, {"/bin/sh", "-c", "test -x /sbin/mtd && ls /sbin | grep -cx ip"}), 0);
    ASSERT_EQ(box.wait_exit(), 0) << box.output();
    EXPECT_EQ(box.stdout_lines(), (std::vector<std::string>{"1"})) << box.output();
    // The host's directory is unchanged.
    EXPECT_FALSE(exists("/sbin/mtd"));
}

TEST(BoxMtd, ControlSocketReportsPartitionsAndRam0)
{
    TempDir dir;
    write_file(dir.file("img"), image(100));
    std::string sock = BoxProcess::temp_path("sock");
    BoxProcess box;
    ASSERT_EQ(box.start({"--control", sock, "--ram0", dir.file("img") + ":64K"},
                        {probe(), "flash", "/dev/mtd3", "10000", "hold"}),
              0);
    ASSERT_TRUE(box.wait_for_line("flashed")) << box.output();
    Client c;
    ASSERT_EQ(c.connect(sock), 0);
    nlohmann::json r;
    ASSERT_EQ(c.request({{"cmd", "mtd"}}, r), 0) << r.dump();
    EXPECT_EQ(r["ram0_size"], 65536);
    ASSERT_EQ(r["partitions"].size(), 3u) << r.dump();
    auto p3 = r["partitions"][0];
    EXPECT_EQ(p3["device"], "/dev/mtd3");
    EXPECT_EQ(p3["size"], 2097152);
    EXPECT_EQ(p3["erases"], 1);
    EXPECT_EQ(p3["writes"], 1);
    EXPECT_EQ(p3["last_write_bytes"], 16384);
    EXPECT_EQ(p3["last_write_ok"], true);
    EXPECT_EQ(p3["failed_writes"], 0);
    EXPECT_EQ(r["partitions"][1]["device"], "/dev/mtd4");
    EXPECT_EQ(r["partitions"][1]["size"], 8388608);
    EXPECT_EQ(r["partitions"][1]["writes"], 0);
    EXPECT_EQ(r["partitions"][2]["device"], "/dev/mtd5");
    EXPECT_EQ(r["partitions"][2]["size"], 1048576);
    boardbox::FlashState f;
    ASSERT_EQ(c.flash_state(f), 0);
    EXPECT_EQ(f.ram0_size, 65536);
    ASSERT_EQ(f.partitions.size(), 3u);
    EXPECT_EQ(f.partitions[0].device, "/dev/mtd3");
    EXPECT_EQ(f.partitions[0].last_write_bytes, 16384u);
    EXPECT_EQ(f.partitions[0].erases, 1u);
    EXPECT_TRUE(f.partitions[0].last_write_ok);
    EXPECT_EQ(f.partitions[2].size, 1048576u);
    box.stop();

    BoxProcess plain;
    ASSERT_EQ(plain.start({"--control", sock}, {probe(), "sleep"}), 0);
    Client c2;
    ASSERT_EQ(c2.connect(sock), 0);
    ASSERT_EQ(c2.request({{"cmd", "mtd"}}, r), 0) << r.dump();
    EXPECT_EQ(r["ram0_size"], -1);
    plain.stop();
}

TEST(BoxLed, SetAndClearOfPiobShowAsOutputChanges)
{
    TempDir dir;
    std::string sock = BoxProcess::temp_path("sock");
    BoxProcess box;
    ASSERT_EQ(box.start({"--control", sock, "--log", dir.file("log")}, {probe(), "pio-blink", "2", "hold"}),
              0);
    Client c;
    ASSERT_EQ(c.connect(sock), 0);
    boardbox::GpioState s;
    ASSERT_EQ(c.read_gpio(s), 0);
    EXPECT_EQ(s.directions, 0xC000u); // from reset
    ASSERT_TRUE(box.wait_for_line("blinked")) << box.output();
    EXPECT_TRUE(eventually([&] { return c.read_gpio(s) == 0 && s.outputs == 0x4000u; })) << s.outputs;
    EXPECT_EQ(s.directions, 0xC000u);
    EXPECT_EQ(s.levels & 0xC000u, 0x4000u);
    box.stop();
    std::string log = read_file(dir.file("log"));
    const char *seq[] = {"gpio outputs 0x00004000 changed 0x00004000 directions 0x0000C000",
                         "gpio outputs 0x00000000 changed 0x00004000 directions 0x0000C000",
                         "gpio outputs 0x00008000 changed 0x00008000 directions 0x0000C000",
                         "gpio outputs 0x00000000 changed 0x00008000 directions 0x0000C000"};
    size_t at = 0;
    for (int round = 0; round < 2; ++round)
        for (const char *line : seq) {
            at = log.find(line, at);
            ASSERT_NE(at, std::string::npos) << "round " << round << ": " << line << "\n" << log;
            ++at;
        }
    EXPECT_NE(log.find("gpio outputs 0x00004000 changed 0x00004000 directions 0x0000C000", at),
              std::string::npos)
        << log;
}

TEST(BoxMtd, RebootAfterFlashingEndsTheBoxAndLeavesNothing)
{
    TempDir dir;
    std::string mtd = dir.file("flash");
    write_file(dir.file("img"), image(100));
    std::string mounts_before = read_file("/proc/self/mountinfo");
    const std::string marker = "flash-marker-" + std::to_string(::getpid());
    BoxProcess box;
    ASSERT_EQ(box.start({"--mtd", mtd, "--ram0", dir.file("img"), "--log", dir.file("log")},
                        {probe(), "flash", "/dev/mtd3", "10000", "reboot", marker}),
              0);
    EXPECT_EQ(box.wait_exit(), 128 + SIGHUP) << box.output();
    EXPECT_NE(line_with(box.stderr_lines(), "boardbox: the board rebooted"), "") << box.output();
    EXPECT_NE(line_with(box.stdout_lines(), "flashed"), "") << box.output();
    EXPECT_EQ(line_with(box.stdout_lines(), "reboot returned"), "") << box.output();
    EXPECT_EQ(read_file(mtd + "/mtd3").substr(0, 10000), pattern(10000));
    std::string log = read_file(dir.file("log"));
    EXPECT_NE(log.find("mtd write /dev/mtd3: 16384 bytes"), std::string::npos) << log;
    EXPECT_NE(log.find("board rebooted"), std::string::npos) << log;
    EXPECT_EQ(read_file("/proc/self/mountinfo"), mounts_before);
    for (auto &pid : list_dir("/proc")) {
        if (pid.find_first_not_of("0123456789") != std::string::npos)
            continue;
        std::string cmdline = read_file("/proc/" + pid + "/cmdline");
        EXPECT_EQ(cmdline.find(marker), std::string::npos) << "process " << pid << " survived the box";
    }
}

TEST(BoxMtd, ToolRunsAreTakenWithoutLogOrControlSocket)
{
    BoxProcess box;
    ASSERT_EQ(box.start({}, {probe(), "flash", "/dev/mtd4", "20000"}), 0);
    ASSERT_EQ(box.wait_exit(), 0) << box.output();
    EXPECT_NE(line_with(box.stdout_lines(), "erase status 0"), "") << box.output();
    EXPECT_NE(line_with(box.stdout_lines(), "write status 0"), "") << box.output();
}
