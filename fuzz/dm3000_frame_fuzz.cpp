// The DM3000 display frame: any 529 bytes parse or are refused, and what
// parses packs back into the same frame.
#include "fronts/dmframe.h"

#include <cstdint>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < dmframe::FRAME_SIZE)
        return 0;
    uint8_t pixels[dmframe::PIXEL_IMAGE_SIZE];
    uint8_t flags = 0;
    if (!dmframe::parse_frame(data, pixels, flags))
        return 0;
    uint8_t packed[dmframe::PACKED_IMAGE_SIZE];
    dmframe::pack_pixels(pixels, packed);
    uint8_t frame[dmframe::FRAME_SIZE];
    dmframe::make_frame(packed, flags, frame);
    if (std::memcmp(frame, data, dmframe::FRAME_SIZE) != 0)
        __builtin_trap();
    return 0;
}
