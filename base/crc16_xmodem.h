// CRC-16/XMODEM: polynomial 0x1021, initial value 0, most significant bit
// first, no final XOR. Guards the flasher's serial frames and the Front46
// panel's frames. Check value: "123456789" gives 0x31C3.
#pragma once

#include <cstddef>
#include <cstdint>

namespace crc16
{

// `crc` continues an earlier run over preceding bytes (0 to start).
uint16_t xmodem(const uint8_t *data, size_t count, uint16_t crc = 0);

} // namespace crc16
