// GpioAT91Registers: logical GPIO words onto the PIO registers of a mapped
// AT91 peripheral window. No locking here: the owner serialises access.
#pragma once

#include "board/gpio_pin_table.h"

#include <cstdint>

class GpioAT91Registers
{
  public:
    // `window` is the start of at91_pio::window_size mapped bytes.
    explicit GpioAT91Registers(uint8_t *window) : window_(window) {}

    // Writes the port words of `mask` to register `r` of PIOA, PIOB and PIOC
    // in that order; a port with no selected pin is not written at all.
    void write(at91_pio::reg r, uint32_t mask);
    // Reads PIO_PDSR of each port once and returns the logical word.
    uint32_t read_levels();

  private:
    volatile uint32_t *reg_ptr(size_t port, at91_pio::reg r);

    uint8_t *window_;
};
