// The upgrade file: a four-character target tag, the data size (32-bit
// little-endian, whole 256-byte blocks) and the data.
#pragma once

#include <cstddef>
#include <cstdint>

#include "tools/headflash/targets.h"

namespace headflash
{

constexpr size_t UPG_HEADER_SIZE = 8;
// Block numbers on the wire are 16-bit.
constexpr uint32_t MAX_BLOCKS = 65536;

// Checks the `got` header bytes read from a file of `file_size` bytes (-1
// when the file has no known size) against the target. nullptr with the
// block count set, or the fatal message.
const char *check_upg_header(const uint8_t *header, size_t got, const Target &target, long long file_size,
                             uint32_t &blocks);

} // namespace headflash
