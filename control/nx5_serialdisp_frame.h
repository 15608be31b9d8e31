// nx5_serialdisp_frame: cuts an NX5xxx serial stream into checked frames:
// 0xFF, one byte other than 0xFF, 0xAB 0xAB, the payload length L (16-bit
// little-endian, at most 1013), two further bytes, L payload bytes and a 16-bit
// word-sum checksum. Frames with a wrong checksum are reported and dropped;
// over-long ones are dropped silently. The state is kept across calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

class nx5_serialdisp_frame
{
  public:
    using callback_t = std::function<void(const uint8_t *frame, size_t length)>;
    static constexpr size_t kBufferSize = 1024;
    static constexpr size_t kHeaderSize = 8;
    static constexpr size_t kMaxPayload = 1013;

    explicit nx5_serialdisp_frame(callback_t callback = nullptr) : callback(std::move(callback)) {}

    void set_callback(callback_t cb) { callback = std::move(cb); }
    void push(uint8_t b);
    void push(const uint8_t *data, size_t length)
    {
        for (size_t i = 0; i < length; ++i)
            push(data[i]);
    }
    void reset() { state = 0; }

    // Sum of the little-endian words from offset 8 while the word starts
    // before 8 + L; for an odd L the last word takes the checksum's first byte
    // as its high byte. `frame` must hold at least 8 + L + 1 bytes when L is odd.
    static uint16_t checksum(const uint8_t *frame, size_t payload_length);

  private:
    void start();

    callback_t callback;
    uint8_t buffer[kBufferSize] = {};
    size_t state = 0; // bytes stored
    size_t expected = 0;
    size_t payload_length = 0;
};
