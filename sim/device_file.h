// A device node the box serves through FUSE.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

namespace boardbox
{

class DeviceFile
{
  public:
    virtual ~DeviceFile() = default;
    // A count, or a negative errno. Both may block (the caller is a FUSE worker).
    virtual ssize_t read(uint8_t *buf, size_t count) = 0;
    virtual ssize_t write(const uint8_t *buf, size_t count) = 0;
};

} // namespace boardbox
