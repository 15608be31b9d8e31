// Runs as a whole inside a box: the board's fixed paths are this program's
// own, and the box is reached through BOARDBOX_CONTROL.
#include <fcntl.h>
#include <sys/mman.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

#include <gtest/gtest.h>
#include <thread>

#include "sim/box_client.h"
#include "sim/pio_model.h"

using namespace boardbox;

TEST(InsideABox, ControlSocketDrivesTheInputsThisProgramReads)
{
    Client c;
    ASSERT_EQ(c.connect_inside(), 0);
    ASSERT_TRUE(c.ping());
    int fd = ::open("/dev/uio0", O_RDWR);
    ASSERT_GE(fd, 0);
    void *m = ::mmap(nullptr, kUioWindowSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ASSERT_NE(m, MAP_FAILED);
    auto *pdsr_a = reinterpret_cast<volatile uint32_t *>(static_cast<uint8_t *>(m) + kPioBase[0] + kPioPdsr);
    EXPECT_EQ(*pdsr_a & 1u, 1u); // PA0, the recovery button: released
    ASSERT_EQ(c.set_inputs(0x2000, 0), 0);
    // The control reply comes after the level was published.
    EXPECT_EQ(*pdsr_a & 1u, 0u);
    ::munmap(m, kUioWindowSize);
    ::close(fd);
}

TEST(InsideABox, ConfigIsAnEmptyWritableTmpfs)
{
    int fd = ::open("/config/main.cfg", O_RDWR | O_CREAT | O_EXCL, 0644);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(::write(fd, "x", 1), 1);
    ::close(fd);
    ::unlink("/config/main.cfg");
    char host[64] = {};
    ::gethostname(host, sizeof host - 1);
    EXPECT_STREQ(host, "boardbox");
}

// A hung-up line: the open descriptor reads end of file or EIO at once and
// "/dev/ttyS1" is gone; restored, the device is there again with the speed
// this program had set, and bytes flow.
TEST(InsideABox, SerialLineHangsUpAndComesBackWithItsSettings)
{
    Client c;
    ASSERT_EQ(c.connect_inside(), 0);
    int fd = ::open("/dev/ttyS1", O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    termios t;
    ASSERT_EQ(::tcgetattr(fd, &t), 0);
    ::cfsetospeed(&t, B115200);
    ASSERT_EQ(::tcsetattr(fd, TCSANOW, &t), 0);
    nlohmann::json r;
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        ASSERT_EQ(c.request({{"cmd", "tty"}, {"port", 1}, {"op", "hangup"}}, r), 0);
        ASSERT_TRUE(r.value("ok", false)) << r.dump();
        char b;
        ssize_t n = ::read(fd, &b, 1);
        EXPECT_TRUE(n == 0 || (n < 0 && errno == EIO)) << n;
        EXPECT_NE(::access("/dev/ttyS1", F_OK), 0) << "the device is still there";
        ::close(fd);
        ASSERT_EQ(c.request({{"cmd", "tty"}, {"port", 1}, {"op", "restore"}}, r), 0);
        ASSERT_TRUE(r.value("ok", false)) << r.dump();
        fd = ::open("/dev/ttyS1", O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::tcgetattr(fd, &t), 0);
        EXPECT_EQ(::cfgetospeed(&t), static_cast<speed_t>(B115200));
        ASSERT_EQ(c.request({{"cmd", "tty"}, {"port", 1}}, r), 0);
        EXPECT_EQ(r.value("baud", 0u), 115200u);
        EXPECT_EQ(::write(fd, "x", 1), 1);
    }
    ::close(fd);
    EXPECT_FALSE(c.request({{"cmd", "tty"}, {"port", 1}, {"op", "bogus"}}, r) == 0 && r.value("ok", true));
}
