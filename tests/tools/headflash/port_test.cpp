// The target's line as headflash leaves it: raw, 8N2, the target's speed,
// not the controlling terminal. Tried on a pty of the test's own.
#include "tools/headflash/port.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

using namespace headflash;

namespace
{

struct Pty {
    UniqueFd master;
    std::string slave;
    Pty()
    {
        master.reset(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
        if (master.valid() && ::grantpt(master.get()) == 0 && ::unlockpt(master.get()) == 0)
            slave = ::ptsname(master.get());
    }
};

} // namespace

TEST(TargetPort, RawEightDataBitsNoParityTwoStopBits)
{
    Pty pty;
    ASSERT_FALSE(pty.slave.empty());
    const char *error = nullptr;
    UniqueFd fd = open_port(pty.slave.c_str(), 460800, error);
    ASSERT_TRUE(fd.valid()) << error;
    termios t;
    ASSERT_EQ(tcgetattr(fd.get(), &t), 0);
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(t.c_cflag & PARENB, 0u);
    EXPECT_NE(t.c_cflag & CSTOPB, 0u);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_iflag & (ICRNL | IXON | ISTRIP), 0u);
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B460800));
}

// Checked on the settings themselves: user-mode emulators do not carry every
// speed through to a host terminal.
TEST(TargetPort, EveryTableSpeed)
{
    const struct {
        unsigned speed;
        speed_t code;
    } speeds[] = {{230400, B230400}, {460800, B460800}, {3000000, B3000000}};
    for (auto &s : speeds) {
        termios t{};
        t.c_cflag = CS7 | PARENB | CREAD;
        t.c_lflag = ICANON | ECHO;
        ASSERT_EQ(port_settings(t, s.speed), 0) << s.speed;
        EXPECT_EQ(cfgetospeed(&t), s.code) << s.speed;
        EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | CSTOPB), static_cast<tcflag_t>(CS8 | CSTOPB)) << s.speed;
        EXPECT_EQ(t.c_lflag & (ICANON | ECHO), 0u) << s.speed;
    }
}

TEST(TargetPort, MissingDeviceCannotBeOpened)
{
    const char *error = nullptr;
    UniqueFd fd = open_port("/nonexistent/ttyS9", 460800, error);
    EXPECT_FALSE(fd.valid());
    EXPECT_STREQ(error, "cannot open port!");
}

TEST(TargetPort, NotATerminal)
{
    const char *error = nullptr;
    UniqueFd fd = open_port("/dev/null", 460800, error);
    EXPECT_FALSE(fd.valid());
    EXPECT_STREQ(error, "tcgetattr failed!");
}

TEST(TargetPort, SpeedOutsideTheTableIsRefused)
{
    Pty pty;
    ASSERT_FALSE(pty.slave.empty());
    const char *error = nullptr;
    UniqueFd fd = open_port(pty.slave.c_str(), 12345, error);
    EXPECT_FALSE(fd.valid());
    EXPECT_STREQ(error, "cfsetospeed failed!");
}

TEST(TargetPort, DoesNotBecomeTheControllingTerminal)
{
    Pty pty;
    ASSERT_FALSE(pty.slave.empty());
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // A session leader without a terminal would acquire the first one it
        // opens without O_NOCTTY.
        if (setsid() < 0)
            _exit(2);
        const char *error = nullptr;
        UniqueFd fd = open_port(pty.slave.c_str(), 230400, error);
        if (!fd.valid())
            _exit(3);
        pid_t sid = 0;
        _exit(ioctl(fd.get(), TIOCGSID, &sid) == 0 ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}
