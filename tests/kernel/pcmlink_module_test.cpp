// The pcmlink driver, loaded in the test kernel of scripts/pcmlink-vm over the
// simulated SSC. The simulator receives a counting pattern (every received
// word is one more than the word before it, across blocks) or, with
// loopback=1, each transmitted block; tests that need the other mode skip.
//
// The test kernel runs in time-travel mode: its clock moves only while every
// task waits, so block times are exact and independent of the host's load.
#include "base/unique_fd.h"
#include "kernel/pcmlink/pcmlink.h"
#include "tests/kernel/kernel_log.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <future>
#include <string>
#include <thread>
#include <vector>

namespace
{

constexpr uint32_t frameWords = 160;
constexpr uint32_t fillWord = 0x55555555;

pcmlink_cfg gatewayConfig(uint32_t count)
{
    return pcmlink_cfg{192, 0x0F000424, 0x00200093, 0x0F000404, 0x00200093, count};
}

bool loopbackMode()
{
    std::ifstream f("/sys/module/ssc_sim/parameters/loopback");
    char c = 'N';
    f >> c;
    return c == 'Y' || c == '1';
}

double now()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

UniqueFd openDevice()
{
    UniqueFd fd(::open("/dev/ssc0", O_RDWR | O_CLOEXEC));
    EXPECT_TRUE(fd.valid()) << std::strerror(errno);
    return fd;
}

int configure(int fd, uint32_t count)
{
    pcmlink_cfg cfg = gatewayConfig(count);
    return ::ioctl(fd, PCMLINK_IOCTL_CFG, &cfg);
}

std::vector<uint32_t> readBlock(int fd, uint32_t words = frameWords)
{
    std::vector<uint32_t> block(words);
    ssize_t n = ::read(fd, block.data(), words * 4);
    EXPECT_EQ(n, static_cast<ssize_t>(words * 4)) << std::strerror(errno);
    return block;
}

// Result and errno of one call, for table checks.
struct Outcome {
    long result;
    int error;
};

Outcome readBytes(int fd, size_t count)
{
    std::vector<uint8_t> buf(count + 1);
    errno = 0;
    long r = ::read(fd, buf.data(), count);
    return {r, r < 0 ? errno : 0};
}

Outcome writeBytes(int fd, size_t count)
{
    std::vector<uint8_t> buf(count + 1, 0x11);
    errno = 0;
    long r = ::write(fd, buf.data(), count);
    return {r, r < 0 ? errno : 0};
}

// Every word one more than the one before it.
bool counting(const std::vector<uint32_t> &block)
{
    for (size_t i = 1; i < block.size(); i++)
        if (block[i] != block[i - 1] + 1)
            return false;
    return true;
}

std::string configLine(uint32_t count)
{
    char buf[200];
    std::snprintf(buf, sizeof(buf),
                  "<6>pcmlink: config: clkdiv: 192, tcmr: 0x0F000424, tfmr: 0x00200093, "
                  "rcmr: 0x0F000404, rfmr: 0x00200093, rxfer_count: %d",
                  static_cast<int>(count));
    return buf;
}

// Interrupts counted for "pcmlink" in /proc/interrupts.
long pcmlinkInterrupts()
{
    std::ifstream f("/proc/interrupts");
    std::string line;
    while (std::getline(f, line)) {
        if (line.find("pcmlink") == std::string::npos)
            continue;
        long irq = 0, count = -1;
        if (std::sscanf(line.c_str(), " %ld: %ld", &irq, &count) == 2)
            return count;
    }
    return -1;
}

// Waits (generously) until thread tid sleeps in the kernel. Never spin without
// sleeping here: the test kernel's clock stands still while a task computes,
// so a spinning thread can keep the one it waits for from running.
bool waitUntilSleeping(pid_t tid)
{
    std::string path = "/proc/self/task/" + std::to_string(tid) + "/stat";
    for (int i = 0; i < 10000; i++) {
        std::ifstream f(path);
        std::string stat;
        std::getline(f, stat);
        size_t paren = stat.rfind(')');
        if (paren != std::string::npos && paren + 2 < stat.size() && stat[paren + 2] == 'S')
            return true;
        usleep(1000);
    }
    return false;
}

void onSignal(int) {}

// Every test starts from the driver just loaded (never configured, nobody
// reading or writing), whatever ran before it: the one loaded at start is
// unloaded and loaded again.
class PcmlinkModule : public testing::Test
{
  protected:
    void SetUp() override
    {
        ASSERT_EQ(syscall(SYS_delete_module, "pcmlink", O_NONBLOCK), 0) << std::strerror(errno);
        UniqueFd ko(::open("/vm/pcmlink.ko", O_RDONLY | O_CLOEXEC));
        ASSERT_TRUE(ko.valid()) << std::strerror(errno);
        ASSERT_EQ(syscall(SYS_finit_module, ko.get(), "", 0), 0) << std::strerror(errno);
    }
};

TEST_F(PcmlinkModule, LoadedWithItsLineAndNothingRunning)
{
    EXPECT_TRUE(contains(KernelLog(true).tagged(), "<6>pcmlink: at91sam9260 ssc driver initialized"));
    long before = pcmlinkInterrupts();
    ASSERT_GE(before, 0) << "no pcmlink line in /proc/interrupts";
    usleep(100000);
    EXPECT_EQ(pcmlinkInterrupts(), before) << "transfers ran before a configuration";
}

TEST_F(PcmlinkModule, ReadsAndWritesBeforeTheFirstConfigurationFailWithEinval)
{
    UniqueFd fd = openDevice();
    for (size_t count : {size_t{1}, size_t{4}, size_t{640}}) {
        Outcome r = readBytes(fd.get(), count);
        EXPECT_EQ(r.result, -1);
        EXPECT_EQ(r.error, EINVAL);
        Outcome w = writeBytes(fd.get(), count);
        EXPECT_EQ(w.result, -1);
        EXPECT_EQ(w.error, EINVAL);
    }
}

TEST_F(PcmlinkModule, BadRecordPointerGivesEfaultAndChangesNothing)
{
    UniqueFd fd = openDevice();
    // A record that starts in a readable page and ends in an unmapped one.
    long page = sysconf(_SC_PAGESIZE);
    auto *pages = static_cast<uint8_t *>(
        mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(pages, MAP_FAILED);
    ASSERT_EQ(munmap(pages + page, page), 0);
    pcmlink_cfg good = gatewayConfig(frameWords);
    std::memcpy(pages + page - 12, &good, 12);

    for (void *record : {static_cast<void *>(nullptr), static_cast<void *>(pages + page - 12),
                         reinterpret_cast<void *>(1)}) {
        KernelLog log;
        errno = 0;
        EXPECT_EQ(::ioctl(fd.get(), PCMLINK_IOCTL_CFG, record), -1);
        EXPECT_EQ(errno, EFAULT);
        std::vector<std::string> lines = log.tagged();
        EXPECT_TRUE(contains(lines, "<6>pcmlink: PCMLINK_IOCTL_CFG copy_from_user() failed"));
        for (const std::string &line : lines)
            EXPECT_EQ(line.find("pcmlink: config:"), std::string::npos) << line;
    }
    munmap(pages, page);
    // Still unconfigured.
    EXPECT_EQ(readBytes(fd.get(), 4).error, EINVAL);
}

TEST_F(PcmlinkModule, UnknownRequestsGiveEnottyWithTheirLine)
{
    UniqueFd fd = openDevice();
    struct Case {
        unsigned long request;
        const char *line;
    };
    const Case cases[] = {
        {0, "<6>pcmlink: unknown ioctl (0)"},
        {3, "<6>pcmlink: unknown ioctl (3)"},                    // 2 is FIGETBSZ, which the VFS answers
        {0x5401, "<6>pcmlink: unknown ioctl (21505)"},           // TCGETS
        {0xC0185001, "<6>pcmlink: unknown ioctl (-1072148479)"}, // an _IOWR code
    };
    pcmlink_cfg cfg = gatewayConfig(frameWords);
    for (const Case &c : cases) {
        KernelLog log;
        errno = 0;
        EXPECT_EQ(::ioctl(fd.get(), c.request, &cfg), -1) << c.request;
        EXPECT_EQ(errno, ENOTTY) << c.request;
        EXPECT_TRUE(contains(log.tagged(), c.line)) << c.line;
    }
}

TEST_F(PcmlinkModule, ConfigurationWithoutAnAcceptedSizeStartsNothing)
{
    UniqueFd fd = openDevice();
    long before = pcmlinkInterrupts();
    KernelLog log;
    ASSERT_EQ(configure(fd.get(), 0), 0);
    std::vector<std::string> lines = log.tagged();
    EXPECT_TRUE(contains(lines, "<6>pcmlink: incorrect rxfer_count, should be 1 .. 65535 !"));
    EXPECT_TRUE(contains(lines, configLine(0)));
    EXPECT_EQ(readBytes(fd.get(), 4).error, EINVAL);
    EXPECT_EQ(writeBytes(fd.get(), 4).error, EINVAL);
    usleep(100000);
    EXPECT_EQ(pcmlinkInterrupts(), before);
}

TEST_F(PcmlinkModule, ConfigurationPrintsItsSixFields)
{
    UniqueFd fd = openDevice();
    KernelLog log;
    ASSERT_EQ(configure(fd.get(), frameWords), 0);
    std::vector<std::string> lines = log.tagged();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], configLine(frameWords));
}

TEST_F(PcmlinkModule, OutOfRangeBlockSizesPrintTheirRangeLineAndKeepTheSize)
{
    UniqueFd fd = openDevice();
    ASSERT_EQ(configure(fd.get(), frameWords), 0);
    const std::string range = "<6>pcmlink: incorrect rxfer_count, should be 1 .. 65535 !";
    // 16385 to 65535 fit the PDC's counters but not the 16384-word buffers:
    // refused with a line of their own.
    for (uint32_t count : {0u, 16385u, 65535u, 65536u, 0xFFFFFFFFu}) {
        KernelLog log;
        ASSERT_EQ(configure(fd.get(), count), 0) << count;
        std::vector<std::string> lines = log.tagged();
        const bool too_big = count >= 16385 && count <= 65535;
        const std::string buffers = "<6>pcmlink: rxfer_count " + std::to_string(count) +
                                    " does not fit the buffers, should be 1 .. 16384 !";
        EXPECT_EQ(contains(lines, range), !too_big) << count;
        EXPECT_EQ(contains(lines, buffers), too_big) << count;
        EXPECT_TRUE(contains(lines, configLine(count))) << count;
        EXPECT_EQ(readBytes(fd.get(), frameWords * 4 + 1).error, EINVAL) << count;
        EXPECT_EQ(readBytes(fd.get(), frameWords * 4).result, frameWords * 4) << count;
        EXPECT_EQ(writeBytes(fd.get(), frameWords * 4 + 1).error, EINVAL) << count;
        EXPECT_EQ(writeBytes(fd.get(), frameWords * 4).result, frameWords * 4) << count;
    }
}

TEST_F(PcmlinkModule, BlockSizeBoundsAreTheBuffers)
{
    UniqueFd fd = openDevice();
    for (uint32_t count : {1u, 16384u}) {
        KernelLog log;
        ASSERT_EQ(configure(fd.get(), count), 0);
        EXPECT_FALSE(contains(log.tagged(), "<6>pcmlink: incorrect rxfer_count, should be 1 .. 65535 !"));
        EXPECT_EQ(readBytes(fd.get(), count * 4 + 1).error, EINVAL) << count;
        EXPECT_EQ(readBytes(fd.get(), count * 4).result, count * 4) << count;
        EXPECT_EQ(writeBytes(fd.get(), count * 4).result, count * 4) << count;
        EXPECT_EQ(readBytes(fd.get(), 0).error, EINVAL) << count;
        EXPECT_EQ(writeBytes(fd.get(), 0).error, EINVAL) << count;
    }
    ASSERT_EQ(configure(fd.get(), frameWords), 0);
}

TEST_F(PcmlinkModule, ConsecutiveReadsReturnConsecutiveBlocksNeverTheSameTwice)
{
    if (loopbackMode())
        GTEST_SKIP() << "needs the counting pattern";
    UniqueFd fd = openDevice();
    ASSERT_EQ(configure(fd.get(), frameWords), 0);
    std::vector<uint32_t> previous = readBlock(fd.get());
    for (int i = 0; i < 50; i++) {
        std::vector<uint32_t> block = readBlock(fd.get());
        ASSERT_TRUE(counting(block)) << i;
        ASSERT_EQ(block.front(), previous.back() + 1) << "block " << i << " is not the next one";
        previous = block;
    }
}

TEST_F(PcmlinkModule, ShortReadReturnsTheFirstBytesOfTheNextBlock)
{
    if (loopbackMode())
        GTEST_SKIP() << "needs the counting pattern";
    UniqueFd fd = openDevice();
    ASSERT_EQ(configure(fd.get(), frameWords), 0);
    std::vector<uint32_t> first = readBlock(fd.get());
    for (size_t count : {size_t{1}, size_t{6}, size_t{frameWords * 4 - 1}}) {
        std::vector<uint8_t> bytes(frameWords * 4, 0xEE);
        ASSERT_EQ(::read(fd.get(), bytes.data(), count), static_cast<ssize_t>(count));
        std::vector<uint32_t> expected(frameWords);
        for (uint32_t i = 0; i < frameWords; i++)
            expected[i] = first.back() + 1 + i;
        EXPECT_EQ(std::memcmp(bytes.data(), expected.data(), count), 0) << count;
        EXPECT_EQ(bytes[count], 0xEE) << "read more than asked";
        first = readBlock(fd.get());
        ASSERT_EQ(first.front(), expected.back() + 1);
    }
}

TEST_F(PcmlinkModule, SlowReaderGetsTheNewestBlock)
{
    if (loopbackMode())
        GTEST_SKIP() << "needs the counting pattern";
    UniqueFd fd = openDevice();
    ASSERT_EQ(configure(fd.get(), frameWords), 0);
    readBlock(fd.get());
    std::vector<uint32_t> a = readBlock(fd.get()); // returned as its block completed
    usleep(110000);                                // five and a half blocks
    std::vector<uint32_t> b = readBlock(fd.get());
    uint32_t skipped = (b.front() - a.front()) / frameWords;
    EXPECT_EQ(skipped, 5u);
    std::vector<uint32_t> c = readBlock(fd.get());
    EXPECT_EQ(c.front(), b.back() + 1);
}

TEST_F(PcmlinkModule, FailedCopiesConsumeTheBlockAndReportEfault)
{
    UniqueFd fd = openDevice();
    ASSERT_EQ(configure(fd.get(), frameWords), 0);
    // A page the process may not touch.
    long page = sysconf(_SC_PAGESIZE);
    void *none = mmap(nullptr, page, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(none, MAP_FAILED);
    std::vector<uint32_t> a = readBlock(fd.get());
    KernelLog log;
    errno = 0;
    EXPECT_EQ(::read(fd.get(), none, frameWords * 4), -1);
    EXPECT_EQ(errno, EFAULT);
    errno = 0;
    EXPECT_EQ(::write(fd.get(), none, frameWords * 4), -1);
    EXPECT_EQ(errno, EFAULT);
    munmap(none, page);
    std::vector<std::string> lines = log.tagged();
    EXPECT_TRUE(contains(lines, "<3>pcmlink: rd copy_to_user failed"));
    EXPECT_TRUE(contains(lines, "<3>pcmlink: wr copy_from_user failed"));
    std::vector<uint32_t> c = readBlock(fd.get());
    if (!loopbackMode()) {
        EXPECT_EQ(c.front(), a.back() + 1 + frameWords) << "the failed read did not consume a block";
    }
}

TEST_F(PcmlinkModule, LoopbackWithoutWritesGivesTwoZeroBlocksThenFill)
{
    if (!loopbackMode())
        GTEST_SKIP() << "needs loopback=1";
    UniqueFd fd = openDevice();
    ASSERT_EQ(configure(fd.get(), frameWords), 0);
    std::vector<uint32_t> zero(frameWords, 0), fill(frameWords, fillWord);
    EXPECT_EQ(readBlock(fd.get()), zero);
    EXPECT_EQ(readBlock(fd.get()), zero);
    for (int i = 0; i < 5; i++)
        EXPECT_EQ(readBlock(fd.get()), fill) << i;
}

TEST_F(PcmlinkModule, WrittenBlocksComeBackIntactThroughTheLoopback)
{
    if (!loopbackMode())
        GTEST_SKIP() << "needs loopback=1";
    UniqueFd fd = openDevice();
    ASSERT_EQ(configure(fd.get(), frameWords), 0);
    constexpr uint32_t blocks = 100;
    auto pattern = [](uint32_t seq, uint32_t i) { return 0xA0000000u | (seq << 12) | i; };
    std::atomic<int> writeFailures{0};
    std::thread writer([&] {
        std::vector<uint32_t> block(frameWords);
        for (uint32_t seq = 0; seq < blocks; seq++) {
            for (uint32_t i = 0; i < frameWords; i++)
                block[i] = pattern(seq, i);
            // The last block is short: the rest of it keeps the fill.
            size_t bytes = seq == blocks - 1 ? 40 : frameWords * 4;
            if (::write(fd.get(), block.data(), bytes) != static_cast<ssize_t>(bytes))
                writeFailures++;
        }
    });
    std::vector<std::vector<uint32_t>> got;
    for (uint32_t n = 0; n < blocks + 4; n++)
        got.push_back(readBlock(fd.get()));
    writer.join();
    EXPECT_EQ(writeFailures.load(), 0);

    // Zero blocks, then the written ones in order, then fill.
    uint32_t seq = 0;
    for (const std::vector<uint32_t> &block : got) {
        if (seq == 0 && block == std::vector<uint32_t>(frameWords, 0))
            continue;
        if (seq == blocks) {
            EXPECT_EQ(block, std::vector<uint32_t>(frameWords, fillWord));
            continue;
        }
        for (uint32_t i = 0; i < frameWords; i++) {
            uint32_t want = (seq == blocks - 1 && i >= 10) ? fillWord : pattern(seq, i);
            ASSERT_EQ(block[i], want) << "block " << seq << " word " << i;
        }
        seq++;
    }
    EXPECT_EQ(seq, blocks) << "not every written block came back";
}

TEST_F(PcmlinkModule, ReconfigurationWakesASleepingReaderWithTheNewFirstBlock)
{
    UniqueFd fd = openDevice();
    // Blocks of 16384 words take 2.048 s: the reader surely sleeps.
    ASSERT_EQ(configure(fd.get(), 16384), 0);
    std::promise<pid_t> started;
    std::vector<uint32_t> got(frameWords, 0xEEEEEEEE);
    std::atomic<long> result{0};
    std::atomic<double> woke{0};
    std::thread reader([&] {
        started.set_value(gettid());
        result = ::read(fd.get(), got.data(), frameWords * 4);
        woke = now();
    });
    ASSERT_TRUE(waitUntilSleeping(started.get_future().get()));
    double reconfigured = now();
    ASSERT_EQ(configure(fd.get(), frameWords), 0);
    reader.join();
    EXPECT_EQ(result.load(), static_cast<long>(frameWords * 4));
    // The first block of the new configuration completes one 20 ms period
    // after it, long before the old 2 s block would have.
    EXPECT_GE(woke.load() - reconfigured, 0.019);
    EXPECT_LT(woke.load() - reconfigured, 0.039);
    if (loopbackMode())
        EXPECT_EQ(got, std::vector<uint32_t>(frameWords, 0)) << "not the new configuration's zero block";
    else
        EXPECT_TRUE(counting(got));
}

TEST_F(PcmlinkModule, SignalEndsASleepingReadOrWrite)
{
    struct sigaction sa {
    };
    sa.sa_handler = onSignal; // no SA_RESTART: the call must return
    ASSERT_EQ(sigaction(SIGUSR1, &sa, nullptr), 0);
    UniqueFd fd = openDevice();
    for (bool reading : {true, false}) {
        // No block completes for 2 s after this, in either direction.
        ASSERT_EQ(configure(fd.get(), 16384), 0);
        std::promise<pid_t> started;
        std::atomic<long> result{0};
        std::atomic<int> error{0};
        std::thread t([&] {
            std::vector<uint32_t> buf(frameWords);
            started.set_value(gettid());
            long r = reading ? ::read(fd.get(), buf.data(), frameWords * 4)
                             : ::write(fd.get(), buf.data(), frameWords * 4);
            error = errno;
            result = r;
        });
        ASSERT_TRUE(waitUntilSleeping(started.get_future().get()));
        pthread_kill(t.native_handle(), SIGUSR1);
        t.join();
        EXPECT_EQ(result.load(), -1) << (reading ? "read" : "write");
        EXPECT_EQ(error.load(), EINTR) << (reading ? "read" : "write");
    }
    ASSERT_EQ(configure(fd.get(), frameWords), 0);
}

TEST_F(PcmlinkModule, OneInterruptPerBlockAndDirectionForTenSecondsWithoutLoss)
{
    UniqueFd fd = openDevice();
    ASSERT_EQ(configure(fd.get(), frameWords), 0);
    readBlock(fd.get()); // in step with the blocks from here
    constexpr int blocks = 500;
    long before = pcmlinkInterrupts();
    double start = now();
    std::atomic<bool> stop{false};
    std::atomic<int> writes{0};
    std::thread writer([&] {
        std::vector<uint32_t> block(frameWords, 0x12345678);
        while (!stop && ::write(fd.get(), block.data(), frameWords * 4) == frameWords * 4)
            writes++;
    });
    std::vector<uint32_t> previous;
    int lost = 0;
    for (int n = 0; n < blocks; n++) {
        std::vector<uint32_t> block = readBlock(fd.get());
        if (!loopbackMode() && !previous.empty() && block.front() != previous.back() + 1)
            lost++;
        previous = block;
    }
    double elapsed = now() - start;
    long after = pcmlinkInterrupts();
    stop = true;
    writer.join();
    EXPECT_EQ(lost, 0);
    EXPECT_NEAR(elapsed, 10.0, 0.05);
    // Both directions, one interrupt per block each.
    EXPECT_NEAR(after - before, 2 * blocks, 2);
    EXPECT_NEAR(writes.load(), blocks, 2);
}

} // namespace
