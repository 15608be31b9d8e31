// fwwriter as it runs on the board: the image in the box's "/dev/ram0", the
// flash partitions "/dev/mtd3".."/dev/mtd5" written through the box's
// "/sbin/mtd", the LED and beeper seen by the box's PIO model.
#include "link/byteorder.h"
#include "sim/box_process.h"

#include <gtest/gtest.h>

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

// LeakSanitizer cannot follow a process in the box's PID namespace.
struct NoLeakCheckInBoxes {
    NoLeakCheckInBoxes()
    {
        const char *o = getenv("ASAN_OPTIONS");
        std::string opts = o ? std::string(o) + ":" : std::string();
        setenv("ASAN_OPTIONS", (opts + "detect_leaks=0").c_str(), 1);
    }
} no_leak_check_in_boxes;

// The 36-byte header: "DovGWIM\0", upg_ver, fw_ver, a word not examined,
// then the four signed sizes.
[[maybe_unused]] Bytes header(int32_t mtd0, int32_t mtd1, int32_t mtd2, int32_t mtd3, uint32_t upg_ver = 3,
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

[[maybe_unused]] Bytes pattern(size_t n, uint8_t seed)
{
    Bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = static_cast<uint8_t>(seed + 1 + i % 239); // no zero bytes in a run of 239
    for (auto &c : b)
        if (c == 0)
            c = 0x5A;
    return b;
}

[[maybe_unused]] void write_file(const std::string &path, const Bytes &data)
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
