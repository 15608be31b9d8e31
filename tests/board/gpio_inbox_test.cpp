// GpioAT91 on the box's "/dev/uio0": registers as the box's PIO model sees
// them, change reports to a listener, and a clean stop. The whole program runs
// inside a box.
#include "board/gpio_at91.h"
#include "sim/box_client.h"

#include "control_stub.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <mutex>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

namespace
{

using ms = std::chrono::milliseconds;
constexpr ms patience(10000);

// Every mapped logical bit (bits 1 to 24).
constexpr uint32_t mapped = 0x01FFFFFEu;
constexpr uint32_t start_direction = 0x0011C1FE;
constexpr uint32_t start_values = 0xFFFE7F67;
// An input nobody else uses, toggled to synchronise with a poll thread.
constexpr uint32_t spare = 0x400;
// What the lines read after start with every input high.
constexpr uint32_t settled = (start_values & start_direction) | (mapped & ~start_direction);

// The test's own view of the register window, to see when the box's pin
// model has taken the writes.
class RegisterView
{
  public:
    RegisterView()
    {
        fd_ = ::open("/dev/uio0", O_RDWR | O_CLOEXEC);
        if (fd_ < 0)
            return;
        void *p = ::mmap(nullptr, at91_pio::window_size, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0);
        if (p != MAP_FAILED)
            base_ = static_cast<uint8_t *>(p);
    }
    ~RegisterView()
    {
        if (base_ != nullptr)
            ::munmap(base_, at91_pio::window_size);
        if (fd_ >= 0)
            ::close(fd_);
    }
    bool ok() const { return base_ != nullptr; }
    uint32_t reg(size_t port, at91_pio::reg r) const
    {
        return __atomic_load_n(reinterpret_cast<uint32_t *>(base_ + at91_pio::port_offset[port] + r),
                               __ATOMIC_ACQUIRE);
    }

  private:
    int fd_ = -1;
    uint8_t *base_ = nullptr;
};

struct Report {
    uint32_t bitmap, mask;
};

class RecordingListener : public ControlStub
{
  public:
    void cb_gpio_changed(uint32_t bitmap, uint32_t mask) override
    {
        std::lock_guard<std::mutex> lock(lock_);
        reports_.push_back({bitmap, mask});
        cv_.notify_all();
    }

    // Waits until at least `n` reports arrived; false on time-out.
    bool wait_reports(size_t n)
    {
        std::unique_lock<std::mutex> lock(lock_);
        return cv_.wait_for(lock, patience, [&] { return reports_.size() >= n; });
    }

    // Waits until the newest report shows bit `bit` at `high`.
    bool wait_last(uint32_t bit, bool high, ms timeout)
    {
        std::unique_lock<std::mutex> lock(lock_);
        return cv_.wait_for(lock, timeout, [&] {
            return !reports_.empty() && ((reports_.back().bitmap & bit) != 0) == high;
        });
    }

    std::vector<Report> reports()
    {
        std::lock_guard<std::mutex> lock(lock_);
        return reports_;
    }

  private:
    std::mutex lock_;
    std::condition_variable cv_;
    std::vector<Report> reports_;
};

class GpioInBox : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        if (std::getenv("BOARDBOX_CONTROL") == nullptr)
            GTEST_SKIP() << "runs only inside boardbox";
        ASSERT_EQ(box.connect_inside(), 0);
        ASSERT_TRUE(window_.ok());
        ASSERT_EQ(box.set_inputs(0, mapped), 0);
        latch_board();
    }

    // Brings the lines to their start levels with an object of its own, so
    // that the objects under test start from a settled board.
    void latch_board()
    {
        GpioAT91 gpio(nullptr);
        ASSERT_EQ(gpio.start(start_direction, start_values), 0);
        ASSERT_TRUE(wait_writes_taken());
        ASSERT_TRUE(wait_outputs(mapped, start_values & start_direction));
        uint32_t bits = 0;
        auto until = std::chrono::steady_clock::now() + patience;
        do {
            ASSERT_EQ(gpio.read_bits(&bits), 0);
        } while (bits != settled && std::chrono::steady_clock::now() < until);
        ASSERT_EQ(bits, settled);
    }

    // The poll thread takes its baseline at some moment after start. Toggle a
    // spare input until a report shows its current level: from then on every
    // change is reported. Returns the input's final level.
    bool sync_reports(RecordingListener &listener, bool &high)
    {
        high = true;
        for (int i = 0; i < 100; ++i) {
            high = !high;
            if (box.set_inputs(high ? 0 : spare, high ? spare : 0) != 0)
                return false;
            if (listener.wait_last(spare, high, ms(200)))
                return true;
        }
        return false;
    }

    // Waits until the box's pin model has taken every register write (it
    // clears each write register when it applies it), so that later writes
    // are applied in their own poll and in program order.
    bool wait_writes_taken()
    {
        auto until = std::chrono::steady_clock::now() + patience;
        while (std::chrono::steady_clock::now() < until) {
            bool pending = false;
            for (size_t port = 0; port < at91_pio::port_count; ++port) {
                for (at91_pio::reg r : {at91_pio::PIO_PER, at91_pio::PIO_OER, at91_pio::PIO_ODR,
                                        at91_pio::PIO_SODR, at91_pio::PIO_CODR}) {
                    pending |= window_.reg(port, r) != 0;
                }
            }
            if (!pending)
                return true;
        }
        return false;
    }

    // Waits until the box's pin model shows `want` on the bits of `mask`.
    bool wait_outputs(uint32_t mask, uint32_t want)
    {
        auto until = std::chrono::steady_clock::now() + patience;
        while (std::chrono::steady_clock::now() < until) {
            boardbox::GpioState s;
            if (box.read_gpio(s) == 0 && (s.outputs & mask) == want)
                return true;
        }
        return false;
    }

    boardbox::Client box;
    RegisterView window_;
};

} // namespace

TEST_F(GpioInBox, MissingDeviceLeavesTheObjectNotReadyAndHarmless)
{
    ASSERT_EQ(std::rename("/dev/uio0", "/dev/uio0.away"), 0);
    {
        RecordingListener listener;
        GpioAT91 gpio(&listener);
        EXPECT_EQ(gpio.is_ready(), 0);
        EXPECT_EQ(gpio.start(start_direction, start_values), -1);
        EXPECT_EQ(gpio.set_bits(0x4000), -1);
        EXPECT_EQ(gpio.clear_bits(0x4000), -1);
        EXPECT_EQ(gpio.set_direction(0x4000), -1);
        uint32_t bits = 0xFFFFFFFFu;
        EXPECT_EQ(gpio.read_bits(&bits), -1);
        EXPECT_EQ(bits, 0u);
        EXPECT_TRUE(listener.reports().empty());
    }
    ASSERT_EQ(std::rename("/dev/uio0.away", "/dev/uio0"), 0);
    GpioAT91 gpio(nullptr);
    EXPECT_NE(gpio.is_ready(), 0);
}

TEST_F(GpioInBox, StartLatchesLevelsAndDirections)
{
    GpioAT91 gpio(nullptr);
    ASSERT_NE(gpio.is_ready(), 0);
    ASSERT_EQ(gpio.start(start_direction, start_values), 0);
    EXPECT_TRUE(wait_outputs(start_direction, start_values & start_direction));
    boardbox::GpioState s;
    ASSERT_EQ(box.read_gpio(s), 0);
    EXPECT_EQ(s.directions & mapped, start_direction);
    uint32_t dir = 0;
    EXPECT_EQ(gpio.get_direction(&dir), 0);
    EXPECT_EQ(dir, start_direction);
}

TEST_F(GpioInBox, SetAndClearDriveOnlyTheirLines)
{
    GpioAT91 gpio(nullptr);
    ASSERT_EQ(gpio.start(start_direction, start_values), 0);
    ASSERT_TRUE(wait_writes_taken());
    ASSERT_TRUE(wait_outputs(0xC000, 0x4000));
    EXPECT_EQ(gpio.set_bits(0x8000), 0);
    EXPECT_TRUE(wait_outputs(0xC000, 0xC000));
    EXPECT_EQ(gpio.clear_bits(0x4000), 0);
    EXPECT_TRUE(wait_outputs(0xC000, 0x8000));
    ASSERT_TRUE(wait_writes_taken());
    // Bits without a pin write no register at all.
    EXPECT_EQ(gpio.set_bits(0xFE000001u), 0);
    EXPECT_EQ(gpio.clear_bits(0xFE000001u), 0);
    EXPECT_EQ(gpio.set_bits(0), 0);
    for (size_t port = 0; port < at91_pio::port_count; ++port) {
        EXPECT_EQ(window_.reg(port, at91_pio::PIO_SODR), 0u);
        EXPECT_EQ(window_.reg(port, at91_pio::PIO_CODR), 0u);
    }
    uint32_t bits = 0;
    ASSERT_EQ(gpio.read_bits(&bits), 0);
    EXPECT_EQ(bits & 0xFE000001u, 0u);
    EXPECT_EQ(bits & 0xC000u, 0x8000u);
}

TEST_F(GpioInBox, DirectionZeroMakesEveryLineAnInput)
{
    GpioAT91 gpio(nullptr);
    ASSERT_EQ(gpio.start(start_direction, start_values), 0);
    ASSERT_EQ(gpio.set_direction(0), 0);
    auto until = std::chrono::steady_clock::now() + patience;
    boardbox::GpioState s;
    do {
        ASSERT_EQ(box.read_gpio(s), 0);
    } while ((s.directions & mapped) != 0 && std::chrono::steady_clock::now() < until);
    EXPECT_EQ(s.directions & mapped, 0u);
    uint32_t dir = 1;
    EXPECT_EQ(gpio.get_direction(&dir), 0);
    EXPECT_EQ(dir, 0u);
}

TEST_F(GpioInBox, InputLevelsReadAsLogicalBits)
{
    GpioAT91 gpio(nullptr);
    ASSERT_EQ(gpio.start(start_direction, start_values), 0);
    ASSERT_EQ(box.set_inputs(0x2000 | 0x800, 0), 0);
    uint32_t bits = 0;
    auto until = std::chrono::steady_clock::now() + patience;
    do {
        ASSERT_EQ(gpio.read_bits(&bits), 0);
    } while ((bits & 0x2800) != 0 && std::chrono::steady_clock::now() < until);
    EXPECT_EQ(bits & 0x2800u, 0u);
    EXPECT_EQ(bits & 0x1000u, 0x1000u);
}

TEST_F(GpioInBox, EachChangeIsReportedOnceWithItsMask)
{
    RecordingListener listener;
    GpioAT91 gpio(&listener);
    ASSERT_EQ(gpio.start(start_direction, start_values), 0);
    bool spare_high = true;
    ASSERT_TRUE(sync_reports(listener, spare_high));
    // The first reading (non-zero) was only the baseline: had it been
    // reported, its mask would hold every high line.
    std::vector<Report> early = listener.reports();
    for (const Report &r : early)
        EXPECT_EQ(r.mask, spare);
    const size_t n = early.size();

    ASSERT_EQ(box.set_inputs(0x1000, 0), 0);
    ASSERT_TRUE(listener.wait_reports(n + 1));
    ASSERT_EQ(box.set_inputs(0, 0x1000), 0);
    ASSERT_TRUE(listener.wait_reports(n + 2));
    ASSERT_EQ(gpio.clear_bits(0x4000), 0);
    ASSERT_TRUE(listener.wait_reports(n + 3));
    // A last change proves that nothing else was queued behind the three.
    ASSERT_EQ(box.set_inputs(0x200, 0), 0);
    ASSERT_TRUE(listener.wait_reports(n + 4));

    std::vector<Report> r = listener.reports();
    ASSERT_EQ(r.size(), n + 4);
    EXPECT_EQ(r[n].mask, 0x1000u);
    EXPECT_EQ(r[n].bitmap & 0x1000u, 0u);
    EXPECT_EQ(r[n + 1].mask, 0x1000u);
    EXPECT_EQ(r[n + 1].bitmap, r[n].bitmap | 0x1000u);
    EXPECT_EQ(r[n + 2].mask, 0x4000u) << "an output toggle is reported too";
    EXPECT_EQ(r[n + 2].bitmap, r[n + 1].bitmap & ~0x4000u);
    EXPECT_EQ(r[n + 3].mask, 0x200u);
    EXPECT_EQ(r[n + 3].bitmap, r[n + 2].bitmap & ~0x200u);
}

TEST_F(GpioInBox, NothingIsReportedAfterDestruction)
{
    RecordingListener gone;
    bool spare_high = true;
    {
        GpioAT91 gpio(&gone);
        ASSERT_EQ(gpio.start(start_direction, start_values), 0);
        ASSERT_TRUE(sync_reports(gone, spare_high));
    }
    const size_t before = gone.reports().size();

    // A second object sees the next changes; the destroyed one must not.
    RecordingListener witness;
    GpioAT91 gpio(&witness);
    ASSERT_EQ(gpio.start(start_direction, start_values), 0);
    ASSERT_TRUE(sync_reports(witness, spare_high));
    const size_t seen = witness.reports().size();
    ASSERT_EQ(box.set_inputs(0x1000, 0), 0);
    ASSERT_TRUE(witness.wait_reports(seen + 1));
    ASSERT_EQ(box.set_inputs(0, 0x1000), 0);
    ASSERT_TRUE(witness.wait_reports(seen + 2));
    EXPECT_EQ(gone.reports().size(), before);
}

TEST_F(GpioInBox, NullListenerPollsAndStopsCleanly)
{
    for (int i = 0; i < 20; ++i) {
        GpioAT91 gpio(nullptr);
        ASSERT_EQ(gpio.start(start_direction, start_values), 0);
        ASSERT_EQ(gpio.set_bits(0x8000), 0);
        ASSERT_EQ(gpio.clear_bits(0x8000), 0);
    }
}

TEST_F(GpioInBox, DestroyingWithoutStartNeedsNoThread)
{
    GpioAT91 gpio(nullptr);
    EXPECT_NE(gpio.is_ready(), 0);
}
