#include "base/crc16_xmodem.h"

#include <array>

namespace crc16
{

namespace
{

constexpr std::array<uint16_t, 256> make_table()
{
    std::array<uint16_t, 256> t{};
    for (unsigned i = 0; i < 256; i++) {
        uint16_t c = static_cast<uint16_t>(i << 8);
        for (int b = 0; b < 8; b++)
            c = static_cast<uint16_t>((c & 0x8000) ? (c << 1) ^ 0x1021 : c << 1);
        t[i] = c;
    }
    return t;
}

constexpr std::array<uint16_t, 256> table = make_table();

} // namespace

uint16_t xmodem(const uint8_t *data, size_t count, uint16_t crc)
{
    for (size_t i = 0; i < count; i++)
        crc = static_cast<uint16_t>((crc << 8) ^ table[((crc >> 8) ^ data[i]) & 0xFF]);
    return crc;
}

} // namespace crc16
