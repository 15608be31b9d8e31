// fwwriter as it runs on the board: the image in the box's "/dev/ram0", the
// flash partitions "/dev/mtd3".."/dev/mtd5" written through the box's
// "/sbin/mtd", the LED and beeper seen by the box's PIO model.
#include "base/byteorder.h"
#include "sim/box_process.h"
#include "tests/no_leak_check_in_boxes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace
{

using Bytes = std::vector<uint8_t>;
using Lines = std::vector<std::string>;

const std::string fwwriter = std::string(GW_BUILD_DIR) + "/bin/fwwriter";

// The 36-byte header: "DovGWIM\0", upg_ver, fw_ver, a word not examined,
// then the four signed sizes.
Bytes header(int32_t mtd0, int32_t mtd1, int32_t mtd2, int32_t mtd3, uint32_t upg_ver = 3,
             uint32_t fw_ver = 0x00010000)
{
    Bytes h = {0x44, 0x6F, 0x76, 0x47, 0x57, 0x49, 0x4D, 0x00};
    h.resize(36);
    bytes::put_le32(&h[8], upg_ver);
    bytes::put_le32(&h[12], fw_ver);
    bytes::put_le32(&h[16], 0xDEADBEEF);
    bytes::put_le32(&h[20], static_cast<uint32_t>(mtd0));
    bytes::put_le32(&h[24], static_cast<uint32_t>(mtd1));
    bytes::put_le32(&h[28], static_cast<uint32_t>(mtd2));
    bytes::put_le32(&h[32], static_cast<uint32_t>(mtd3));
    return h;
}

Bytes pattern(size_t n, uint8_t seed)
{
    Bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = static_cast<uint8_t>(seed + 1 + i % 239); // no zero bytes in a run of 239
    for (auto &c : b)
        if (c == 0)
            c = 0x5A;
    return b;
}

void write_file(const std::string &path, const Bytes &data)
{
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char *>(data.data()), static_cast<std::streamsize>(data.size()));
}

Bytes read_file(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

std::string read_text(const std::string &path)
{
    Bytes b = read_file(path);
    return std::string(b.begin(), b.end());
}

struct BoxRun {
    int status = -1;
    Lines out;
    Lines err;
    std::string log;
    std::string all;
};

// One box around one fwwriter run.
BoxRun run_box(const std::vector<std::string> &box_options, const std::vector<std::string> &program)
{
    BoxRun r;
    const std::string log = boardbox::BoxProcess::temp_path("fwlog");
    std::vector<std::string> opts = box_options;
    opts.insert(opts.end(), {"--log", log});
    boardbox::BoxProcess box;
    if (box.start(opts, program) != 0)
        return r;
    r.status = box.wait_exit(std::chrono::seconds(120));
    r.out = box.stdout_lines();
    r.err = box.stderr_lines();
    r.all = box.output();
    r.log = read_text(log);
    ::unlink(log.c_str());
    return r;
}

} // namespace

TEST(FwwriterBox, AnythingButOneModeArgumentPrintsUsage)
{
    const std::string usage = "usage: ./fwwriter --check / --upgrade / --check-quiet / --upgrade-quiet";
    for (const auto &args : std::vector<std::vector<std::string>>{
             {}, {"--check", "--check"}, {"--help"}, {"--upgrade", "now"}, {"check"}}) {
        std::vector<std::string> program{fwwriter};
        program.insert(program.end(), args.begin(), args.end());
        BoxRun r = run_box({}, program);
        EXPECT_EQ(r.status, 1) << r.all;
        EXPECT_EQ(r.out, Lines{usage}) << r.all;
    }
}

TEST(FwwriterBox, WithoutRamdiskNothingCanBeChecked)
{
    BoxRun r = run_box({}, {fwwriter, "--check"});
    EXPECT_EQ(r.status, 1) << r.all;
    EXPECT_EQ(r.out, Lines{"cannot open ramdisk"}) << r.all;

    BoxRun up = run_box({}, {fwwriter, "--upgrade"});
    EXPECT_EQ(up.status, 1) << up.all;
    EXPECT_EQ(up.out, Lines{"cannot open ramdisk"}) << up.all;

    BoxRun quiet = run_box({}, {fwwriter, "--upgrade-quiet"});
    EXPECT_EQ(quiet.status, 1) << quiet.all;
    EXPECT_TRUE(quiet.out.empty()) << quiet.all;
}

namespace
{

const Lines check_ok = {"header ok, checking data ..", "upgrade looks fine"};

// A temporary folder with an image file and the three partition files.
class Bench
{
  public:
    Bench()
    {
        dir_ = boardbox::BoxProcess::temp_path("fw");
        ::mkdir(dir_.c_str(), 0700);
        ::mkdir(mtd_dir().c_str(), 0700);
    }
    ~Bench()
    {
        for (const char *f : {"image", "mtd/mtd3", "mtd/mtd4", "mtd/mtd5"})
            ::unlink((dir_ + "/" + f).c_str());
        ::rmdir(mtd_dir().c_str());
        ::rmdir(dir_.c_str());
    }

    std::string image() const { return dir_ + "/image"; }
    std::string mtd_dir() const { return dir_ + "/mtd"; }
    std::string mtd(int n) const { return mtd_dir() + "/mtd" + std::to_string(n); }

    // Partitions filled with a mark byte each, so erasing shows.
    void fill_partitions()
    {
        write_file(mtd(3), Bytes(65536, 0x13));
        write_file(mtd(4), Bytes(32768, 0x14));
        write_file(mtd(5), Bytes(16384, 0x15));
    }

    // The image as "/dev/ram0", of `size` bytes (0: the file's own size).
    std::vector<std::string> ram0(const Bytes &image, size_t size = 0) const
    {
        write_file(this->image(), image);
        std::string arg = this->image();
        if (size != 0)
            arg += ":" + std::to_string(size);
        return {"--ram0", arg, "--mtd", mtd_dir()};
    }

  private:
    std::string dir_;
};

Bytes cat(Bytes a, const Bytes &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

BoxRun check(Bench &bench, const Bytes &image, size_t size = 0, const char *mode = "--check")
{
    return run_box(bench.ram0(image, size), {fwwriter, mode});
}

// Lines of the event log that contain `what`.
Lines log_lines(const std::string &log, const std::string &what)
{
    Lines out;
    size_t start = 0;
    while (start < log.size()) {
        size_t nl = log.find('\n', start);
        if (nl == std::string::npos)
            nl = log.size();
        std::string line = log.substr(start, nl - start);
        if (line.find(what) != std::string::npos)
            out.push_back(line);
        start = nl + 1;
    }
    return out;
}

// Values of "changed 0x..." in the GPIO lines of the log that changed `bit`.
int changes_of(const std::string &log, uint32_t bit)
{
    int n = 0;
    for (const std::string &line : log_lines(log, "gpio outputs")) {
        size_t at = line.find("changed 0x");
        if (at != std::string::npos && (std::stoul(line.substr(at + 8), nullptr, 16) & bit) != 0)
            ++n;
    }
    return n;
}

} // namespace

TEST(FwwriterBox, CheckPassesAGoodImage)
{
    Bench bench;
    BoxRun r = check(bench, cat(header(0, 10000, -1, 0), pattern(10000, 1)));
    EXPECT_EQ(r.status, 0) << r.all;
    EXPECT_EQ(r.out, check_ok) << r.all;
}

TEST(FwwriterBox, CheckRefusesEachBadField)
{
    Bench bench;
    const Bytes data = pattern(1000, 2);
    Bytes name = cat(header(0, 1000, 0, 0), data);
    name[7] = '!';
    struct Case {
        const char *what;
        Bytes image;
        Lines out;
    } cases[] = {
        {"name", name, {"invalid hdr.name"}},
        {"upg_ver 2", cat(header(0, 1000, 0, 0, 2), data), {"invalid hdr.upg_ver"}},
        {"upg_ver 4", cat(header(0, 1000, 0, 0, 4), data), {"invalid hdr.upg_ver"}},
        {"fw_ver byte 14 = 0", cat(header(0, 1000, 0, 0, 3, 0xFF00FFFF), data), {"invalid hdr.fw_ver"}},
        {"fw_ver byte 14 = 2", cat(header(0, 1000, 0, 0, 3, 0x00020000), data), {"invalid hdr.fw_ver"}},
        {"mtd0", cat(header(32000001, 0, 0, 0), data), {check_ok[0], "invalid hdr.mtd*"}},
        {"mtd1", cat(header(0, 32000001, 0, 0), data), {check_ok[0], "invalid hdr.mtd*"}},
        {"mtd2", cat(header(0, 0, 32000001, 0), data), {check_ok[0], "invalid hdr.mtd*"}},
        {"mtd3", cat(header(0, 0, 0, 32000001), data), {check_ok[0], "invalid hdr.mtd*"}},
        {"data beyond the disk", cat(header(0, 1000, 0, 1), data), {check_ok[0], "seek failed"}},
        {"largest sizes",
         cat(header(32000000, 32000000, 32000000, 32000000), data),
         {check_ok[0], "seek failed"}},
    };
    for (const Case &c : cases) {
        BoxRun r = check(bench, c.image);
        EXPECT_EQ(r.status, 1) << c.what << "\n" << r.all;
        EXPECT_EQ(r.out, c.out) << c.what << "\n" << r.all;
    }
}

TEST(FwwriterBox, CheckAcceptsSizesAtTheirLimitsAndNegativeOnes)
{
    Bench bench;
    BoxRun zero = check(bench, header(0, 0, 0, 0));
    EXPECT_EQ(zero.status, 0) << zero.all;
    EXPECT_EQ(zero.out, check_ok) << zero.all;

    BoxRun negative = check(bench, header(-1, INT32_MIN, -5, -32000001));
    EXPECT_EQ(negative.status, 0) << negative.all;
    EXPECT_EQ(negative.out, check_ok) << negative.all;

    // A negative size takes nothing away from the others' data.
    BoxRun mixed = check(bench, cat(header(-1000, 500, INT32_MIN, 0), pattern(499, 3)));
    EXPECT_EQ(mixed.status, 1) << mixed.all;
    EXPECT_EQ(mixed.out, (Lines{check_ok[0], "seek failed"})) << mixed.all;

    BoxRun limit = check(bench, header(0, 32000000, 0, 0), 36 + 32000000);
    EXPECT_EQ(limit.status, 0) << limit.all;
    EXPECT_EQ(limit.out, check_ok) << limit.all;
}

TEST(FwwriterBox, DataMustEndOnTheDisk)
{
    Bench bench;
    const Bytes image = cat(header(100, 10000, 2000, 300), pattern(12400, 4));
    BoxRun exact = check(bench, image);
    EXPECT_EQ(exact.status, 0) << exact.all;
    EXPECT_EQ(exact.out, check_ok) << exact.all;

    BoxRun larger = check(bench, image, 65536);
    EXPECT_EQ(larger.status, 0) << larger.all;

    // One byte short: the last data byte would lie behind the disk's end.
    BoxRun shorter = check(bench, Bytes(image.begin(), image.end() - 1));
    EXPECT_EQ(shorter.status, 1) << shorter.all;
    EXPECT_EQ(shorter.out, (Lines{check_ok[0], "seek failed"})) << shorter.all;
}

TEST(FwwriterBox, ShortHeaderCannotBeRead)
{
    Bench bench;
    const Bytes h = header(0, 0, 0, 0);
    for (size_t len : {1u, 20u, 35u}) {
        BoxRun r = check(bench, Bytes(h.begin(), h.begin() + static_cast<long>(len)));
        EXPECT_EQ(r.status, 1) << len << "\n" << r.all;
        EXPECT_EQ(r.out, Lines{"cannot read header"}) << len << "\n" << r.all;
    }
}

TEST(FwwriterBox, CheckTwiceGivesTheSameResultAndWritesNothing)
{
    Bench bench;
    bench.fill_partitions();
    const Bytes image = cat(header(0, 10000, -1, 0), pattern(10000, 5));
    BoxRun first = check(bench, image);
    BoxRun second = check(bench, image);
    EXPECT_EQ(first.status, 0) << first.all;
    EXPECT_EQ(second.status, 0) << second.all;
    EXPECT_EQ(first.out, check_ok);
    EXPECT_EQ(second.out, first.out);
    EXPECT_TRUE(log_lines(first.log + second.log, "mtd ").empty()) << first.log << second.log;
    EXPECT_EQ(read_file(bench.mtd(3)), Bytes(65536, 0x13));
    EXPECT_EQ(read_file(bench.mtd(4)), Bytes(32768, 0x14));
    EXPECT_EQ(read_file(bench.mtd(5)), Bytes(16384, 0x15));
}

TEST(FwwriterBox, QuietCheckPrintsNothing)
{
    Bench bench;
    BoxRun ok = check(bench, header(0, 0, 0, 0), 0, "--check-quiet");
    EXPECT_EQ(ok.status, 0) << ok.all;
    EXPECT_TRUE(ok.out.empty()) << ok.all;

    BoxRun bad = check(bench, header(0, 0, 0, 0, 4), 0, "--check-quiet");
    EXPECT_EQ(bad.status, 1) << bad.all;
    EXPECT_TRUE(bad.out.empty()) << bad.all;

    BoxRun beyond = check(bench, header(0, 1, 0, 0), 0, "--check-quiet");
    EXPECT_EQ(beyond.status, 1) << beyond.all;
    EXPECT_TRUE(beyond.out.empty()) << beyond.all;
}

namespace
{

const Lines upgrade_lines = {
    "header ok, checking data ..",
    "upgrade looks fine",
    "flashing ..",
    "hdr.mtd0 : 0",
    "hdr.mtd1 : 10000",
    "hdr.mtd2 : -1",
    "hdr.mtd3 : 0",
    ": kernel",
    "cmd: /sbin/mtd erase /dev/mtd3",
    "cmd: /sbin/mtd write - /dev/mtd3",
    ": read r: 8192",
    ": read r: 1808",
    ": confg",
    "cmd: /sbin/mtd erase /dev/mtd5",
    "done",
    ": rebooting",
};

bool rebooted(const BoxRun &r)
{
    for (const std::string &line : r.err)
        if (line.find("boardbox: the board rebooted") != std::string::npos)
            return true;
    return false;
}

// The kernel, zero padding to 16384 bytes, then erased flash.
void expect_kernel_written(const Bench &bench, const Bytes &kernel)
{
    Bytes want = kernel;
    want.resize(16384, 0x00);
    want.resize(65536, 0xFF);
    Bytes got = read_file(bench.mtd(3));
    ASSERT_EQ(got.size(), want.size());
    EXPECT_TRUE(got == want) << "mtd3 differs";
    EXPECT_EQ(read_file(bench.mtd(4)), Bytes(32768, 0x14));
    EXPECT_EQ(read_file(bench.mtd(5)), Bytes(16384, 0xFF));
}

} // namespace

TEST(FwwriterBox, UpgradeWritesKernelSkipsRootfsErasesConfigAndReboots)
{
    Bench bench;
    bench.fill_partitions();
    const Bytes kernel = pattern(10000, 6);
    BoxRun r = run_box(bench.ram0(cat(header(0, 10000, -1, 0), kernel), 1 << 20), {fwwriter, "--upgrade"});
    EXPECT_EQ(r.status, 129) << r.all;
    EXPECT_TRUE(rebooted(r)) << r.all;
    EXPECT_EQ(r.out, upgrade_lines) << r.all;
    expect_kernel_written(bench, kernel);

    EXPECT_EQ(log_lines(r.log, "mtd "), (Lines{log_lines(r.log, "mtd erase /dev/mtd3").at(0),
                                               log_lines(r.log, "mtd write /dev/mtd3").at(0),
                                               log_lines(r.log, "mtd erase /dev/mtd5").at(0)}))
        << r.log;
    EXPECT_EQ(log_lines(r.log, "mtd write /dev/mtd3: 16384 bytes").size(), 1u) << r.log;
    // The LED blinks while flashing; the beeper sounds once before the restart.
    EXPECT_GE(changes_of(r.log, 0x4000), 2) << r.log;
    // The box takes the product's register writes between its polls. When the
    // LED thread writes the set register in the same poll as the beeper's
    // write, the box keeps only the later value (the controller takes both),
    // so a missed beep is run again.
    std::string log = r.log;
    for (int again = 0; again < 3 && changes_of(log, 0x8000) != 2; ++again) {
        Bench retry;
        retry.fill_partitions();
        log = run_box(retry.ram0(cat(header(0, 10000, -1, 0), kernel), 1 << 20), {fwwriter, "--upgrade"}).log;
    }
    EXPECT_EQ(changes_of(log, 0x8000), 2) << log;
}

TEST(FwwriterBox, QuietUpgradePrintsNothingAndStillWrites)
{
    Bench bench;
    bench.fill_partitions();
    const Bytes kernel = pattern(10000, 7);
    BoxRun r = run_box(bench.ram0(cat(header(0, 10000, -1, 0), kernel)), {fwwriter, "--upgrade-quiet"});
    EXPECT_EQ(r.status, 129) << r.all;
    EXPECT_TRUE(rebooted(r)) << r.all;
    EXPECT_TRUE(r.out.empty()) << r.all;
    expect_kernel_written(bench, kernel);
}

TEST(FwwriterBox, UpgradeWithoutGpioDeviceStillWrites)
{
    Bench bench;
    bench.fill_partitions();
    const Bytes kernel = pattern(10000, 8);
    BoxRun r = run_box(bench.ram0(cat(header(0, 10000, -1, 0), kernel)),
                       {"/bin/sh", "-c", "mv /dev/uio0 /dev/uio0.away && exec " + fwwriter + " --upgrade"});
    EXPECT_EQ(r.status, 129) << r.all;
    Lines want = upgrade_lines;
    want.insert(want.begin() + 7, "simple_gpio_at91_open failed !");
    EXPECT_EQ(r.out, want) << r.all;
    expect_kernel_written(bench, kernel);
    EXPECT_EQ(changes_of(r.log, 0x4000 | 0x8000), 0) << r.log;
}

TEST(FwwriterBox, FailingFlashToolStopsOnePartitionOnly)
{
    Bench bench;
    bench.fill_partitions();
    // A kernel partition too small for the data: the tool fails part way.
    write_file(bench.mtd(3), Bytes(8192, 0x13));
    const Bytes kernel = pattern(10000, 9);
    const Bytes config = pattern(100, 10);
    BoxRun r =
        run_box(bench.ram0(cat(cat(header(0, 10000, -1, 100), kernel), config)), {fwwriter, "--upgrade"});
    EXPECT_EQ(r.status, 129) << r.all;
    EXPECT_TRUE(rebooted(r)) << r.all;
    const Lines &out = r.out;
    auto at = [&](const std::string &line) { return std::find(out.begin(), out.end(), line) - out.begin(); };
    EXPECT_LT(at("mtd write failed !"), at(": confg")) << r.all;
    EXPECT_LT(at(": confg"), at("done")) << r.all;
    EXPECT_EQ(out.back(), ": rebooting") << r.all;
    // The configuration still went to its partition, read from behind the kernel.
    Bytes want = config;
    want.resize(8192, 0x00);
    want.resize(16384, 0xFF);
    EXPECT_TRUE(read_file(bench.mtd(5)) == want);
}

// The tool dies on an early chunk of a large kernel, long before the writer
// has read the kernel to its end: the root file system and the configuration
// must still come from their own places in the image.
TEST(FwwriterBox, ToolDyingEarlyLeavesTheLaterPartitionsRight)
{
    Bench bench;
    bench.fill_partitions();
    write_file(bench.mtd(3), Bytes(8192, 0x13));
    const Bytes kernel = pattern(300000, 11);
    const Bytes rootfs = pattern(20000, 12);
    const Bytes config = pattern(100, 13);
    BoxRun r = run_box(bench.ram0(cat(cat(cat(header(0, 300000, 20000, 100), kernel), rootfs), config)),
                       {fwwriter, "--upgrade"});
    EXPECT_EQ(r.status, 129) << r.all;
    EXPECT_TRUE(rebooted(r)) << r.all;
    ASSERT_EQ(log_lines(r.log, "mtd write /dev/mtd3 failed").size(), 1u) << r.log;
    Bytes want4 = rootfs;
    want4.resize(24576, 0x00);
    want4.resize(32768, 0xFF);
    EXPECT_TRUE(read_file(bench.mtd(4)) == want4) << "mtd4 differs";
    Bytes want5 = config;
    want5.resize(8192, 0x00);
    want5.resize(16384, 0xFF);
    EXPECT_TRUE(read_file(bench.mtd(5)) == want5) << "mtd5 differs";
}
