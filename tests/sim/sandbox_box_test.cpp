// The box's isolation and process handling, seen from outside.
#include <signal.h>

#include <cstdlib>
#include <gtest/gtest.h>

#include "box_test_util.h"
#include "sim/box_client.h"

using boardbox::BoxProcess;
using namespace boxtest;
using ms = std::chrono::milliseconds;

TEST(BoxProcessStatus, ExitStatusOfTheProgramPassesThrough)
{
    BoxProcess box;
    ASSERT_EQ(box.start({}, {probe(), "exit", "7"}), 0);
    EXPECT_EQ(box.wait_exit(), 7) << box.output();
}

TEST(BoxProcessStatus, ProgramEndedBySignalGives128PlusN)
{
    BoxProcess box;
    ASSERT_EQ(box.start({}, {probe(), "kill-self", "9"}), 0);
    EXPECT_EQ(box.wait_exit(), 128 + 9) << box.output();
}

TEST(BoxProcessStatus, MissingProgramIsReported)
{
    BoxProcess box;
    ASSERT_EQ(box.start({}, {"/nonexistent/program"}), 0);
    EXPECT_EQ(box.wait_exit(), 127);
    EXPECT_NE(line_with(box.stderr_lines(), "boardbox: cannot run /nonexistent/program"), "");
}

TEST(BoxProcessStatus, SigtermToTheBoxEndsTheProgram)
{
    BoxProcess box;
    ASSERT_EQ(box.start({}, {probe(), "sleep"}), 0);
    ASSERT_TRUE(box.wait_for_line("sleeping")) << box.output();
    EXPECT_EQ(box.stop(), 128 + SIGTERM);
}

TEST(BoxProcessStatus, BadCommandLineIsRefused)
{
    BoxProcess box;
    ASSERT_EQ(box.start({"--low", "xyz"}, {probe(), "exit", "0"}), 0);
    EXPECT_NE(box.wait_exit(), 0);
    EXPECT_NE(line_with(box.stderr_lines(), "boardbox: --low: not a hexadecimal mask"), "");
}

TEST(BoxIsolation, RefusesToStartWhenNamespacesAreDenied)
{
    BoxProcess box(deny_unshare());
    ASSERT_EQ(box.start({BoxProcess::default_binary()}, {probe(), "exit", "0"}), 0);
    int st = box.wait_exit();
    EXPECT_NE(st, 0);
    EXPECT_NE(st, -1);
    EXPECT_NE(
        line_with(box.stderr_lines(), "boardbox: cannot isolate the box: cannot create a mount namespace"),
        "")
        << box.output();
    EXPECT_EQ(line_with(box.stdout_lines(), "pid"), "");
}

TEST(BoxIsolation, ProgramSeesItsOwnPidSpaceHostNameAndOnlyLoopback)
{
    BoxProcess box;
    ASSERT_EQ(box.start({}, {probe(), "identity"}), 0);
    ASSERT_EQ(box.wait_exit(), 0) << box.output();
    auto out = box.stdout_lines();
    EXPECT_NE(line_with(out, "pid 2 host boardbox"), "") << box.output();
    EXPECT_NE(line_with(out, "interface lo"), "");
    int interfaces = 0;
    for (auto &l : out)
        interfaces += l.rfind("interface ", 0) == 0;
    EXPECT_EQ(interfaces, 1) << box.output();
}

TEST(BoxIsolation, RebootEndsOnlyTheBox)
{
    BoxProcess box;
    ASSERT_EQ(box.start({}, {probe(), "reboot"}), 0);
    EXPECT_EQ(box.wait_exit(), 128 + SIGHUP) << box.output();
    EXPECT_NE(line_with(box.stderr_lines(), "boardbox: the board rebooted"), "");
}

TEST(BoxIsolation, NothingIsLeftOnTheHost)
{
    std::string mounts_before = read_file("/proc/self/mountinfo");
    // /tmp is shared with other programs: look at this test's names only.
    const std::string mine = "-" + std::to_string(::getpid()) + "-";
    auto own = [&] {
        std::set<std::string> names;
        for (auto &n : list_dir("/tmp"))
            if (n.find(mine) != std::string::npos)
                names.insert(n);
        return names;
    };
    auto tmp_before = own();
    std::string sock = BoxProcess::temp_path("sock");
    const std::string marker = "leftover-marker-" + std::to_string(::getpid());
    {
        BoxProcess box;
        ASSERT_EQ(box.start({"--control", sock, "--tty1", "raw", "--also", probe(), "sleep", marker},
                            {probe(), "exit", "3"}),
                  0);
        ASSERT_EQ(box.wait_exit(), 3) << box.output();
    }
    EXPECT_FALSE(exists(sock));
    EXPECT_EQ(read_file("/proc/self/mountinfo"), mounts_before);
    EXPECT_EQ(own(), tmp_before);
    for (auto &pid : list_dir("/proc")) {
        if (pid.find_first_not_of("0123456789") != std::string::npos)
            continue;
        std::string cmdline = read_file("/proc/" + pid + "/cmdline");
        EXPECT_EQ(cmdline.find(marker), std::string::npos) << "process " << pid << " survived the box";
    }
}

TEST(BoxIsolation, RunIsAnEmptyFileSystemOfTheBoxOwn)
{
    const std::string marker = "/run/boardbox-run-marker-" + std::to_string(::getpid());
    BoxProcess box;
    ASSERT_EQ(box.start({}, {"/bin/sh", "-c", "ls -A /run; echo x > " + marker + " && cat " + marker}), 0);
    ASSERT_EQ(box.wait_exit(), 0) << box.output();
    EXPECT_EQ(box.stdout_lines(), std::vector<std::string>{"x"}) << box.output();
    EXPECT_FALSE(exists(marker));
}

TEST(BoxIsolation, SecondProgramRunsInTheSameBoxAndEndsWithTheFirst)
{
    TempDir dir;
    BoxProcess box;
    ASSERT_EQ(box.start({"--log", dir.file("log"), "--also", "--", probe(), "sleep"}, {probe(), "identity"}),
              0);
    EXPECT_EQ(box.wait_exit(), 0) << box.output();
    // The second program started first: it is PID 2, the program PID 3.
    EXPECT_NE(line_with(box.stdout_lines(), "pid 3 host boardbox"), "") << box.output();
    std::string log = read_file(dir.file("log"));
    EXPECT_NE(log.find("box_probe (pid 2)"), std::string::npos) << log;
    EXPECT_NE(log.find("ended with status 143"), std::string::npos) << log;
}

TEST(BoxConfig, ConfigIsFilledFromDirAndSavedAtExit)
{
    TempDir in, out;
    write_file(in.file("in.cfg"), std::string("\x01\x02\x00\xff", 4));
    BoxProcess box;
    ASSERT_EQ(box.start({"--config", in.path, "--save-config", out.path}, {probe(), "config-copy"}), 0);
    ASSERT_EQ(box.wait_exit(), 0) << box.output();
    EXPECT_EQ(read_file(out.file("in.cfg")), std::string("\x01\x02\x00\xff", 4));
    EXPECT_EQ(read_file(out.file("out.cfg")), std::string("\x01\x02\x00\xff", 4));
    // The source directory is never written.
    EXPECT_FALSE(exists(in.file("out.cfg")));
}

TEST(BoxConfig, ConfigStartsEmptyWithoutDir)
{
    TempDir out;
    BoxProcess box;
    ASSERT_EQ(box.start({"--save-config", out.path}, {probe(), "config-copy"}), 0);
    EXPECT_EQ(box.wait_exit(), 1) << box.output();
    EXPECT_EQ(list_dir(out.path).size(), 2u); // "." and ".." only
}

TEST(BoxConfig, MissingConfigDirIsRefused)
{
    BoxProcess box;
    ASSERT_EQ(box.start({"--config", "/nonexistent/cfg"}, {probe(), "exit", "0"}), 0);
    EXPECT_EQ(box.wait_exit(), 125);
    EXPECT_NE(line_with(box.stderr_lines(), "boardbox: cannot open /nonexistent/cfg"), "");
}

TEST(BoxSite, BoxesOfASiteReachEachOtherAtTheirAddresses)
{
    const std::string site = "t" + std::to_string(::getpid());
    BoxProcess server;
    ASSERT_EQ(server.start({"--site", site + ":172.16.0.189"}, {probe(), "tcp-serve", "4711"}), 0);
    ASSERT_TRUE(server.wait_for_line("listening")) << server.output();
    BoxProcess board;
    ASSERT_EQ(board.start({"--site", site}, {probe(), "identity"}), 0);
    ASSERT_EQ(board.wait_exit(), 0) << board.output();
    EXPECT_NE(line_with(board.stdout_lines(), "interface eth0"), "") << board.output();
    BoxProcess client;
    ASSERT_EQ(client.start({"--site", site}, {probe(), "tcp-connect", "172.16.0.189", "4711"}), 0);
    EXPECT_EQ(client.wait_exit(), 0) << client.output();
    EXPECT_NE(line_with(client.stdout_lines(), "received hello"), "") << client.output();
    EXPECT_EQ(server.wait_exit(), 0) << server.output();
}

TEST(BoxSite, AddressOutsideTheSiteNetworkIsRefused)
{
    BoxProcess box;
    ASSERT_EQ(box.start({"--site", "x:10.0.0.1"}, {probe(), "exit", "0"}), 0);
    EXPECT_EQ(box.wait_exit(), 125);
    EXPECT_NE(line_with(box.stderr_lines(), "a site address is one of 172.16.0.1-254"), "") << box.output();
}
