#include "board/gpio_pin_table.h"

const GpioPin gpio_pin_table[gpio_bits] = {
    {'?', 0},  {'B', 31}, {'B', 30}, {'B', 9}, {'B', 24}, {'B', 23}, {'B', 22}, {'B', 21},
    {'B', 20}, {'A', 4},  {'A', 3},  {'A', 2}, {'A', 1},  {'A', 0},  {'B', 3},  {'B', 8},
    {'C', 6},  {'B', 2},  {'B', 1},  {'B', 0}, {'A', 24}, {'A', 5},  {'A', 8},  {'A', 6},
    {'B', 25}, {'?', 0},  {'?', 0},  {'?', 0}, {'?', 0},  {'?', 0},  {'?', 0},  {'?', 0},
};

namespace at91_pio
{

namespace
{

// Index of a port letter, or -1 for an entry without a pin.
int port_index(char port)
{
    switch (port) {
    case 'A':
        return 0;
    case 'B':
        return 1;
    case 'C':
        return 2;
    default:
        return -1;
    }
}

} // namespace

PortWords port_words(uint32_t mask)
{
    PortWords words = {{0, 0, 0}};
    for (size_t bit = 0; bit < gpio_bits; ++bit) {
        if ((mask & (1u << bit)) == 0)
            continue;
        int port = port_index(gpio_pin_table[bit].port);
        if (port < 0)
            continue;
        words.port[port] |= 1u << gpio_pin_table[bit].pin;
    }
    return words;
}

uint32_t logical_word(const uint32_t levels[port_count])
{
    uint32_t word = 0;
    for (size_t bit = 0; bit < gpio_bits; ++bit) {
        int port = port_index(gpio_pin_table[bit].port);
        if (port < 0)
            continue;
        if (levels[port] & (1u << gpio_pin_table[bit].pin))
            word |= 1u << bit;
    }
    return word;
}

} // namespace at91_pio
