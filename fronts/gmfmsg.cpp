#include "fronts/gmfmsg.h"

#include <cstring>

class_gmfmsg::class_gmfmsg(uint32_t type, const uint8_t *data, uint32_t len)
    : length_(data ? len : 0), type_(type)
{
    if (length_ > 0) {
        data_ = std::make_unique<uint8_t[]>(length_);
        std::memcpy(data_.get(), data, length_);
    }
}
