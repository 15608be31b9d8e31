// nx700_serialdisp_frame: cuts an NX700 serial stream into frames of 'D'
// (0x44), a big-endian 16-bit length L (at most 508) and L bytes. A frame
// whose next byte comes more than 100 ms after the previous one is reported
// and dropped. The state is kept across calls; the clock (milliseconds, only
// differences matter) can be given so the time-out is seen without waiting.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

class nx700_serialdisp_frame
{
  public:
    using callback_t = std::function<void(const uint8_t *frame, size_t length)>;
    using clock_t = std::function<uint64_t()>;
    static constexpr size_t kBufferSize = 512;
    static constexpr size_t kMaxPayload = 508;

    // A null clock is the monotonic clock.
    explicit nx700_serialdisp_frame(callback_t callback = nullptr, clock_t clock = nullptr);

    void set_callback(callback_t cb) { callback = std::move(cb); }
    void push(uint8_t b);
    void push(const uint8_t *data, size_t length)
    {
        for (size_t i = 0; i < length; ++i)
            push(data[i]);
    }

    static uint64_t monotonic_ms();

  private:
    void reset();
    void start(uint8_t b);

    callback_t callback;
    clock_t clock;
    uint8_t buffer[kBufferSize] = {};
    size_t count = 0;
    int state = 0; // 0 hunting, 1 and 2 length bytes, 3 payload
    size_t expected = 0;
    uint64_t last_byte_ms = 0;
    uint64_t timeout_ms = 100;
};
