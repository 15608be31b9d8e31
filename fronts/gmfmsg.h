// class_gmfmsg: one element of the GM360 relay queues, a frame or an event.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

enum {
    GMFMSG_FRAME = 0,
    GMFMSG_ACK = 1,
    GMFMSG_IRQ = 2,
    GMFMSG_CONNECTED = 3,
    GMFMSG_DISCONNECTED = 4,
};

class class_gmfmsg
{
  public:
    // A copy of `len` bytes of `data` (none for the events).
    class_gmfmsg(uint32_t type, const uint8_t *data = nullptr, uint32_t len = 0);
    class_gmfmsg(const class_gmfmsg &) = delete;
    class_gmfmsg &operator=(const class_gmfmsg &) = delete;

    virtual ~class_gmfmsg() = default;
    virtual const uint8_t *data() const { return data_.get(); }
    virtual uint32_t length() const { return length_; }
    virtual uint32_t type() const { return type_; }

  private:
    std::unique_ptr<uint8_t[]> data_;
    uint32_t length_;
    uint32_t type_;
};
