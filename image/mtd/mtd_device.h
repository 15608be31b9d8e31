// A flash partition behind a Linux MTD character device ("/dev/mtdN").
#pragma once

#include "base/unique_fd.h"
#include "image/mtd/flash_device.h"

namespace mtdtool
{

class MtdDevice : public FlashDevice
{
  public:
    // Opens and queries the device; is_open() tells whether that worked.
    explicit MtdDevice(const char *path);
    bool is_open() const { return fd_.valid(); }

    FlashGeometry geometry() const override { return geometry_; }
    int is_bad(uint64_t offset) override;
    int erase_block(uint64_t offset) override;
    int program(uint64_t offset, const uint8_t *data, size_t length) override;

  private:
    UniqueFd fd_;
    FlashGeometry geometry_;
};

} // namespace mtdtool
