// The flasher's answer scanner, fed what a head or radio sends back: the
// scan over the receive buffer, the classification of what it found and the
// debug dump of it.
#include "tools/headflash/frames.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // The flasher's receive buffer.
    if (size > 1024)
        return 0;
    long at = headflash::find_answer(data, size);
    if (at >= 0 && static_cast<size_t>(at) + headflash::ANSWER_SIZE > size)
        __builtin_trap();
    const uint8_t *frame = at >= 0 ? data + at : data;
    size_t n = at >= 0 ? headflash::ANSWER_SIZE : size;
    headflash::Answer a = headflash::classify_answer(frame, n);
    if (headflash::answer_text(a).empty() || headflash::hex_bytes(frame, n).size() > 3 * n)
        __builtin_trap();
    // Anything that is not a complete answer counts as an error.
    if (at < 0 && headflash::classify_answer(data, size > 9 ? 9 : size).kind != headflash::Answer::ERR)
        __builtin_trap();
    return 0;
}
