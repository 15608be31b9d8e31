#include "tools/fwwriter/mtd.h"
#include "tools/fwwriter/say.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdint>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{

using Bytes = std::vector<uint8_t>;

Bytes pattern(size_t n)
{
    Bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = static_cast<uint8_t>(1 + i % 251); // never 0, so padding shows
    return b;
}

struct CopyResult {
    int rc = -2;
    Bytes out;
    std::string log;
};

// Runs mtd_copy between two pipes: `input` is fed from one thread (then the
// pipe is closed), the output drained by another until the copy closes it.
CopyResult copy(const Bytes &input, int size, size_t piece = 0)
{
    CopyResult r;
    int in[2], out[2];
    if (::pipe(in) != 0 || ::pipe(out) != 0)
        return r;
    std::thread feeder([&] {
        size_t done = 0;
        while (done < input.size()) {
            size_t len = input.size() - done;
            if (piece != 0 && len > piece)
                len = piece;
            ssize_t n = ::write(in[1], input.data() + done, len);
            if (n <= 0)
                break;
            done += static_cast<size_t>(n);
        }
        ::close(in[1]);
    });
    std::thread drain([&] {
        uint8_t buf[4096];
        ssize_t n;
        while ((n = ::read(out[0], buf, sizeof buf)) > 0)
            r.out.insert(r.out.end(), buf, buf + n);
    });
    fwwriter::v = 1;
    testing::internal::CaptureStdout();
    r.rc = fwwriter::mtd_copy(in[0], out[1], size);
    r.log = testing::internal::GetCapturedStdout();
    ::close(out[1]);
    feeder.join();
    drain.join();
    ::close(in[0]);
    ::close(out[0]);
    return r;
}

} // namespace

TEST(MtdCopy, PartialLastBlockIsPaddedWithZerosTo8192)
{
    const Bytes data = pattern(10000);
    CopyResult r = copy(data, 10000);
    EXPECT_EQ(r.rc, 0);
    ASSERT_EQ(r.out.size(), 16384u);
    EXPECT_EQ(Bytes(r.out.begin(), r.out.begin() + 10000), data);
    EXPECT_EQ(Bytes(r.out.begin() + 10000, r.out.end()), Bytes(6384, 0));
    EXPECT_EQ(r.log, ": read r: 8192\n: read r: 1808\n");
}

TEST(MtdCopy, ExactMultiplesGetNoPadding)
{
    for (size_t blocks : {1u, 2u, 5u}) {
        const Bytes data = pattern(8192 * blocks);
        CopyResult r = copy(data, static_cast<int>(data.size()));
        EXPECT_EQ(r.rc, 0);
        EXPECT_EQ(r.out, data) << blocks;
        std::string want;
        for (size_t i = 0; i < blocks; ++i)
            want += ": read r: 8192\n";
        EXPECT_EQ(r.log, want);
    }
}

TEST(MtdCopy, OneByteAndOneBlockPlusOne)
{
    CopyResult one = copy(pattern(1), 1);
    EXPECT_EQ(one.rc, 0);
    ASSERT_EQ(one.out.size(), 8192u);
    EXPECT_EQ(one.out[0], 1);
    EXPECT_EQ(Bytes(one.out.begin() + 1, one.out.end()), Bytes(8191, 0));
    EXPECT_EQ(one.log, ": read r: 1\n");

    CopyResult more = copy(pattern(8193), 8193);
    EXPECT_EQ(more.rc, 0);
    EXPECT_EQ(more.out.size(), 16384u);
    EXPECT_EQ(more.log, ": read r: 8192\n: read r: 1\n");

    CopyResult less = copy(pattern(8191), 8191);
    EXPECT_EQ(less.out.size(), 8192u);
    EXPECT_EQ(less.out[8190], pattern(8191)[8190]);
    EXPECT_EQ(less.out[8191], 0);
    EXPECT_EQ(less.log, ": read r: 8191\n");
}

TEST(MtdCopy, InputArrivingInPiecesIsGathered)
{
    const Bytes data = pattern(10000);
    CopyResult r = copy(data, 10000, 77);
    EXPECT_EQ(r.rc, 0);
    ASSERT_EQ(r.out.size(), 16384u);
    EXPECT_EQ(Bytes(r.out.begin(), r.out.begin() + 10000), data);
    EXPECT_EQ(r.log, ": read r: 8192\n: read r: 1808\n");
}

TEST(MtdCopy, ZeroBytesWriteNothing)
{
    CopyResult r = copy(pattern(100), 0);
    EXPECT_EQ(r.rc, 0);
    EXPECT_TRUE(r.out.empty());
    EXPECT_EQ(r.log, "");
}

TEST(MtdCopy, OnlyTheGivenSizeIsReadFromALongerInput)
{
    const Bytes data = pattern(20000);
    CopyResult r = copy(data, 10000);
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.out.size(), 16384u);
    EXPECT_EQ(Bytes(r.out.begin(), r.out.begin() + 10000), Bytes(data.begin(), data.begin() + 10000));
}

TEST(MtdCopy, ShortInputStopsWithReadFailed)
{
    // The first block is whole, the second one short: it is not written.
    CopyResult r = copy(pattern(10000), 20000);
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.out, pattern(8192));
    EXPECT_EQ(r.log, ": read r: 8192\n: read r: 1808\nread failed !\n");

    CopyResult empty = copy(Bytes(), 5000);
    EXPECT_EQ(empty.rc, -1);
    EXPECT_TRUE(empty.out.empty());
    EXPECT_EQ(empty.log, ": read r: 0\nread failed !\n");
}

TEST(MtdCopy, ClosedOutputStopsWithWriteFailed)
{
    // As when the flash tool ends early; the writer must live on.
    struct sigaction old = {}, ign = {};
    ign.sa_handler = SIG_IGN;
    ::sigaction(SIGPIPE, &ign, &old);
    int in[2], out[2];
    ASSERT_EQ(::pipe(in), 0);
    ASSERT_EQ(::pipe(out), 0);
    ::close(out[0]);
    const Bytes data = pattern(3000);
    ASSERT_EQ(::write(in[1], data.data(), data.size()), 3000);
    ::close(in[1]);
    fwwriter::v = 1;
    testing::internal::CaptureStdout();
    int rc = fwwriter::mtd_copy(in[0], out[1], 3000);
    std::string log = testing::internal::GetCapturedStdout();
    ::close(in[0]);
    ::close(out[1]);
    ::sigaction(SIGPIPE, &old, nullptr);
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(log, ": read r: 3000\nmtd write failed !\n");
}

TEST(MtdCopy, QuietCopyPrintsNothing)
{
    fwwriter::v = 0;
    int in[2], out[2];
    ASSERT_EQ(::pipe(in), 0);
    ASSERT_EQ(::pipe(out), 0);
    const Bytes data = pattern(100);
    ASSERT_EQ(::write(in[1], data.data(), data.size()), 100);
    ::close(in[1]);
    testing::internal::CaptureStdout();
    // The output pipe holds 64 KiB, enough for one block without a reader.
    int rc = fwwriter::mtd_copy(in[0], out[1], 200);
    std::string log = testing::internal::GetCapturedStdout();
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(log, "");
    ::close(in[0]);
    ::close(out[0]);
    ::close(out[1]);
    fwwriter::v = 1;
}
