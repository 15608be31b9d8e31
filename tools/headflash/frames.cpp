#include "tools/headflash/frames.h"

#include <cstdio>
#include <cstring>

#include "base/byteorder.h"
#include "base/crc16_xmodem.h"

namespace headflash
{

namespace
{

const uint8_t request_magic[4] = {0xFF, 0x55, 0x43, 0x4B};
const uint8_t answer_start[6] = {0x59, 0x45, 0x41, 0x48, 0x00, 0x04};

// Magic, length, 0, command; the caller fills what follows.
std::vector<uint8_t> frame_head(size_t size, uint8_t command)
{
    std::vector<uint8_t> f(size);
    std::memcpy(f.data(), request_magic, sizeof request_magic);
    bytes::put_be16(&f[4], static_cast<uint16_t>(size - 6));
    f[6] = 0;
    f[7] = command;
    return f;
}

void seal(std::vector<uint8_t> &f)
{
    uint16_t crc = crc16::xmodem(&f[4], f.size() - 6);
    bytes::put_be16(&f[f.size() - 2], crc);
}

} // namespace

std::vector<uint8_t> request_frame(uint8_t command)
{
    std::vector<uint8_t> f = frame_head(PLAIN_REQUEST_SIZE, command);
    seal(f);
    return f;
}

std::vector<uint8_t> block_request_frame(uint8_t command, uint16_t block, const uint8_t *data)
{
    std::vector<uint8_t> f = frame_head(BLOCK_REQUEST_SIZE, command);
    bytes::put_be16(&f[8], block);
    std::memcpy(&f[10], data, BLOCK_SIZE);
    seal(f);
    return f;
}

Answer classify_answer(const uint8_t *frame, size_t size)
{
    Answer a;
    if (frame == nullptr || size != ANSWER_SIZE || frame[4] != 0x00 || frame[5] != 0x04)
        return a;
    if (crc16::xmodem(&frame[4], 4) != bytes::get_be16(&frame[8]))
        return a;
    uint16_t raw = bytes::get_be16(&frame[6]);
    a.status = static_cast<int16_t>(raw);
    if (raw == 0) {
        a.kind = Answer::OK;
    } else if (raw >= 0x8000 && raw <= 0x8FFF) {
        // Below -0x7000 as a signed number: a state report, not a failure.
        a.kind = Answer::STATUS;
        a.boot_is_running = (raw & 0x0100) != 0;
        a.boot_is_set = (raw & 0x0200) != 0;
    }
    return a;
}

std::string answer_text(const Answer &a)
{
    switch (a.kind) {
    case Answer::OK:
        return "OK";
    case Answer::STATUS:
        return std::string("STATUS(") + (a.boot_is_running ? "boot_is_running:1," : "boot_is_running:0,") +
               (a.boot_is_set ? "boot_is_set:1)" : "boot_is_set:0)");
    case Answer::ERR:
        break;
    }
    return "ERR";
}

long find_answer(const uint8_t *data, size_t size)
{
    for (size_t i = 0; i + ANSWER_SIZE <= size; i++)
        if (std::memcmp(data + i, answer_start, sizeof answer_start) == 0)
            return static_cast<long>(i);
    return -1;
}

std::string hex_bytes(const uint8_t *data, size_t size)
{
    std::string s;
    s.reserve(size * 3);
    char h[4];
    for (size_t i = 0; i < size; i++) {
        std::snprintf(h, sizeof h, i ? " %02X" : "%02X", data[i]);
        s += h;
    }
    return s;
}

} // namespace headflash
