#include "fronts/gmframe.h"

#include <cstring>

namespace gmframe
{

const uint8_t POLL[4] = {0xF2, 0x36, 0x00, 0xD7};

namespace
{
const uint8_t INIT1[] = {0xF1, 0x33, 0xDB};
const uint8_t INIT2[] = {0xF3, 0x31, 0x64, 0x00, 0x77};
const uint8_t INIT3[] = {0xF2, 0x31, 0x00, 0xDC};
const uint8_t INIT4[] = {0xFF, 0x34, 0x00, 0x03, 0x00, 0x0C, 0xBD};
const uint8_t INIT5[] = {0xFF, 0x34, 0x00, 0x03, 0x00, 0x0E, 0xBB};
const uint8_t INIT6[] = {0xF5, 0x30, 0x05, 0x00, 0x00, 0xFF, 0xD6};
const uint8_t INIT7[] = {0xF2, 0x31, 0x3D, 0x9F};
const uint8_t DISPLAY_HEADER[] = {0xFF, 0x34, 0x00, 0x11, 0x00, 0x00};

constexpr size_t MIN_LONG_LENGTH = 2;
constexpr size_t MAX_LONG_LENGTH = 33;
constexpr size_t HUNT_LIMIT = 62;
} // namespace

const uint8_t *const INIT_FRAMES[7] = {INIT1, INIT2, INIT3, INIT4, INIT5, INIT6, INIT7};
const size_t INIT_FRAME_SIZES[7] = {sizeof INIT1, sizeof INIT2, sizeof INIT3, sizeof INIT4,
                                    sizeof INIT5, sizeof INIT6, sizeof INIT7};

void set_checksum(uint8_t *frame, size_t len)
{
    if (len < 3)
        return;
    uint8_t sum = 0;
    for (size_t i = 0; i + 1 < len; i++)
        sum = static_cast<uint8_t>(sum + frame[i]);
    frame[len - 1] = static_cast<uint8_t>(~sum);
}

bool check_ok(const uint8_t *frame, size_t len)
{
    uint8_t sum = 0;
    for (size_t i = 0; i < len; i++)
        sum = static_cast<uint8_t>(sum + frame[i]);
    return len > 0 && sum == 0xFF;
}

bool make_display(const char *text, uint8_t out[DISPLAY_FRAME_SIZE])
{
    size_t n = std::strlen(text);
    if (n > DISPLAY_CHARS)
        return false;
    std::memcpy(out, DISPLAY_HEADER, sizeof DISPLAY_HEADER);
    std::memset(out + sizeof DISPLAY_HEADER, ' ', DISPLAY_CHARS);
    std::memcpy(out + sizeof DISPLAY_HEADER, text, n);
    set_checksum(out, DISPLAY_FRAME_SIZE);
    return true;
}

Assembler::Result Assembler::hunt(uint8_t b)
{
    inside_ = false;
    if ((b & 0xF0) == 0xF0) {
        inside_ = true;
        buf_[0] = b;
        count_ = 1;
        sum_ = b;
        if ((b & 0x0F) == 0x0F) {
            expected_ = 2;
            length_next_ = true;
        } else {
            expected_ = b & 0x0F;
            length_next_ = false;
        }
        return NONE;
    }
    count_ = 0;
    return b == ACK ? ACK_BYTE : NONE;
}

Assembler::Result Assembler::feed(uint8_t b)
{
    if (!inside_ || count_ > HUNT_LIMIT)
        return hunt(b);
    buf_[count_++] = b;
    sum_ = static_cast<uint8_t>(sum_ + b);
    if (expected_ > 0) {
        expected_--;
        return NONE;
    }
    if (length_next_) {
        length_next_ = false;
        expected_ = b - 1u;
        if (b < MIN_LONG_LENGTH || b > MAX_LONG_LENGTH)
            inside_ = false;
        return NONE;
    }
    inside_ = false;
    return sum_ == 0xFF ? FRAME : CRC_ERROR;
}

} // namespace gmframe
