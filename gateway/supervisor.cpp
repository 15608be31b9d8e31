#include "gateway/supervisor.h"

#include "board/gpio.h"
#include "gateway/config_record.h"

#include <unistd.h>
#include <utility>

namespace
{

// The LED changes state on the pass after this many microseconds have been
// counted, so every 26th pass (about 0.52 s).
constexpr uint32_t led_period_us = 499999;

} // namespace

Supervisor::Supervisor(Gpio *gpio, int radio_type, FrontIrq front_irq)
    : gpio_(gpio), radio_type_(radio_type), front_irq_(std::move(front_irq))
{
}

void Supervisor::pass()
{
    if (radio_type_ == config_format::radio_gm360) {
        uint32_t bits = 0;
        gpio_->read_bits(&bits);
        const bool held = (bits & bit_front_irq) != 0;
        // A line seen on two passes in a row is a request from the head.
        if (held && irq_seen_ && front_irq_)
            front_irq_(1);
        irq_seen_ = held;
    }

    if (elapsed_us_ > led_period_us) {
        if (led_on_)
            gpio_->clear_bits(bit_led);
        else
            gpio_->set_bits(bit_led);
        led_on_ = !led_on_;
        elapsed_us_ = 0;
    } else {
        elapsed_us_ += pass_us;
    }
}

void Supervisor::set_after_pass(std::function<void()> after_pass)
{
    after_pass_ = std::move(after_pass);
}

void Supervisor::run()
{
    for (;;) {
        pass();
        if (after_pass_)
            after_pass_();
        ::usleep(pass_us);
    }
}
