// Supervisor: what gwlinkd's main thread does once the gateway is built. Every
// 20 ms it advances the status LED blink and, for the GM360, watches the
// head's interrupt line.
#pragma once

#include <cstdint>
#include <functional>

class Gpio;

class Supervisor
{
  public:
    // Notifies the GM360 front relay that the head's interrupt line is held.
    using FrontIrq = std::function<void(int)>;

    static constexpr uint32_t bit_led = 0x4000;
    static constexpr uint32_t bit_front_irq = 0x800;
    static constexpr unsigned pass_us = 20000;

    // `gpio` is borrowed; `front_irq` may be empty.
    Supervisor(Gpio *gpio, int radio_type, FrontIrq front_irq);

    // One pass of the loop, without its sleep.
    void pass();
    // pass() every 20 ms, forever.
    [[noreturn]] void run();

    // Called after every pass of run(), on the loop's thread.
    void set_after_pass(std::function<void()> after_pass);

  private:
    Gpio *gpio_;
    int radio_type_;
    FrontIrq front_irq_;
    std::function<void()> after_pass_;
    uint32_t elapsed_us_ = 0;
    bool led_on_ = false;
    bool irq_seen_ = false;
};
