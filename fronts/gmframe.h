// GM360 head link framing, used in both directions and for the radio data that
// the server tunnels: header 0xF<n> with n body bytes (0-14), or 0xFF for a long
// frame (two body bytes, a length L of 2-33, L-1 more body bytes), then a check
// byte that makes the 8-bit sum of the whole frame 0xFF. The head acknowledges
// each frame with the single byte 0x50 outside any frame.
#pragma once

#include <cstddef>
#include <cstdint>

namespace gmframe
{

constexpr uint8_t ACK = 0x50;
constexpr size_t DISPLAY_CHARS = 14;
constexpr size_t DISPLAY_FRAME_SIZE = 21;
constexpr size_t KEY_FRAME_SIZE = 6;

extern const uint8_t POLL[4];
// The head initialisation frames, sent in this order.
extern const uint8_t *const INIT_FRAMES[7];
extern const size_t INIT_FRAME_SIZES[7];

// Stores the complement of the 8-bit sum of bytes 0..len-2 in the last byte.
// Frames shorter than 3 bytes are left alone.
void set_checksum(uint8_t *frame, size_t len);
// True when the 8-bit sum of the whole frame is 0xFF.
bool check_ok(const uint8_t *frame, size_t len);
// The 21-byte display frame for up to 14 characters (the rest spaces); false
// and nothing written for a longer text.
bool make_display(const char *text, uint8_t out[DISPLAY_FRAME_SIZE]);

// Cuts a byte stream into frames. One assembler per direction.
class Assembler
{
  public:
    enum Result { NONE, FRAME, CRC_ERROR, ACK_BYTE };
    static constexpr size_t CAPACITY = 64;

    // Takes one byte; FRAME and CRC_ERROR leave the completed frame in data()/size()
    // until the next byte.
    Result feed(uint8_t b);
    const uint8_t *data() const { return buf_; }
    size_t size() const { return count_; }

  private:
    Result hunt(uint8_t b);

    size_t count_ = 0;
    bool inside_ = false;
    size_t expected_ = 0;
    bool length_next_ = false;
    uint8_t sum_ = 0;
    uint8_t buf_[CAPACITY] = {};
};

} // namespace gmframe
