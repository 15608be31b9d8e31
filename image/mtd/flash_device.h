// One flash partition as the board's flash tool sees it: erase blocks that may
// be bad (NAND), programmed in pages that must be erased first.
#pragma once

#include <cstddef>
#include <cstdint>

namespace mtdtool
{

struct FlashGeometry {
    uint64_t size = 0;       // bytes in the partition
    uint32_t erase_size = 0; // bytes per erase block
    uint32_t write_size = 1; // bytes per program unit (a NAND page; 1 on NOR)
    bool nand = false;       // bad blocks exist and erased pages must stay unprogrammed
};

class FlashDevice
{
  public:
    virtual ~FlashDevice() = default;
    virtual FlashGeometry geometry() const = 0;
    // 1 when the block at `offset` is marked bad, 0 when good, -1 on error.
    virtual int is_bad(uint64_t offset) = 0;
    // 0 or -1 (errno set).
    virtual int erase_block(uint64_t offset) = 0;
    // Programs `length` bytes at `offset`, both multiples of the write size;
    // 0 or -1 (errno set).
    virtual int program(uint64_t offset, const uint8_t *data, size_t length) = 0;
};

} // namespace mtdtool
