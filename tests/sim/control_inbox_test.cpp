// Runs as a whole inside a box: the board's fixed paths are this program's
// own, and the box is reached through BOARDBOX_CONTROL.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

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
