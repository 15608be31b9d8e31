#include "board/gpio_at91_registers.h"

volatile uint32_t *GpioAT91Registers::reg_ptr(size_t port, at91_pio::reg r)
{
    // A device register, not a data buffer: one aligned 32-bit access each.
    return reinterpret_cast<volatile uint32_t *>(window_ + at91_pio::port_offset[port] + r);
}

void GpioAT91Registers::write(at91_pio::reg r, uint32_t mask)
{
    const at91_pio::PortWords words = at91_pio::port_words(mask);
    for (size_t port = 0; port < at91_pio::port_count; ++port) {
        if (words.port[port] != 0)
            *reg_ptr(port, r) = words.port[port];
    }
}

uint32_t GpioAT91Registers::read_levels()
{
    uint32_t levels[at91_pio::port_count];
    for (size_t port = 0; port < at91_pio::port_count; ++port)
        levels[port] = *reg_ptr(port, at91_pio::PIO_PDSR);
    return at91_pio::logical_word(levels);
}
