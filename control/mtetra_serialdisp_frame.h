// mtetra_serialdisp_frame: cuts an MTETRA serial stream into frames that begin
// and end with 0xFF (both kept), 3 to 1024 bytes. Bytes outside a frame are
// dropped, and so is a frame that reaches 1024 bytes unclosed. The state is
// kept across calls, so a frame may arrive in any number of pieces.
#pragma once

#include "control/serialdisp_frame.h"

#include <cstddef>
#include <cstdint>

class mtetra_serialdisp_frame : public serialdisp_frame
{
  public:
    static constexpr size_t kBufferSize = 1024;

    explicit mtetra_serialdisp_frame(callback_t callback = nullptr) : serialdisp_frame(std::move(callback)) {}

    using serialdisp_frame::push;
    void push(uint8_t b) override;
    void reset()
    {
        in_frame = 0;
        count = 0;
    }

  private:
    uint8_t in_frame = 0;
    uint8_t buffer[kBufferSize] = {};
    size_t count = 0;
};
