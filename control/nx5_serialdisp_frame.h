// nx5_serialdisp_frame: cuts an NX5xxx serial stream into checked frames:
// 0xFF, one byte other than 0xFF, 0xAB 0xAB, the payload length L (16-bit
// little-endian, at most 1013), two further bytes, L payload bytes and a 16-bit
// word-sum checksum. Frames with a wrong checksum are reported and dropped;
// over-long ones are dropped silently. The state is kept across calls.
#pragma once

#include "control/serialdisp_frame.h"

#include <cstddef>
#include <cstdint>

class nx5_serialdisp_frame : public serialdisp_frame
{
  public:
    static constexpr size_t kBufferSize = 1024;
    static constexpr size_t kHeaderSize = 8;
    static constexpr size_t kMaxPayload = 1013;

    explicit nx5_serialdisp_frame(callback_t callback = nullptr) : serialdisp_frame(std::move(callback)) {}

    using serialdisp_frame::push;
    void push(uint8_t b) override;
    void reset() { state = 0; }

    // Sum of the little-endian words from offset 8 while the word starts
    // before 8 + L; for an odd L the last word takes the checksum's first byte
    // as its high byte. `frame` must hold at least 8 + L + 1 bytes when L is odd.
    static uint16_t checksum(const uint8_t *frame, size_t payload_length);

  private:
    void start();

    uint8_t buffer[kBufferSize] = {};
    size_t state = 0; // bytes stored
    size_t expected = 0;
    size_t payload_length = 0;
};
