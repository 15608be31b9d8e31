// gwlinkd's command-line modes and the first start steps, each run in a box of
// its own with the real fixed paths.
#include "sim/box_client.h"
#include "sim/box_process.h"
#include "tests/gateway/factory_image.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace
{

using boardbox::BoxProcess;
using ms = std::chrono::milliseconds;

const std::string gwlinkd = GW_BUILD_DIR "/bin/gwlinkd";

const std::vector<std::string> default_lines = {
    "ver:2",
    "ip:172.16.0.188",
    "gw:172.16.0.1",
    "dns:0.0.0.0",
    "remote_ip:172.16.0.189",
    "remote_port:5555",
    "remote_user:user",
    "remote_passwd:qzv",
    "buffers:4",
    "passwd:qzv",
    "radio_type:1",
    "crypto_mode:0",
    "",
};

// A scratch directory on the host, removed with everything in it.
class TempDir
{
  public:
    TempDir()
    {
        char tmpl[] = "/tmp/gwcore-XXXXXX";
        const char *p = ::mkdtemp(tmpl);
        path_ = p ? p : "";
    }
    ~TempDir()
    {
        if (!path_.empty())
            std::system(("rm -rf '" + path_ + "'").c_str());
    }
    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

    void write(const std::string &name, const std::vector<uint8_t> &data) const
    {
        std::ofstream f(file(name), std::ios::binary);
        f.write(reinterpret_cast<const char *>(data.data()), static_cast<std::streamsize>(data.size()));
    }

  private:
    std::string path_;
};

bool read_file(const std::string &path, std::vector<uint8_t> &data)
{
    std::ifstream f(path, std::ios::binary);
    if (!f)
        return false;
    data.assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
    return true;
}

bool exists(const std::string &path)
{
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

mode_t permissions(const std::string &path)
{
    struct stat st;
    if (::stat(path.c_str(), &st) != 0)
        return 0;
    return st.st_mode & 07777;
}

struct Result {
    int status = -1;
    std::vector<std::string> out;
    std::string all;
};

// Runs gwlinkd with `args` in a fresh box; /config comes from `config` (if
// given) and is copied to `saved` (if given) at exit.
Result run(const std::vector<std::string> &args, const std::string &config = "",
           const std::string &saved = "", std::vector<std::string> box_options = {})
{
    if (!config.empty()) {
        box_options.push_back("--config");
        box_options.push_back(config);
    }
    if (!saved.empty()) {
        box_options.push_back("--save-config");
        box_options.push_back(saved);
    }
    std::vector<std::string> program = {gwlinkd};
    program.insert(program.end(), args.begin(), args.end());

    Result r;
    BoxProcess box;
    if (box.start(box_options, program) != 0)
        return r;
    r.status = box.wait_exit(ms(60000));
    if (r.status < 0)
        box.stop();
    r.out = box.stdout_lines();
    r.all = box.output();
    return r;
}

} // namespace

TEST(GwlinkdOptions, GetconfigWithoutConfigurationWritesAndPrintsDefaults)
{
    TempDir saved;
    Result r = run({"--getconfig"}, "", saved.path());
    ASSERT_EQ(r.status, 0) << r.all;
    EXPECT_EQ(r.out, default_lines) << r.all;

    std::vector<uint8_t> main_cfg, codec_cfg;
    ASSERT_TRUE(read_file(saved.file("main.cfg"), main_cfg));
    EXPECT_EQ(main_cfg, factory_image);
    ASSERT_TRUE(read_file(saved.file("codec.cfg"), codec_cfg));
    EXPECT_EQ(codec_cfg, (std::vector<uint8_t>{1, 0, 0, 0}));
}

TEST(GwlinkdOptions, NewConfigurationFilesAreOwnerOnly)
{
    TempDir saved;
    Result r = run({"--createconfig"}, "", saved.path());
    ASSERT_EQ(r.status, 0) << r.all;
    EXPECT_EQ(permissions(saved.file("main.cfg")), 0600u);
    EXPECT_EQ(permissions(saved.file("codec.cfg")), 0600u);
}

TEST(GwlinkdOptions, CreateconfigResetsEverythingAndRemovesTheBlockedList)
{
    TempDir config, saved;
    std::vector<uint8_t> custom = factory_image;
    custom[20] = 0x10; // another port
    config.write("main.cfg", custom);
    config.write("codec.cfg", {3, 0, 0, 0});
    config.write("blocked.cfg", std::vector<uint8_t>(36, 'x'));

    Result r = run({"--createconfig"}, config.path(), saved.path());
    ASSERT_EQ(r.status, 0) << r.all;
    EXPECT_TRUE(r.out.empty()) << r.all;
    std::vector<uint8_t> data;
    ASSERT_TRUE(read_file(saved.file("main.cfg"), data));
    EXPECT_EQ(data, factory_image);
    ASSERT_TRUE(read_file(saved.file("codec.cfg"), data));
    EXPECT_EQ(data, (std::vector<uint8_t>{1, 0, 0, 0}));
    EXPECT_FALSE(exists(saved.file("blocked.cfg")));
}

TEST(GwlinkdOptions, UnknownOptionPrintsUsageAndFails)
{
    for (const char *opt : {"--help", "-x", "", "getconfig", "--getconfig2"}) {
        Result r = run({opt, "--getconfig"});
        EXPECT_EQ(r.status, 255) << opt << "\n" << r.all;
        ASSERT_EQ(r.out.size(), 1u) << r.all;
        EXPECT_EQ(r.out[0],
                  "usage: " + gwlinkd + " --getconfig / --createconfig / --recover / --infinite / --upgblink")
            << r.all;
    }
}

TEST(GwlinkdOptions, OnlyTheFirstArgumentCounts)
{
    Result r = run({"--getconfig", "--bogus"});
    EXPECT_EQ(r.status, 0) << r.all;
    EXPECT_EQ(r.out, default_lines);
}

TEST(GwlinkdConfigFiles, WrongSizeOrVersionIsReplacedByDefaults)
{
    std::vector<std::vector<uint8_t>> bad;
    for (size_t size : {0, 1, 4, 131, 133, 134, 135, 137, 4096}) {
        std::vector<uint8_t> img = factory_image;
        img.resize(size, 0);
        bad.push_back(img);
    }
    for (char ver : {'0', '1', '3', 'a', '\0'}) {
        std::vector<uint8_t> img = factory_image;
        img[0] = static_cast<uint8_t>(ver);
        img[20] = 0x11; // a port that must not survive
        bad.push_back(img);
    }
    {
        std::vector<uint8_t> img = factory_image;
        img.resize(132);
        img[0] = '2'; // a short record must be version '0' or '1'
        bad.push_back(img);
    }
    for (const std::vector<uint8_t> &img : bad) {
        TempDir config, saved;
        config.write("main.cfg", img);
        Result r = run({"--getconfig"}, config.path(), saved.path());
        EXPECT_EQ(r.status, 0) << "size " << img.size() << "\n" << r.all;
        EXPECT_EQ(r.out, default_lines) << "size " << img.size() << "\n" << r.all;
        std::vector<uint8_t> data;
        ASSERT_TRUE(read_file(saved.file("main.cfg"), data));
        EXPECT_EQ(data, factory_image) << "size " << img.size();
    }
}

TEST(GwlinkdConfigFiles, OlderVersionsAreReadAndNotRewritten)
{
    std::vector<uint8_t> v1 = factory_image;
    v1.resize(132);
    v1[0] = '1';
    v1[20] = 0xB4; // port 5556
    v1[124] = 3;   // xcmp
    v1[128] = 2;   // crypto mode 2
    std::vector<uint8_t> v0 = v1;
    v0[0] = '0';
    v0[88] = 0; // buffers 0 reads as 4

    struct Case {
        std::vector<uint8_t> img;
        const char *radio, *crypto;
    } cases[] = {{v1, "radio_type:3", "crypto_mode:2"}, {v0, "radio_type:1", "crypto_mode:0"}};
    for (const Case &c : cases) {
        TempDir config, saved;
        config.write("main.cfg", c.img);
        config.write("codec.cfg", {2, 0, 0, 0});
        Result r = run({"--getconfig"}, config.path(), saved.path());
        ASSERT_EQ(r.status, 0) << r.all;
        std::vector<std::string> expected = default_lines;
        expected[5] = "remote_port:5556";
        expected[10] = c.radio;
        expected[11] = c.crypto;
        EXPECT_EQ(r.out, expected) << r.all;
        std::vector<uint8_t> data;
        ASSERT_TRUE(read_file(saved.file("main.cfg"), data));
        EXPECT_EQ(data, c.img) << "an upgraded record stays as it was on disk";
        ASSERT_TRUE(read_file(saved.file("codec.cfg"), data));
        EXPECT_EQ(data, (std::vector<uint8_t>{2, 0, 0, 0}));
    }
}

TEST(GwlinkdConfigFiles, MaskIsPrintedWhenSet)
{
    TempDir config;
    std::vector<uint8_t> img = factory_image;
    img[132] = 255, img[133] = 255, img[134] = 255;
    config.write("main.cfg", img);
    Result r = run({"--getconfig"}, config.path());
    ASSERT_EQ(r.status, 0) << r.all;
    std::vector<std::string> expected = default_lines;
    expected.insert(expected.end() - 1, "mask:255.255.255.0");
    EXPECT_EQ(r.out, expected) << r.all;
}

TEST(GwlinkdConfigFiles, MissingCodecFileIsWrittenWithAlaw)
{
    TempDir config, saved;
    config.write("main.cfg", factory_image);
    Result r = run({"--getconfig"}, config.path(), saved.path());
    ASSERT_EQ(r.status, 0) << r.all;
    std::vector<uint8_t> data;
    ASSERT_TRUE(read_file(saved.file("codec.cfg"), data));
    EXPECT_EQ(data, (std::vector<uint8_t>{1, 0, 0, 0}));
    EXPECT_EQ(permissions(saved.file("codec.cfg")), 0600u);
}

namespace
{

// One output change from the box's event log.
struct OutputChange {
    double t;
    uint32_t outputs, changed;
};

std::vector<OutputChange> output_changes(const std::string &log_path)
{
    std::vector<OutputChange> changes;
    std::ifstream f(log_path);
    std::string line;
    while (std::getline(f, line)) {
        double t = 0;
        unsigned outputs = 0, changed = 0, dirs = 0;
        if (std::sscanf(line.c_str(), " %lf gpio outputs 0x%X changed 0x%X directions 0x%X", &t, &outputs,
                        &changed, &dirs) == 4)
            changes.push_back({t, outputs, changed});
    }
    return changes;
}

// Lengths of the pulses of `bit` (time from leaving `rest` to returning to it).
std::vector<double> pulses(const std::vector<OutputChange> &changes, uint32_t bit, bool rest_high)
{
    std::vector<double> widths;
    double left = -1;
    for (const OutputChange &c : changes) {
        if ((c.changed & bit) == 0)
            continue;
        bool high = (c.outputs & bit) != 0;
        if (high != rest_high)
            left = c.t;
        else if (left >= 0)
            widths.push_back(c.t - left), left = -1;
    }
    return widths;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

} // namespace

TEST(GwlinkdRecover, ReleasedButtonAnswersZeroAtOnce)
{
    TempDir logs;
    const std::string log = logs.file("box.log");
    Result r = run({"--recover"}, "", "", {"--log", log});
    EXPECT_EQ(r.status, 0) << r.all;
    EXPECT_EQ(r.out, std::vector<std::string>{"0"}) << r.all;
    std::vector<OutputChange> changes = output_changes(log);
    ASSERT_FALSE(changes.empty()) << "the lines are set up first";
    EXPECT_TRUE(pulses(changes, 0x4000, true).empty());
    EXPECT_TRUE(pulses(changes, 0x8000, false).empty());
}

TEST(GwlinkdRecover, ButtonHeldForThreeSamplesBlinksAndAnswersOne)
{
    TempDir logs;
    const std::string log = logs.file("box.log");
    Result r = run({"--recover"}, "", "", {"--log", log, "--low", "0x2000"});
    EXPECT_EQ(r.status, 1) << r.all;
    EXPECT_EQ(r.out, std::vector<std::string>{"1"}) << r.all;

    std::vector<OutputChange> changes = output_changes(log);
    ASSERT_FALSE(changes.empty());
    std::vector<double> led = pulses(changes, 0x4000, true);
    std::vector<double> beeper = pulses(changes, 0x8000, false);
    // The box's pin model polls the registers; when a very busy machine
    // stalls it for longer than a 25 ms phase, a clear and the following set
    // reach it in one poll and that pulse is not seen. Allow a few of those.
    ASSERT_LE(led.size(), 40u);
    ASSERT_GE(led.size(), 36u);
    ASSERT_EQ(beeper.size(), 3u);
    // The box stamps each change when its pin model sees it, a little late
    // now and then on a busy machine: judge single pulses by their median
    // and the sequences by their whole length.
    EXPECT_GE(median(led), 0.022);
    EXPECT_LT(median(led), 0.25);
    EXPECT_GE(median(beeper), 0.045);
    EXPECT_LT(median(beeper), 0.5);

    std::vector<OutputChange> led_changes, beeper_changes;
    for (size_t i = 1; i < changes.size(); ++i) { // [0] is the start-up latch
        if (changes[i].changed & 0x4000)
            led_changes.push_back(changes[i]);
        if (changes[i].changed & 0x8000)
            beeper_changes.push_back(changes[i]);
    }
    ASSERT_EQ(led_changes.size(), 2 * led.size());
    ASSERT_EQ(beeper_changes.size(), 6u);
    // 40 x (25 ms low, 25 ms high), the last high phase ending unseen.
    if (led.size() == 40u) {
        EXPECT_GE(led_changes.back().t - led_changes.front().t, 1.975 - 0.01);
    }
    EXPECT_GE(beeper_changes.back().t - beeper_changes.front().t, 0.250 - 0.01);
    EXPECT_GE(beeper_changes.front().t, led_changes.back().t);
    // Three samples a second apart come before the blinking.
    EXPECT_GE(led_changes.front().t - changes.front().t, 1.95);
}

TEST(GwlinkdStart, ConfigurationIsPrintedAndTheAmplifierSetBeforeTheCodecCheck)
{
    TempDir config, logs;
    config.write("codec.cfg", {4, 0, 0, 0});
    config.write("main.cfg", factory_image);
    const std::string log = logs.file("box.log");
    Result r = run({}, config.path(), "", {"--log", log});
    EXPECT_EQ(r.status, 255) << r.all;
    std::vector<std::string> expected = default_lines;
    expected.push_back("");
    expected.push_back("error : cannot initialize codec");
    EXPECT_EQ(r.out, expected) << r.all;

    std::ifstream f(log);
    std::string line, amp;
    while (std::getline(f, line)) {
        if (line.find(" amp ") != std::string::npos)
            amp += line.substr(line.find(" amp ") + 1) + "\n";
    }
    EXPECT_EQ(amp, "amp volume 45\n");
}

TEST(GwlinkdStart, InfiniteDetachesItsOutputAndStartsNormally)
{
    TempDir config, logs;
    config.write("main.cfg", factory_image);
    config.write("codec.cfg", {4, 0, 0, 0});
    const std::string log = logs.file("box.log");
    Result r = run({"--infinite"}, config.path(), "", {"--log", log});
    EXPECT_EQ(r.status, 255) << r.all;
    EXPECT_TRUE(r.out.empty()) << r.all;
    std::ifstream f(log);
    std::string text((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("amp volume 45"), std::string::npos) << text;
}

TEST(GwlinkdUpgblink, GoesToTheBackgroundAtOnce)
{
    Result r = run({"--upgblink"});
    EXPECT_EQ(r.status, 0) << r.all;
    EXPECT_TRUE(r.out.empty()) << r.all;
}
