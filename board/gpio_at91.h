// GpioAT91: the board's GPIO lines through the AT91SAM9260 PIO registers,
// mapped from "/dev/uio0". A poll thread reads the lines every 25 ms and
// reports each change of the logical word to a listener.
#pragma once

#include "board/gpio.h"
#include "board/gpio_at91_registers.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

class class_control;

class GpioAT91 : public Gpio
{
  public:
    // The listener (not owned, may be null) gets cb_gpio_changed on the poll
    // thread. Stays not ready when "/dev/uio0" cannot be opened or mapped.
    explicit GpioAT91(class_control *listener);
    // Stops and joins the poll thread; no report runs or starts afterwards.
    ~GpioAT91() override;

    int start(uint32_t direction, uint32_t values) override;
    int set_bits(uint32_t mask) override;
    int clear_bits(uint32_t mask) override;
    int read_bits(uint32_t *bitmap) override;
    int set_direction(uint32_t mask) override;
    int get_direction(uint32_t *mask) override;
    void poll_loop() override;

  private:
    // Owners of the device descriptor and of the register window.
    struct Device {
        int fd = -1;
        ~Device();
    };
    struct Window {
        void *addr = nullptr;
        ~Window();
    };

    void stop_polling();

    class_control *listener_;
    std::thread poll_thread_;
    std::mutex reg_lock_;
    // Held around each report, so that stopping never cuts one in half.
    std::mutex cb_lock_;
    Window window_;
    Device device_;
    GpioAT91Registers regs_{nullptr};
    uint32_t direction_ = 0;

    std::mutex stop_lock_;
    std::condition_variable stop_wake_;
    std::atomic<bool> stop_{false};
};
