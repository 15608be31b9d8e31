// Plain memory in place of the processor's peripheral window. The register code
// stores native 32-bit words, so they are read back the same way; every word
// starts with a fill, so the words that were written can be listed.
#pragma once

#include "board/gpio_pin_table.h"

#include <cstddef>
#include <cstdint>
#include <vector>

class FakePioWindow
{
  public:
    static constexpr uint32_t untouched = 0xA5A5A5A5u;

    FakePioWindow() : mem_(at91_pio::window_size / 4 + 1, untouched) {}

    uint8_t *base() { return reinterpret_cast<uint8_t *>(mem_.data()); }

    // The word at `offset` bytes into the window.
    uint32_t &at(size_t offset) { return mem_[offset / 4]; }
    uint32_t &reg(size_t port, at91_pio::reg r) { return at(at91_pio::port_offset[port] + r); }

    // Offsets (within the window) of all words that no longer hold the fill.
    std::vector<size_t> written() const
    {
        std::vector<size_t> out;
        for (size_t i = 0; i < mem_.size(); ++i) {
            if (mem_[i] != untouched)
                out.push_back(i * 4);
        }
        return out;
    }

  private:
    std::vector<uint32_t> mem_;
};
