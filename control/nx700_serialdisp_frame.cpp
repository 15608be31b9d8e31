#include "control/nx700_serialdisp_frame.h"

#include "base/byteorder.h"

#include <cstdio>
#include <ctime>

namespace
{
constexpr uint8_t kStart = 0x44;
constexpr size_t kHeaderSize = 3;
} // namespace

nx700_serialdisp_frame::nx700_serialdisp_frame(callback_t callback, clock_t clock)
    : serialdisp_frame(std::move(callback)), clock(clock ? std::move(clock) : clock_t(monotonic_ms))
{
}

uint64_t nx700_serialdisp_frame::monotonic_ms()
{
    // Monotonic, so that setting the time of day never cuts a frame.
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

void nx700_serialdisp_frame::reset()
{
    count = 0;
    state = 0;
    expected = 0;
    last_byte_ms = 0;
}

void nx700_serialdisp_frame::start(uint8_t b)
{
    if (b != kStart)
        return;
    buffer[0] = b;
    count = 1;
    state = 1;
}

void nx700_serialdisp_frame::push(uint8_t b)
{
    const uint64_t now = clock();
    if (count > kBufferSize - 1)
        count = 0;
    if (state == 0) {
        last_byte_ms = now;
        start(b);
        return;
    }
    if (now - last_byte_ms > timeout_ms) {
        std::puts("nx700_serialdisp_frame: timeout!");
        count = 0;
        state = 0;
        last_byte_ms = now;
        start(b);
        return;
    }
    last_byte_ms = now;
    buffer[count++] = b;
    if (state == 1) {
        state = 2;
        return;
    }
    if (state == 2) {
        state = 3;
        const size_t length = bytes::get_be16(buffer + 1);
        if (length > kMaxPayload) {
            reset();
            return;
        }
        expected = length + kHeaderSize;
    }
    if (count == expected) {
        deliver(buffer, count);
        reset();
    }
}
