// The DM3000 head's display formats. A pixel image is 4224 bytes, one per
// pixel, 32 rows of 132; a packed image is 528 bytes with pixel p in bit p % 8
// (least significant first) of byte p / 8; the display frame written to the
// head is 529 bytes: four pages of 132 columns, each byte one column of eight
// rows (top row in bit 0), then the flags byte 0x18 + (flags & 7).
#pragma once

#include <cstddef>
#include <cstdint>

namespace dmframe
{

constexpr int WIDTH = 132;
constexpr int HEIGHT = 32;
constexpr size_t PIXEL_IMAGE_SIZE = WIDTH * HEIGHT;      // 4224
constexpr size_t PACKED_IMAGE_SIZE = WIDTH * HEIGHT / 8; // 528
constexpr size_t FRAME_SIZE = PACKED_IMAGE_SIZE + 1;     // 529
constexpr uint8_t FLAGS_BASE = 0x18;

// 4224 pixel bytes (non-zero = set) to the 528-byte packed form.
void pack_pixels(const uint8_t *pixels, uint8_t *packed);
// The display frame for a packed image; only the low three flag bits count.
void make_frame(const uint8_t *packed, uint8_t flags, uint8_t *frame);
// Back from a display frame to pixels (0 or 1). False when the flags byte is
// not 0x18-0x1F; `flags` gets its low three bits otherwise.
bool parse_frame(const uint8_t *frame, uint8_t *pixels, uint8_t &flags);

} // namespace dmframe
