#include "control/nx5_serialdisp_frame.h"

#include "base/byteorder.h"

#include <cstdio>

namespace
{
constexpr uint8_t kStart = 0xFF;
constexpr uint8_t kSync = 0xAB;
constexpr size_t kTrailer = 2;
} // namespace

uint16_t nx5_serialdisp_frame::checksum(const uint8_t *frame, size_t payload_length)
{
    uint32_t sum = 0;
    for (size_t off = kHeaderSize; off < kHeaderSize + payload_length; off += 2)
        sum += bytes::get_le16(frame + off);
    return static_cast<uint16_t>(sum);
}

void nx5_serialdisp_frame::start()
{
    buffer[0] = kStart;
    state = 1;
}

void nx5_serialdisp_frame::push(uint8_t b)
{
    if (state >= kBufferSize) {
        state = 0;
        if (b == kStart)
            start();
        return;
    }
    switch (state) {
    case 0:
        if (b == kStart)
            start();
        return;
    case 1:
        if (b == kStart)
            start();
        else
            buffer[state++] = b;
        return;
    case 2:
    case 3:
        if (b == kSync)
            buffer[state++] = b;
        else if (b == kStart)
            start();
        else
            state = 0;
        return;
    case 4:
    case 6:
    case 7:
        buffer[state++] = b;
        return;
    case 5:
        buffer[state++] = b;
        payload_length = bytes::get_le16(buffer + 4);
        expected = payload_length + kHeaderSize + kTrailer;
        if (expected > kBufferSize - 1)
            state = 0;
        return;
    default:
        break;
    }
    buffer[state++] = b;
    if (state != expected)
        return;
    const uint16_t field = bytes::get_le16(buffer + kHeaderSize + payload_length);
    if (field == checksum(buffer, payload_length)) {
        deliver(buffer, expected);
    } else {
        std::puts("nx5_serialdisp_frame: invalid CRC!");
    }
    state = 0;
}
