// serialdisp_frame: what the serial framings of the XML-linked radios share:
// bytes go in one at a time, in pieces of any size, and every complete frame
// goes to one callback.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

class serialdisp_frame
{
  public:
    using callback_t = std::function<void(const uint8_t *frame, size_t length)>;

    virtual ~serialdisp_frame() = default;
    serialdisp_frame(const serialdisp_frame &) = delete;
    serialdisp_frame &operator=(const serialdisp_frame &) = delete;

    void set_callback(callback_t cb) { callback = std::move(cb); }
    virtual void push(uint8_t b) = 0;
    void push(const uint8_t *data, size_t length)
    {
        for (size_t i = 0; i < length; ++i)
            push(data[i]);
    }

  protected:
    explicit serialdisp_frame(callback_t cb) : callback(std::move(cb)) {}
    void deliver(const uint8_t *frame, size_t length)
    {
        if (callback)
            callback(frame, length);
    }

  private:
    callback_t callback;
};
