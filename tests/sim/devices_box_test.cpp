// The board's devices as a program in the box sees them, driven and observed
// through the control socket and the event log.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <thread>

#include "box_test_util.h"
#include "sim/box_client.h"

using boardbox::BoxProcess;
using boardbox::Client;
using namespace boxtest;
using ms = std::chrono::milliseconds;

TEST(BoxGpio, InitialInputLevelsFollowLowAndHighMasks)
{
    BoxProcess box;
    ASSERT_EQ(box.start({"--low", "0x1200", "--high", "200"}, {probe(), "gpio-read"}), 0);
    ASSERT_EQ(box.wait_exit(), 0) << box.output();
    // Every mapped line but the LED and beeper outputs (driven low) is an
    // input, high unless made low; bits without a pin read 0.
    EXPECT_NE(line_with(box.stdout_lines(), "levels 0x01FF2FFE"), "") << box.output();
}

TEST(BoxGpio, InputsSetOnTheControlSocketAppearInPdsr)
{
    std::string sock = BoxProcess::temp_path("sock");
    BoxProcess box;
    ASSERT_EQ(box.start({"--control", sock}, {probe(), "gpio-watch", "0x3000", "0x1000", "20000"}), 0);
    ASSERT_TRUE(box.wait_for_line("watching")) << box.output();
    Client c;
    ASSERT_EQ(c.connect(sock), 0);
    ASSERT_EQ(c.set_inputs(0x2000, 0), 0);
    EXPECT_EQ(box.wait_exit(), 0) << box.output();
    EXPECT_NE(line_with(box.stdout_lines(), "seen 0x01FF1FFE"), "") << box.output();
}

TEST(BoxGpio, OutputWritesAreSeenOnTheControlSocketAndInTheLog)
{
    TempDir dir;
    std::string sock = BoxProcess::temp_path("sock");
    BoxProcess box;
    // The GM360 start values: directions 0x0011C1FE, levels 0xFFFE6F67.
    ASSERT_EQ(box.start({"--control", sock, "--log", dir.file("log")},
                        {probe(), "gpio-out", "0x0011C1FE", "0xFFFE6F67"}),
              0);
    ASSERT_TRUE(box.wait_for_line("gpio-out done")) << box.output();
    Client c;
    ASSERT_EQ(c.connect(sock), 0);
    boardbox::GpioState s;
    EXPECT_TRUE(eventually([&] { return c.read_gpio(s) == 0 && s.directions == 0x0011C1FEu; }));
    EXPECT_EQ(s.outputs, 0x0011C1FEu & 0xFFFE6F67u);
    // Inputs read high, outputs read their driven level.
    EXPECT_EQ(s.levels, (0x0011C1FEu & 0xFFFE6F67u) | (~0x0011C1FEu & 0x01FFFFFEu));
    box.stop();
    std::string log = read_file(dir.file("log"));
    EXPECT_NE(log.find("gpio outputs 0x00104166"), std::string::npos) << log;
}

TEST(BoxAmplifier, EveryByteWrittenIsLoggedAsAVolumeCommand)
{
    TempDir dir;
    std::string sock = BoxProcess::temp_path("sock");
    BoxProcess box;
    ASSERT_EQ(
        box.start({"--control", sock, "--log", dir.file("log")}, {probe(), "i2c", "45", "0", "63", "sleep"}),
        0);
    ASSERT_TRUE(box.wait_for_line("write 1")) << box.output();
    Client c;
    ASSERT_EQ(c.connect(sock), 0);
    std::vector<boardbox::AmpCommand> cmds;
    ASSERT_TRUE(eventually([&] { return c.amplifier_log(cmds) == 0 && cmds.size() >= 3; })) << box.output();
    ASSERT_EQ(cmds.size(), 3u);
    EXPECT_EQ(cmds[0].value, 45);
    EXPECT_EQ(cmds[1].value, 0);
    EXPECT_EQ(cmds[2].value, 63);
    EXPECT_LE(cmds[0].time, cmds[2].time);
    box.stop();
    std::string log = read_file(dir.file("log"));
    EXPECT_NE(log.find("i2c slave 0x4B"), std::string::npos) << log;
    EXPECT_NE(log.find("amp volume 45"), std::string::npos) << log;
    EXPECT_NE(log.find("amp volume 63"), std::string::npos) << log;
}

TEST(BoxAmplifier, SlaveSelectAnsweredAndAbsentAddressNotAcknowledged)
{
    BoxProcess box;
    ASSERT_EQ(box.start({}, {probe(), "i2c-addr", "0x50"}), 0);
    ASSERT_EQ(box.wait_exit(), 0);
    EXPECT_NE(line_with(box.stdout_lines(), "slave rc 0 errno 0"), "") << box.output();
    EXPECT_NE(line_with(box.stdout_lines(), "write -1 errno 6"), "") << box.output(); // ENXIO

    BoxProcess bad;
    ASSERT_EQ(bad.start({}, {probe(), "i2c-addr", "0x80"}), 0);
    ASSERT_EQ(bad.wait_exit(), 0);
    EXPECT_NE(line_with(bad.stdout_lines(), "slave rc -1 errno 22"), "") << bad.output(); // EINVAL
}

TEST(BoxIoctl, ConfigurationRecordIsReadFromTheCaller)
{
    std::string sock = BoxProcess::temp_path("sock");
    BoxProcess box;
    ASSERT_EQ(box.start({"--control", sock}, {probe(), "ssc-config", "160", "hold"}), 0);
    Client c;
    ASSERT_EQ(c.connect(sock), 0);
    ASSERT_TRUE(box.wait_for_line("ssc config rc 0 errno 0")) << box.output();
    nlohmann::json r;
    ASSERT_EQ(c.request({{"cmd", "ssc_config"}}, r), 0);
    EXPECT_EQ(r["clkdiv"], 192);
    EXPECT_EQ(r["tcmr"], 0x0F000424);
    EXPECT_EQ(r["tfmr"], 0x00200093);
    EXPECT_EQ(r["rcmr"], 0x0F000404);
    EXPECT_EQ(r["rfmr"], 0x00200093);
    EXPECT_EQ(r["rxfer_count"], 160);
    EXPECT_EQ(r["block_words"], 160);
    box.stop();
}

TEST(BoxIoctl, UnreadableRecordFailsWithEfault)
{
    BoxProcess box;
    ASSERT_EQ(box.start({}, {probe(), "ssc-bad-pointer"}), 0);
    ASSERT_EQ(box.wait_exit(), 0);
    EXPECT_NE(line_with(box.stdout_lines(), "ssc config rc -1 errno 14"), "") << box.output();
}

TEST(BoxIoctl, SameRequestsOnOtherFilesRunNatively)
{
    BoxProcess box;
    ASSERT_EQ(box.start({}, {probe(), "ioctl-native"}), 0);
    ASSERT_EQ(box.wait_exit(), 0);
    EXPECT_NE(line_with(box.stdout_lines(), "null 0x0706 rc -1 errno 25, 1 rc -1 errno 25"), "")
        << box.output();
}

TEST(BoxTty, RawLineIsRelayedToAHostPty)
{
    TempDir dir;
    std::string sock = BoxProcess::temp_path("sock");
    BoxProcess box;
    ASSERT_EQ(
        box.start({"--control", sock, "--tty3", "raw", "--log", dir.file("log")}, {probe(), "tty", "3"}), 0);
    Client c;
    ASSERT_EQ(c.connect(sock), 0);
    std::string path;
    ASSERT_EQ(c.tty_path(3, path), 0);
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0) << path;
    std::string got;
    auto deadline = std::chrono::steady_clock::now() + ms(20000);
    while (got.find("ping") == std::string::npos && std::chrono::steady_clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 100) > 0) {
            char buf[64];
            ssize_t n = ::read(fd, buf, sizeof buf);
            if (n > 0)
                got.append(buf, static_cast<size_t>(n));
        }
    }
    EXPECT_NE(got.find("ping"), std::string::npos);
    ASSERT_EQ(::write(fd, "pong\n", 5), 5);
    EXPECT_EQ(box.wait_exit(), 0);
    ::close(fd);
    EXPECT_NE(line_with(box.stdout_lines(), "got pong"), "") << box.output();
    std::string log = read_file(dir.file("log"));
    EXPECT_NE(log.find("tty3 raw " + path), std::string::npos) << log;
    EXPECT_NE(log.find("tty3 <- 5 bytes: 70 69 6E 67 0A"), std::string::npos) << log;
    EXPECT_NE(log.find("tty3 -> 5 bytes: 70 6F 6E 67 0A"), std::string::npos) << log;
}

TEST(BoxTty, NullLineAcceptsAndDropsBytes)
{
    TempDir dir;
    std::string sock = BoxProcess::temp_path("sock");
    BoxProcess box;
    ASSERT_EQ(box.start({"--control", sock, "--log", dir.file("log")}, {probe(), "tty", "1"}), 0);
    ASSERT_TRUE(box.wait_for_line("tty open")) << box.output();
    Client c;
    ASSERT_EQ(c.connect(sock), 0);
    nlohmann::json r;
    ASSERT_EQ(c.request({{"cmd", "tty"}, {"port", 1}}, r), 0);
    EXPECT_EQ(r["kind"], "null");
    EXPECT_EQ(r["device"], "/dev/ttyS1");
    EXPECT_EQ(r["baud"], 9600);
    EXPECT_TRUE(eventually([&] {
        return read_file(dir.file("log")).find("tty1 <- 5 bytes: 70 69 6E 67 0A") != std::string::npos;
    }));
    box.stop();
}

TEST(BoxTty, UnknownKindIsRefused)
{
    BoxProcess box;
    ASSERT_EQ(box.start({"--tty1", "nosuchhead"}, {probe(), "exit", "0"}), 0);
    EXPECT_EQ(box.wait_exit(), 125);
    EXPECT_NE(line_with(box.stderr_lines(), "unknown kind for /dev/ttyS1: nosuchhead"), "");
}
