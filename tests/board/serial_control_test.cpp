// SerialControl and Rs232 against a pseudo-terminal: the class takes its device
// path, so a pty slave stands in for the UART.
#include "board/serial_control.h"
#include "tests/board/control_stub.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace
{

using namespace std::chrono_literals;

struct Pty {
    int master = -1;
    int slave = -1;
    std::string path;
    Pty()
    {
        char name[64];
        if (::openpty(&master, &slave, name, nullptr, nullptr) == 0)
            path = name;
    }
    ~Pty()
    {
        if (master >= 0)
            ::close(master);
        if (slave >= 0)
            ::close(slave);
    }
    // Bytes the product wrote, waiting at most 5 s for `want` of them.
    std::vector<uint8_t> read_master(size_t want)
    {
        std::vector<uint8_t> out;
        auto deadline = std::chrono::steady_clock::now() + 5s;
        while (out.size() < want && std::chrono::steady_clock::now() < deadline) {
            struct pollfd p = {master, POLLIN, 0};
            if (::poll(&p, 1, 100) == 1) {
                uint8_t buf[256];
                ssize_t n = ::read(master, buf, sizeof buf);
                if (n > 0)
                    out.insert(out.end(), buf, buf + n);
            }
        }
        return out;
    }
};

class Recorder : public ControlStub
{
  public:
    void cb_serialread(int id, const uint8_t *data, uint16_t len) override
    {
        std::lock_guard<std::mutex> lock(m);
        ids.push_back(id);
        bytes.insert(bytes.end(), data, data + len);
        if (echo_port)
            echo_port->write(data, len);
        cv.notify_all();
    }
    bool wait_bytes(size_t n)
    {
        std::unique_lock<std::mutex> lock(m);
        return cv.wait_for(lock, 5s, [&] { return bytes.size() >= n; });
    }
    std::mutex m;
    std::condition_variable cv;
    std::vector<int> ids;
    std::vector<uint8_t> bytes;
    SerialControl *echo_port = nullptr;
};

const SerialSettings kGm360{9600, 'n', 1};

TEST(SerialSpeedTable, AcceptsExactlyTheStandardRates)
{
    const uint32_t good[] = {0,       50,      75,      110,     134,     150,     200,    300,
                             600,     1200,    1800,    2400,    4800,    9600,    19200,  38400,
                             57600,   115200,  230400,  460800,  500000,  576000,  921600, 1000000,
                             1152000, 1500000, 2000000, 2500000, 3000000, 3500000, 4000000};
    for (uint32_t b : good) {
        speed_t s;
        EXPECT_TRUE(serial_speed_for_baud(b, &s)) << b;
    }
    speed_t s;
    EXPECT_TRUE(serial_speed_for_baud(9600, &s));
    EXPECT_EQ(s, static_cast<speed_t>(B9600));
    for (uint32_t b : {1u, 9601u, 14400u, 28800u, 4000001u, 0xFFFFFFFFu})
        EXPECT_FALSE(serial_speed_for_baud(b, &s)) << b;
}

TEST(SerialTermios, ParityAndStopBitsAreApplied)
{
    struct termios tio;
    std::memset(&tio, 0, sizeof tio);
    ASSERT_TRUE(serial_make_termios(&tio, 115200, 'e', 1));
    EXPECT_TRUE(tio.c_cflag & PARENB);
    EXPECT_FALSE(tio.c_cflag & PARODD);
    EXPECT_FALSE(tio.c_cflag & CSTOPB);
    EXPECT_EQ(::cfgetospeed(&tio), static_cast<speed_t>(B115200));
    EXPECT_EQ(::cfgetispeed(&tio), static_cast<speed_t>(B115200));
    ASSERT_TRUE(serial_make_termios(&tio, 3000000, 'o', 2));
    EXPECT_TRUE(tio.c_cflag & PARENB);
    EXPECT_TRUE(tio.c_cflag & PARODD);
    EXPECT_TRUE(tio.c_cflag & CSTOPB);
    ASSERT_TRUE(serial_make_termios(&tio, 9600, 'n', 1));
    EXPECT_FALSE(tio.c_cflag & (PARENB | PARODD | CSTOPB));
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_FALSE(serial_make_termios(&tio, 9601, 'n', 1));
}

TEST(SerialControlOpen, NotSetBaudOpensNothing)
{
    Pty pty;
    SerialControl sc(nullptr, 0, pty.path.c_str());
    SerialSettings s{SERIAL_BAUD_NOT_SET, 'n', 1};
    EXPECT_EQ(sc.open(&s), 0);
    EXPECT_EQ(sc.is_open(), 0u);
    EXPECT_EQ(sc.is_valid(), 1u);
}

TEST(SerialControlOpen, BaudZeroBeforeAnyOpenDoesNothing)
{
    Pty pty;
    SerialControl sc(nullptr, 0, pty.path.c_str());
    SerialSettings s{0, 'n', 1};
    EXPECT_EQ(sc.open(&s), 0);
    EXPECT_EQ(sc.is_open(), 0u);
}

TEST(SerialControlOpen, RejectsBadParityStopBitsAndRate)
{
    Pty pty;
    SerialControl sc(nullptr, 0, pty.path.c_str());
    SerialSettings parity{9600, 'x', 1};
    EXPECT_EQ(sc.open(&parity), -1);
    EXPECT_EQ(sc.is_open(), 0u);
    SerialSettings stop{9600, 'n', 3};
    EXPECT_EQ(sc.open(&stop), -1);
    SerialSettings rate{9601, 'n', 1};
    EXPECT_EQ(sc.open(&rate), -1);
    EXPECT_EQ(sc.is_open(), 0u);
}

TEST(SerialControlOpen, MissingDeviceFails)
{
    SerialControl sc(nullptr, 0, "/nonexistent/ttyS1");
    EXPECT_EQ(sc.open(&kGm360), -1);
    EXPECT_EQ(sc.is_open(), 0u);
}

// A pty keeps no parity setting (the C library then reports the attributes as
// not applied), so parity is checked only through the termios record it builds.
TEST(SerialControlOpen, AppliesRawModeSpeedAndStopBits)
{
    Pty pty;
    SerialControl sc(nullptr, 0, pty.path.c_str());
    SerialSettings s{115200, 'n', 2};
    ASSERT_EQ(sc.open(&s), 0);
    EXPECT_EQ(sc.is_open(), 1u);
    struct termios tio;
    ASSERT_EQ(::tcgetattr(pty.slave, &tio), 0);
    EXPECT_EQ(::cfgetospeed(&tio), static_cast<speed_t>(B115200));
    EXPECT_TRUE(tio.c_cflag & CSTOPB);
    EXPECT_FALSE(tio.c_cflag & PARENB);
    EXPECT_FALSE(tio.c_lflag & ICANON);
    EXPECT_FALSE(tio.c_lflag & ECHO);
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));

    SerialSettings one{9600, 'n', 1};
    ASSERT_EQ(sc.open(&one), 0);
    ASSERT_EQ(::tcgetattr(pty.slave, &tio), 0);
    EXPECT_FALSE(tio.c_cflag & CSTOPB);
    EXPECT_EQ(::cfgetospeed(&tio), static_cast<speed_t>(B9600));
}

TEST(SerialControlOpen, BaudZeroReopensWithStoredSettings)
{
    Pty pty;
    SerialControl sc(nullptr, 0, pty.path.c_str());
    SerialSettings s{57600, 'n', 2};
    ASSERT_EQ(sc.open(&s), 0);
    SerialSettings again{0, 'x', 9};
    ASSERT_EQ(sc.open(&again), 0);
    SerialSettings got;
    ASSERT_EQ(sc.get_settings(&got), 0);
    EXPECT_EQ(got.baud, 57600u);
    EXPECT_EQ(got.parity, 'n');
    EXPECT_EQ(got.stop_bits, 2);
    struct termios tio;
    ASSERT_EQ(::tcgetattr(pty.slave, &tio), 0);
    EXPECT_EQ(::cfgetospeed(&tio), static_cast<speed_t>(B57600));
}

TEST(SerialControlSettings, ClosedObjectReportsNotSet)
{
    SerialControl sc(nullptr, 0, "/dev/null");
    SerialSettings got{1, 'n', 1};
    EXPECT_EQ(sc.get_settings(&got), -1);
    EXPECT_EQ(got.baud, SERIAL_BAUD_NOT_SET);
    EXPECT_EQ(got.parity, 0);
    EXPECT_EQ(got.stop_bits, 0);
}

TEST(SerialControlSettings, LongPathIsCutTo31Characters)
{
    std::string path(40, 'a');
    SerialControl sc(nullptr, 3, path.c_str());
    EXPECT_EQ(std::string(sc.device_path()), path.substr(0, 31));
    EXPECT_EQ(sc.get_id(), 3);
}

TEST(SerialControlClosed, WriteDrainAndCloseFail)
{
    SerialControl sc(nullptr, 0, "/dev/null");
    const uint8_t b[1] = {0x50};
    EXPECT_EQ(sc.write(b, 1), -1);
    EXPECT_EQ(sc.drain(), -1);
    EXPECT_EQ(sc.close(), -1);
    EXPECT_EQ(sc.stop(), -1);
}

TEST(SerialControlSetTimeoutReset, BeforeAnyPortEndsTheProcess)
{
    EXPECT_EXIT(
        {
            SerialControl sc(nullptr, 0, "/dev/null");
            sc.SetTimeoutReset(0);
        },
        testing::ExitedWithCode(255), "");
}

TEST(SerialControlSetTimeoutReset, ReachesAPortThatFailedToOpen)
{
    SerialControl sc(nullptr, 0, "/nonexistent/ttyS1");
    EXPECT_EQ(sc.open(&kGm360), -1);
    testing::internal::CaptureStdout();
    sc.SetTimeoutReset(0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "serial: SetTimeoutReset(0)\n");
}

TEST(SerialControlReader, DeliversChunksWithTheSerialId)
{
    Pty pty;
    Recorder rec;
    SerialControl sc(&rec, 5, pty.path.c_str());
    ASSERT_EQ(sc.open(&kGm360), 0);
    sc.SetTimeoutReset(0);
    const uint8_t frame[] = {0xF2, 0x31, 0x00, 0xDC};
    ASSERT_EQ(::write(pty.master, frame, sizeof frame), 4);
    ASSERT_TRUE(rec.wait_bytes(4));
    std::lock_guard<std::mutex> lock(rec.m);
    EXPECT_EQ(rec.bytes, std::vector<uint8_t>(frame, frame + 4));
    for (int id : rec.ids)
        EXPECT_EQ(id, 5);
}

TEST(SerialControlReader, WritesReachTheLineAndDrain)
{
    Pty pty;
    SerialControl sc(nullptr, 0, pty.path.c_str());
    ASSERT_EQ(sc.open(&kGm360), 0);
    const uint8_t poll[] = {0xF2, 0x36, 0x00, 0xD7};
    EXPECT_EQ(sc.write(poll, 4), 4);
    EXPECT_EQ(sc.drain(), 0);
    EXPECT_EQ(pty.read_master(4), std::vector<uint8_t>(poll, poll + 4));
}

TEST(SerialControlReader, ListenerMayWriteFromInsideTheDelivery)
{
    Pty pty;
    Recorder rec;
    SerialControl sc(&rec, 0, pty.path.c_str());
    rec.echo_port = &sc;
    ASSERT_EQ(sc.open(&kGm360), 0);
    sc.SetTimeoutReset(0);
    const uint8_t b[] = {1, 2, 3};
    ASSERT_EQ(::write(pty.master, b, 3), 3);
    EXPECT_EQ(pty.read_master(3), std::vector<uint8_t>(b, b + 3));
}

TEST(SerialControlReader, CloseStopsTheBlockedReader)
{
    Pty pty;
    Recorder rec;
    SerialControl sc(&rec, 0, pty.path.c_str());
    ASSERT_EQ(sc.open(&kGm360), 0);
    sc.SetTimeoutReset(0);
    EXPECT_EQ(sc.close(), 0);
    EXPECT_EQ(sc.is_open(), 0u);
    const uint8_t b[] = {9};
    ASSERT_EQ(::write(pty.master, b, 1), 1);
    EXPECT_EQ(sc.close(), -1);
    // Re-opening picks the byte up with a fresh reader.
    SerialSettings again{0, 0, 0};
    ASSERT_EQ(sc.open(&again), 0);
    EXPECT_TRUE(rec.wait_bytes(1));
}

TEST(SerialControlReader, DestructionWithARunningReaderReturns)
{
    Pty pty;
    Recorder rec;
    {
        SerialControl sc(&rec, 0, pty.path.c_str());
        ASSERT_EQ(sc.open(&kGm360), 0);
    }
    SUCCEED();
}

// The line of "/proc/self/status" that starts with `key`, empty when none.
std::string status_line(const char *key)
{
    FILE *f = std::fopen("/proc/self/status", "r");
    if (!f)
        return {};
    char line[256];
    std::string found;
    while (std::fgets(line, sizeof line, f))
        if (std::strncmp(line, key, std::strlen(key)) == 0) {
            found = line;
            break;
        }
    std::fclose(f);
    return found;
}

// Threads of this process, as the kernel counts them.
int thread_count()
{
    int n = -1;
    return std::sscanf(status_line("Threads:").c_str(), "Threads: %d", &n) == 1 ? n : -1;
}

// The thread count before a test starts its reader. A sanitizer runtime may
// start a thread of its own at the process's first thread creation; one thread
// started and joined here lets that happen before the count is taken.
int threads_at_rest()
{
    std::thread([] {}).join();
    return thread_count();
}

// Under a user-mode emulator (the armel suite runs under qemu-arm) the status
// file describes the emulator, whose own threads come and go: no count then.
bool thread_counts_are_ours()
{
    const std::string name = status_line("Name:");
    return !name.empty() && name.find("qemu-") == std::string::npos;
}

bool thread_count_becomes(int want)
{
    if (!thread_counts_are_ours())
        return true;
    auto deadline = std::chrono::steady_clock::now() + 5s;
    while (thread_count() != want) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

// Closes (and optionally opens again) the port from inside its first delivery.
class Reopener : public Recorder
{
  public:
    void cb_serialread(int id, const uint8_t *data, uint16_t len) override
    {
        Recorder::cb_serialread(id, data, len);
        if (deliveries++ != 0)
            return;
        port->close();
        if (reopen)
            port->open(&kGm360);
        {
            std::lock_guard<std::mutex> lock(m);
            closed = true;
        }
        cv.notify_all();
        // Still inside the delivery while the owner goes on.
        std::this_thread::sleep_for(linger);
        first_delivery_over = true;
    }
    bool wait_closed()
    {
        std::unique_lock<std::mutex> lock(m);
        return cv.wait_for(lock, 5s, [&] { return closed; });
    }
    SerialControl *port = nullptr;
    bool reopen = false;
    std::chrono::milliseconds linger{0};
    std::atomic<int> deliveries{0};
    std::atomic<bool> first_delivery_over{false};
    bool closed = false;
};

TEST(SerialControlReader, ReopenFromInsideTheDeliveryLeavesOneReader)
{
    const int before = threads_at_rest();
    Pty pty;
    Reopener rec;
    rec.reopen = true;
    {
        SerialControl sc(&rec, 0, pty.path.c_str());
        rec.port = &sc;
        ASSERT_EQ(sc.open(&kGm360), 0);
        sc.SetTimeoutReset(0);
        const uint8_t first[] = {1};
        ASSERT_EQ(::write(pty.master, first, 1), 1);
        ASSERT_TRUE(rec.wait_closed());
        EXPECT_TRUE(thread_count_becomes(before + 1)) << "readers: " << thread_count() - before;
        const uint8_t more[] = {2, 3, 4, 5, 6, 7, 8, 9};
        ASSERT_EQ(::write(pty.master, more, sizeof more), 8);
        ASSERT_TRUE(rec.wait_bytes(9));
        EXPECT_EQ(sc.is_open(), 1u);
    }
    EXPECT_TRUE(rec.first_delivery_over) << "the object ended under a running delivery";
    // A joined thread may still be leaving the kernel's (or an emulator's)
    // thread list for a moment.
    EXPECT_TRUE(thread_count_becomes(before)) << "a reader outlived its object";
    std::lock_guard<std::mutex> lock(rec.m);
    EXPECT_EQ(rec.bytes, (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8, 9}));
}

TEST(SerialControlReader, ReaderClosedFromInsideItsDeliveryEndsBeforeTheObject)
{
    const int before = threads_at_rest();
    Pty pty;
    Reopener rec;
    rec.linger = 200ms;
    {
        SerialControl sc(&rec, 0, pty.path.c_str());
        rec.port = &sc;
        ASSERT_EQ(sc.open(&kGm360), 0);
        const uint8_t first[] = {1};
        ASSERT_EQ(::write(pty.master, first, 1), 1);
        ASSERT_TRUE(rec.wait_closed());
        EXPECT_EQ(sc.is_open(), 0u);
    }
    // The destructor waited for the delivery still running.
    EXPECT_TRUE(rec.first_delivery_over) << "the object ended under a running delivery";
    EXPECT_TRUE(thread_count_becomes(before)) << "a reader outlived its object";
}

// drain and the re-open of a silent line both use the descriptor: a drain
// racing re-opens must always reach a live terminal.
TEST(SerialControlReader, DrainDuringReopensAlwaysReachesTheLine)
{
    Pty pty;
    SerialControl sc(nullptr, 0, pty.path.c_str());
    ASSERT_EQ(sc.open(&kGm360), 0);
    // Timeout reset stays on: the silent line is re-opened every 250 ms.
    int failures = 0;
    auto end = std::chrono::steady_clock::now() + 1200ms;
    while (std::chrono::steady_clock::now() < end)
        if (sc.drain() != 0)
            ++failures;
    EXPECT_EQ(failures, 0);
}

TEST(Rs232TimeoutReset, VanishedDeviceIsReportedAfterTheSilenceLimit)
{
    Pty pty;
    char dir[] = "/tmp/rs232-test-XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    std::string link = std::string(dir) + "/ttyS1";
    ASSERT_EQ(::symlink(pty.path.c_str(), link.c_str()), 0);
    Rs232 port(link, 9600, 'n', 1);
    ASSERT_EQ(port.is_open(), 1u);
    EXPECT_EQ(port.timeout_reset(), 1);
    ::unlink(link.c_str());
    ::rmdir(dir);
    testing::internal::CaptureStdout();
    uint8_t buf[16];
    EXPECT_EQ(port.read(buf, sizeof buf), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "serial: read: cannot re-open port!\n");
}

// The device hung up under the reader and came back as a new one (a pty
// whose far end closed; a USB adapter pulled and plugged again): the port is
// re-opened at once, with the silence rule on or off, and the new device's
// data is read. A hung-up descriptor is never silent, so waiting for silence
// would keep the dead one for good.
TEST(Rs232HangUp, AHungUpLineIsReopenedWithOrWithoutTimeoutReset)
{
    for (int reset : {0, 1}) {
        SCOPED_TRACE(reset);
        char dir[] = "/tmp/rs232-test-XXXXXX";
        ASSERT_NE(::mkdtemp(dir), nullptr);
        const std::string link = std::string(dir) + "/ttyS1";
        Pty first;
        ASSERT_EQ(::symlink(first.path.c_str(), link.c_str()), 0);
        Rs232 port(link, 9600, 'n', 1);
        ASSERT_EQ(port.is_open(), 1u);
        port.SetTimeoutReset(reset);
        ::close(first.master);
        first.master = -1;
        // The device comes back with its settings (raw), as a UART keeps them.
        Pty second;
        termios raw;
        ASSERT_EQ(::tcgetattr(second.slave, &raw), 0);
        ::cfmakeraw(&raw);
        ASSERT_EQ(::tcsetattr(second.slave, TCSANOW, &raw), 0);
        ::unlink(link.c_str());
        ASSERT_EQ(::symlink(second.path.c_str(), link.c_str()), 0);
        const uint8_t b[] = {0x51};
        ASSERT_EQ(::write(second.master, b, 1), 1);
        uint8_t buf[16] = {};
        ssize_t n = -1;
        for (int i = 0; i < 5 && n <= 0; ++i)
            n = port.read(buf, sizeof buf);
        EXPECT_EQ(n, 1);
        EXPECT_EQ(buf[0], 0x51);
        ::unlink(link.c_str());
        ::rmdir(dir);
    }
}

TEST(Rs232TimeoutReset, WaitingDataIsReadAtOnce)
{
    Pty pty;
    Rs232 port(pty.path, 9600, 'n', 1);
    ASSERT_EQ(port.is_open(), 1u);
    // Written before the read starts: the first wait sees it at once.
    const uint8_t b[] = {0x50};
    ASSERT_EQ(::write(pty.master, b, 1), 1);
    uint8_t buf[16];
    EXPECT_EQ(port.read(buf, sizeof buf), 1);
    EXPECT_EQ(buf[0], 0x50);
}

TEST(Rs232Settings, InvalidArgumentsLeaveTheDeviceUntouched)
{
    EXPECT_EQ(Rs232("/nonexistent", 9600, 'n', 1).is_open(), 0u);
    EXPECT_EQ(Rs232("/dev/null", 9600, 'x', 1).is_open(), 0u);
    EXPECT_EQ(Rs232("/dev/null", 9600, 'n', 0).is_open(), 0u);
    // /dev/null is no terminal: the attributes cannot be read.
    EXPECT_EQ(Rs232("/dev/null", 9600, 'n', 1).is_open(), 0u);
}

TEST(Rs232Interrupt, WakesABlockedRead)
{
    Pty pty;
    Rs232 port(pty.path, 9600, 'n', 1);
    port.SetTimeoutReset(0);
    std::thread t([&] { port.interrupt(); });
    uint8_t buf[4];
    EXPECT_EQ(port.read(buf, sizeof buf), -1);
    t.join();
}

} // namespace
