// Cuts the reflector's TCP stream into frames (a 4-byte big-endian length,
// then that many bytes). A length above the current limit is a protocol error:
// the peer closes the connection on it, and so do we.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace reflector
{

class FrameReader
{
  public:
    enum Result { need_more, frame, too_long };

    explicit FrameReader(uint32_t limit) : limit_(limit) {}
    void set_limit(uint32_t limit) { limit_ = limit; }
    uint32_t limit() const { return limit_; }
    // The announced length of the frame that was too long.
    uint32_t announced() const { return announced_; }

    void feed(const uint8_t *data, size_t size);
    // The next whole frame into `out` (its bytes after the length). After
    // too_long nothing more comes out until reset().
    Result next(std::vector<uint8_t> &out);
    void reset();
    size_t buffered() const { return buf_.size() - pos_; }

  private:
    uint32_t limit_;
    uint32_t announced_ = 0;
    bool broken_ = false;
    std::vector<uint8_t> buf_;
    size_t pos_ = 0;
};

} // namespace reflector
