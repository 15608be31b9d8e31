// The two things the board's flash tool does to a partition: erase it, and
// write a stream into it from the start.
#pragma once

#include "image/mtd/flash_device.h"

#include <cstdint>
#include <string>

namespace mtdtool
{

struct FlashResult {
    bool ok = false;
    uint64_t bytes = 0;      // stream bytes written (write) or blocks erased (erase)
    uint32_t bad_blocks = 0; // bad blocks skipped
    std::string error;       // why it failed
};

// Erases every good block; bad blocks are left alone. A block that fails to
// erase is reported and the others are still erased.
FlashResult erase_all(FlashDevice &dev);

// Writes everything readable from `in` into the partition from offset 0, one
// erase block at a time: each good block is erased, then programmed page by
// page; bad blocks are skipped; the last page is padded with 0xFF. On NAND a
// page of nothing but 0xFF is left unprogrammed, as erased, so that a file
// system can still write it later. Data that does not fit into the good
// blocks fails the run after what fitted was written.
FlashResult write_stream(FlashDevice &dev, int in);

} // namespace mtdtool
