// The fixed map from logical GPIO bits to AT91SAM9260 PIO pins, and the PIO
// register window. The map is part of the external interface: the same
// logical words travel to and from the server.
#pragma once

#include <cstddef>
#include <cstdint>

// One entry per logical bit: the port letter ('A', 'B', 'C', or '?' for no
// pin) and the pin number within the port.
struct GpioPin {
    char port;
    uint8_t pin;
};

constexpr size_t gpio_bits = 32;
extern const GpioPin gpio_pin_table[gpio_bits];

namespace at91_pio
{

// The window starts at the peripheral base 0xFFFA0000.
constexpr size_t window_size = 0x5FD60;
constexpr size_t port_count = 3;
// Offsets of the PIOA, PIOB and PIOC blocks within the window.
constexpr size_t port_offset[port_count] = {0x5F400, 0x5F600, 0x5F800};

// Registers within a PIO block.
enum reg : size_t {
    PIO_PER = 0x00,  // hand the pins to the PIO controller
    PIO_OER = 0x10,  // make output
    PIO_ODR = 0x14,  // make input
    PIO_SODR = 0x30, // drive high
    PIO_CODR = 0x34, // drive low
    PIO_PDSR = 0x3C, // pin levels, read-only
};

// Per-port pin words (A, B, C) for the logical bits set in `mask`.
struct PortWords {
    uint32_t port[port_count];
};
PortWords port_words(uint32_t mask);

// The logical word for the given port levels: bit i is set exactly when the
// pin of entry i is high; bits without a pin are 0.
uint32_t logical_word(const uint32_t levels[port_count]);

} // namespace at91_pio
