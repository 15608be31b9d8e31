#include "control/mtetra_serialdisp_frame.h"

namespace
{
constexpr uint8_t kMark = 0xFF;
}

void mtetra_serialdisp_frame::push(uint8_t b)
{
    if (count >= kBufferSize)
        reset();
    // A second 0xFF right after the opening one opens the frame again, so an
    // empty frame is never delivered.
    if (in_frame && !(b == kMark && count == 1)) {
        buffer[count++] = b;
        if (b == kMark) {
            deliver(buffer, count);
            reset();
        }
        return;
    }
    if (b != kMark)
        return;
    buffer[0] = b;
    count = 1;
    in_frame = 1;
}
