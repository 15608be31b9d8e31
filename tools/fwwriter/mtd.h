// Flash partitions are written only through the board's "/sbin/mtd" tool:
// erase, and write from its standard input.
#pragma once

#include <cstddef>

namespace fwwriter
{

// The tool takes whole blocks of this size.
constexpr size_t mtd_block = 8192;

// Runs "/sbin/mtd erase DEVICE". The tool's result is not used; returns 0.
int mtd_erase(const char *device);

// Pipes `size` bytes read from `fd` into "/sbin/mtd write - DEVICE".
// 0, or -1 when the tool cannot be started or the copy fails.
int mtd_write(int fd, const char *device, int size);

// The copy loop of mtd_write: `size` bytes from `in` to `out` in blocks of
// mtd_block bytes, the last one filled up with zero bytes. Stops at a short
// read ("read failed !") or a failed write ("mtd write failed !") and
// returns -1 then, 0 otherwise.
int mtd_copy(int in, int out, int size);

} // namespace fwwriter
