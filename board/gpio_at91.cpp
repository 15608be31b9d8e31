#include "board/gpio_at91.h"

#include "interfaces/control.h"
#include "status/live_status.h"

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <sys/mman.h>
#include <system_error>
#include <unistd.h>

namespace
{

const char device_path[] = "/dev/uio0";
constexpr auto poll_period = std::chrono::microseconds(25000);

} // namespace

GpioAT91::Device::~Device()
{
    if (fd >= 0)
        ::close(fd);
}

GpioAT91::Window::~Window()
{
    if (addr != nullptr)
        ::munmap(addr, at91_pio::window_size);
}

GpioAT91::GpioAT91(class_control *listener) : listener_(listener)
{
    ready = 0;
    device_.fd = ::open(device_path, O_RDWR | O_CLOEXEC);
    if (device_.fd < 0)
        return;
    void *addr = ::mmap(nullptr, at91_pio::window_size, PROT_READ | PROT_WRITE, MAP_SHARED, device_.fd, 0);
    if (addr == MAP_FAILED) {
        ::close(device_.fd);
        device_.fd = -1;
        return;
    }
    window_.addr = addr;
    regs_ = GpioAT91Registers(static_cast<uint8_t *>(addr));
    ready = 1;
}

GpioAT91::~GpioAT91()
{
    stop_polling();
}

void GpioAT91::stop_polling()
{
    if (!poll_thread_.joinable())
        return;
    {
        // Once the callback lock is ours no report is in progress, and the
        // flag keeps a new one from starting.
        std::lock_guard<std::mutex> cb(cb_lock_);
        std::lock_guard<std::mutex> lock(stop_lock_);
        stop_ = true;
    }
    stop_wake_.notify_all();
    poll_thread_.join();
}

int GpioAT91::start(uint32_t direction, uint32_t values)
{
    if (!ready)
        return -1;
    if (set_bits(values) < 0)
        return -1;
    if (clear_bits(~values) < 0)
        return -1;
    // Levels are latched before the pins turn into outputs.
    if (set_direction(direction) < 0)
        return -1;
    if (poll_thread_.joinable())
        return 0; // already polling: one thread per object
    try {
        poll_thread_ = std::thread([this] { poll_loop(); });
    } catch (const std::system_error &) {
        return -1;
    }
    return 0;
}

int GpioAT91::set_bits(uint32_t mask)
{
    if (!ready)
        return -1;
    std::lock_guard<std::mutex> lock(reg_lock_);
    regs_.write(at91_pio::PIO_SODR, mask);
    return 0;
}

int GpioAT91::clear_bits(uint32_t mask)
{
    if (!ready)
        return -1;
    std::lock_guard<std::mutex> lock(reg_lock_);
    regs_.write(at91_pio::PIO_CODR, mask);
    return 0;
}

int GpioAT91::read_bits(uint32_t *bitmap)
{
    if (bitmap == nullptr)
        return -1;
    if (!ready) {
        *bitmap = 0;
        return -1;
    }
    std::lock_guard<std::mutex> lock(reg_lock_);
    *bitmap = regs_.read_levels();
    return 0;
}

int GpioAT91::set_direction(uint32_t mask)
{
    if (!ready)
        return -1;
    std::lock_guard<std::mutex> lock(reg_lock_);
    direction_ = mask;
    regs_.write(at91_pio::PIO_PER, 0xFFFFFFFFu);
    regs_.write(at91_pio::PIO_OER, mask);
    regs_.write(at91_pio::PIO_ODR, ~mask);
    return 0;
}

int GpioAT91::get_direction(uint32_t *mask)
{
    if (mask == nullptr)
        return -1;
    std::lock_guard<std::mutex> lock(reg_lock_);
    *mask = direction_;
    return ready ? 0 : -1;
}

void GpioAT91::poll_loop()
{
    uint32_t previous = 0;
    bool baseline = false;
    std::unique_lock<std::mutex> wait_lock(stop_lock_);
    while (!stop_) {
        wait_lock.unlock();
        uint32_t now = 0;
        read_bits(&now);
        gw_status::put(gw_status::live().gpio, now);
        if (now != previous) {
            // The first reading that differs from 0 is the baseline, not a change.
            if (baseline) {
                std::lock_guard<std::mutex> cb(cb_lock_);
                if (listener_ != nullptr && !stop_)
                    listener_->cb_gpio_changed(now, previous ^ now);
            }
            previous = now;
            baseline = true;
        }
        wait_lock.lock();
        stop_wake_.wait_for(wait_lock, poll_period, [this] { return stop_.load(); });
    }
}
