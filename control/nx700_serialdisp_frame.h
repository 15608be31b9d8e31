// nx700_serialdisp_frame: cuts an NX700 serial stream into frames of 'D'
// (0x44), a big-endian 16-bit length L (at most 508) and L bytes. A frame
// whose next byte comes more than 100 ms after the previous one is reported
// and dropped. The state is kept across calls; the clock (milliseconds, only
// differences matter) can be given so the time-out is seen without waiting.
#pragma once

#include "control/serialdisp_frame.h"

#include <cstddef>
#include <cstdint>

class nx700_serialdisp_frame : public serialdisp_frame
{
  public:
    using clock_t = std::function<uint64_t()>;
    static constexpr size_t kBufferSize = 512;
    static constexpr size_t kMaxPayload = 508;

    // A null clock is the monotonic clock.
    explicit nx700_serialdisp_frame(callback_t callback = nullptr, clock_t clock = nullptr);

    using serialdisp_frame::push;
    void push(uint8_t b) override;

    static uint64_t monotonic_ms();

  private:
    void reset();
    void start(uint8_t b);

    clock_t clock;
    uint8_t buffer[kBufferSize] = {};
    size_t count = 0;
    int state = 0; // 0 hunting, 1 and 2 length bytes, 3 payload
    size_t expected = 0;
    uint64_t last_byte_ms = 0;
    uint64_t timeout_ms = 100;
};
