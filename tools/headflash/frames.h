// The flasher's serial frames. A request is FF 55 43 4B, a big-endian length
// (bytes after it, CRC included), 00, the command, for block commands a
// big-endian block number and 256 data bytes, and a big-endian CRC-16/XMODEM
// over everything from the length on. An answer is "YEAH" 00 04, a signed
// big-endian status and the CRC of the four bytes before it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace headflash
{

constexpr size_t BLOCK_SIZE = 256;
constexpr size_t PLAIN_REQUEST_SIZE = 10;
constexpr size_t BLOCK_REQUEST_SIZE = 268;
constexpr size_t ANSWER_SIZE = 10;

enum Command : uint8_t {
    CMD_EFM_ENTER = 1,
    CMD_EFM_LEAVE = 2,
    CMD_RFS = 3,
    CMD_PRG = 16,
    CMD_VRF = 17,
    CMD_RST = 32,
};

std::vector<uint8_t> request_frame(uint8_t command);
// `data` holds BLOCK_SIZE bytes.
std::vector<uint8_t> block_request_frame(uint8_t command, uint16_t block, const uint8_t *data);

struct Answer {
    enum Kind { OK, ERR, STATUS };
    Kind kind = ERR;
    int16_t status = 0;
    bool boot_is_running = false;
    bool boot_is_set = false;
};

// The result of the bytes found as an answer; anything but a well-formed
// 10-byte frame is ERR.
Answer classify_answer(const uint8_t *frame, size_t size);
// "OK", "ERR" or "STATUS(boot_is_running:N,boot_is_set:N)".
std::string answer_text(const Answer &a);

// Offset of the first complete answer ("YEAH" 00 04 and the 10 bytes from
// there) in `data`, or -1 while there is none yet.
long find_answer(const uint8_t *data, size_t size);

// Two-digit upper-case hex, separated by single spaces.
std::string hex_bytes(const uint8_t *data, size_t size);

} // namespace headflash
