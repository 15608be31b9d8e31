// The status LED and the beeper through the AT91 PIO registers mapped from
// "/dev/uio0" (the same window gwlinkd uses). Only PIOB's set and clear
// registers are written; the pins are already outputs on a running board.
#pragma once

#include <cstddef>
#include <cstdint>

#include "board/gpio_pin_table.h"

namespace simple_gpio_at91
{

constexpr size_t window_size = at91_pio::window_size;
constexpr size_t piob = at91_pio::port_offset[1];
constexpr size_t pio_sodr = at91_pio::PIO_SODR;
constexpr size_t pio_codr = at91_pio::PIO_CODR;
constexpr uint32_t pb3_led = 0x8;    // logical GPIO bit 14
constexpr uint32_t pb8_beep = 0x100; // logical GPIO bit 15

// Drives `bits` of PIOB high (on) or low in a mapped window.
void drive(uint8_t *window, uint32_t bits, int on);

} // namespace simple_gpio_at91

// Opens and maps the window; 0, or -1 (nothing is kept open then).
int simple_gpio_at91_open();
// Unmaps and closes; harmless when not open.
void simple_gpio_at91_close();
// LED (PB3) and beeper (PB8) on or off; nothing happens while not open.
void simple_gpio_at91_led(int on);
void simple_gpio_at91_beep(int on);
