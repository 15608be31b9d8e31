// mtetra_serialdisp_frame: cuts an MTETRA serial stream into frames that begin
// and end with 0xFF (both kept), 3 to 1024 bytes. Bytes outside a frame are
// dropped, and so is a frame that reaches 1024 bytes unclosed. The state is
// kept across calls, so a frame may arrive in any number of pieces.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

class mtetra_serialdisp_frame
{
  public:
    using callback_t = std::function<void(const uint8_t *frame, size_t length)>;
    static constexpr size_t kBufferSize = 1024;

    explicit mtetra_serialdisp_frame(callback_t callback = nullptr) : callback(std::move(callback)) {}

    void set_callback(callback_t cb) { callback = std::move(cb); }
    void push(uint8_t b);
    void push(const uint8_t *data, size_t length)
    {
        for (size_t i = 0; i < length; ++i)
            push(data[i]);
    }
    void reset()
    {
        in_frame = 0;
        count = 0;
    }

  private:
    callback_t callback;
    uint8_t in_frame = 0;
    uint8_t buffer[kBufferSize] = {};
    size_t count = 0;
};
