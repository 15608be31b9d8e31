// The GM360 frame assembler, fed a byte stream from the head or the radio:
// every frame it completes must lie within its buffer and have the length
// its header announced.
#include "fronts/gmframe.h"

#include <cstdint>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    gmframe::Assembler a;
    for (size_t i = 0; i < size; ++i) {
        gmframe::Assembler::Result r = a.feed(data[i]);
        if (r != gmframe::Assembler::FRAME && r != gmframe::Assembler::CRC_ERROR)
            continue;
        if (a.size() == 0 || a.size() > gmframe::Assembler::CAPACITY)
            __builtin_trap();
        uint8_t copy[gmframe::Assembler::CAPACITY];
        std::memcpy(copy, a.data(), a.size());
        if ((r == gmframe::Assembler::FRAME) != gmframe::check_ok(copy, a.size()))
            __builtin_trap();
    }
    return 0;
}
