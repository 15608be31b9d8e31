// Gpio: the board's discrete lines as one 32-bit logical word, in which bit i
// stands for one fixed processor pin (see gpio_pin_table.h). Every operation
// takes or returns such a word: a bitmap of levels or a mask of bits to act on.
#pragma once

#include <cstdint>

class Gpio
{
  public:
    virtual ~Gpio() = default;

    // Non-zero when the lines can be used; every creator checks it first.
    virtual int is_ready() { return static_cast<int>(ready); }
    // Latches the initial levels, sets the directions (a set bit is an
    // output) and starts reporting changes. 0 or -1.
    virtual int start(uint32_t direction, uint32_t values)
    {
        (void)direction;
        (void)values;
        return 0;
    }
    // Drive high / low every line whose bit is set in `mask`. 0 or -1.
    virtual int set_bits(uint32_t mask)
    {
        (void)mask;
        return 0;
    }
    virtual int clear_bits(uint32_t mask)
    {
        (void)mask;
        return 0;
    }
    // Stores the current levels of all lines into *bitmap. 0 or -1.
    virtual int read_bits(uint32_t *bitmap)
    {
        (void)bitmap;
        return 0;
    }
    // Lines whose bit is set become outputs, all others inputs. 0 or -1.
    virtual int set_direction(uint32_t mask)
    {
        (void)mask;
        return 0;
    }
    // Stores the last mask given to set_direction into *mask. 0 or -1.
    virtual int get_direction(uint32_t *mask)
    {
        (void)mask;
        return 0;
    }
    // Body of the thread that reports changes; returns once the object stops.
    virtual void poll_loop() {}

  protected:
    Gpio() = default;
    Gpio(const Gpio &) = delete;
    Gpio &operator=(const Gpio &) = delete;

    uint32_t ready = 0;
};
