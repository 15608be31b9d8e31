#include "base/fd_io.h"
#include "base/unique_fd.h"

#include "tests/pipe_pair.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#include <vector>

TEST(ReadFull, GathersPiecesUntilTheCountIsIn)
{
    PipePair p;
    ASSERT_TRUE(p.r.valid());
    std::thread writer([&] {
        const uint8_t parts[3][2] = {{1, 2}, {3, 4}, {5, 6}};
        for (const auto &part : parts) {
            ASSERT_EQ(::write(p.w.get(), part, 2), 2);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    uint8_t buf[6] = {};
    EXPECT_EQ(read_full(p.r.get(), buf, sizeof buf), 6);
    writer.join();
    EXPECT_EQ(std::vector<uint8_t>(buf, buf + 6), (std::vector<uint8_t>{1, 2, 3, 4, 5, 6}));
}

TEST(ReadFull, StopsAtTheEndOfInputWithTheCountRead)
{
    PipePair p;
    ASSERT_TRUE(p.r.valid());
    const uint8_t data[3] = {0x80, 0xFF, 0x01};
    ASSERT_EQ(::write(p.w.get(), data, 3), 3);
    p.w.reset();
    uint8_t buf[8] = {};
    EXPECT_EQ(read_full(p.r.get(), buf, sizeof buf), 3);
    EXPECT_EQ(buf[1], 0xFF);
    EXPECT_EQ(read_full(p.r.get(), buf, sizeof buf), 0);
}

TEST(ReadFull, AnErrorIsMinusOne)
{
    PipePair p;
    ASSERT_TRUE(p.w.valid());
    uint8_t buf[4];
    EXPECT_EQ(read_full(p.w.get(), buf, sizeof buf), -1); // the write end cannot be read
    EXPECT_EQ(read_full(-1, buf, sizeof buf), -1);
}

TEST(WriteFull, WritesEverythingAndFailsOnAClosedReader)
{
    PipePair p;
    ASSERT_TRUE(p.r.valid());
    std::vector<uint8_t> data(200000);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i * 7);
    std::vector<uint8_t> got;
    std::thread reader([&] {
        uint8_t buf[4096];
        ssize_t n;
        while ((n = ::read(p.r.get(), buf, sizeof buf)) > 0)
            got.insert(got.end(), buf, buf + n);
    });
    EXPECT_TRUE(write_full(p.w.get(), data.data(), data.size()));
    p.w.reset();
    reader.join();
    EXPECT_EQ(got, data);

    PipePair q;
    q.r.reset();
    struct sigaction ign {
    }, old{};
    ign.sa_handler = SIG_IGN;
    ::sigaction(SIGPIPE, &ign, &old);
    EXPECT_FALSE(write_full(q.w.get(), data.data(), 16));
    ::sigaction(SIGPIPE, &old, nullptr);
}

TEST(UniqueFd, ClosesOnceAndReportsAnExplicitClose)
{
    int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    UniqueFd a(fd);
    UniqueFd b(std::move(a));
    EXPECT_FALSE(a.valid());
    EXPECT_EQ(b.get(), fd);
    EXPECT_EQ(b.close(), 0);
    EXPECT_FALSE(b.valid());
    EXPECT_EQ(::fcntl(fd, F_GETFD), -1); // really closed
    EXPECT_EQ(b.close(), -1);            // nothing left to close
}
