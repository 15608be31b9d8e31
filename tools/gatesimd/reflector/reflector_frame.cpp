#include "tools/gatesimd/reflector/reflector_frame.h"

#include "base/byteorder.h"
#include "tools/gatesimd/reflector/reflector_msg.h"

namespace reflector
{

void FrameReader::feed(const uint8_t *data, size_t size)
{
    if (broken_ || size == 0)
        return;
    // Consumed bytes are dropped before the buffer grows, so it never holds
    // more than one frame and one read.
    if (pos_ > 0) {
        buf_.erase(buf_.begin(), buf_.begin() + static_cast<std::ptrdiff_t>(pos_));
        pos_ = 0;
    }
    buf_.insert(buf_.end(), data, data + size);
}

FrameReader::Result FrameReader::next(std::vector<uint8_t> &out)
{
    if (broken_)
        return too_long;
    if (buf_.size() - pos_ < frame_header_size)
        return need_more;
    uint32_t len = bytes::get_be32(buf_.data() + pos_);
    if (len > limit_) {
        broken_ = true;
        announced_ = len;
        buf_.clear();
        pos_ = 0;
        return too_long;
    }
    if (buf_.size() - pos_ - frame_header_size < len)
        return need_more;
    const uint8_t *start = buf_.data() + pos_ + frame_header_size;
    out.assign(start, start + len);
    pos_ += frame_header_size + len;
    if (pos_ == buf_.size()) {
        buf_.clear();
        pos_ = 0;
    }
    return frame;
}

void FrameReader::reset()
{
    broken_ = false;
    announced_ = 0;
    buf_.clear();
    pos_ = 0;
}

} // namespace reflector
