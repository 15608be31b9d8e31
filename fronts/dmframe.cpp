#include "fronts/dmframe.h"

#include <cstring>

namespace dmframe
{

void pack_pixels(const uint8_t *pixels, uint8_t *packed)
{
    for (size_t i = 0; i < PACKED_IMAGE_SIZE; i++) {
        uint8_t b = 0;
        for (int k = 0; k < 8; k++)
            if (pixels[i * 8 + k])
                b |= static_cast<uint8_t>(1u << k);
        packed[i] = b;
    }
}

void make_frame(const uint8_t *packed, uint8_t flags, uint8_t *frame)
{
    std::memset(frame, 0, FRAME_SIZE);
    for (size_t p = 0; p < PIXEL_IMAGE_SIZE; p++) {
        if (!(packed[p / 8] & (1u << (p % 8))))
            continue;
        const size_t r = p / WIDTH, c = p % WIDTH;
        frame[(r / 8) * WIDTH + c] |= static_cast<uint8_t>(1u << (r % 8));
    }
    frame[PACKED_IMAGE_SIZE] = static_cast<uint8_t>(FLAGS_BASE + (flags & 7));
}

bool parse_frame(const uint8_t *frame, uint8_t *pixels, uint8_t &flags)
{
    const uint8_t f = frame[PACKED_IMAGE_SIZE];
    if (f < FLAGS_BASE || f > FLAGS_BASE + 7)
        return false;
    flags = static_cast<uint8_t>(f - FLAGS_BASE);
    for (size_t r = 0; r < HEIGHT; r++)
        for (size_t c = 0; c < WIDTH; c++)
            pixels[r * WIDTH + c] = (frame[(r / 8) * WIDTH + c] >> (r % 8)) & 1;
    return true;
}

} // namespace dmframe
