// Test input placed at a chosen distance from an 8-byte boundary. The board's
// ARMv5 core rotates the bytes of a misaligned word load instead of faulting, so
// readers are fed at odd addresses to show they never load fields through a
// cast pointer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

class OddBuffer
{
  public:
    explicit OddBuffer(const std::vector<uint8_t> &bytes, size_t offset = 1)
        : store_(new uint64_t[(bytes.size() + offset) / 8 + 1]()), offset_(offset), size_(bytes.size())
    {
        if (!bytes.empty())
            std::memcpy(data(), bytes.data(), bytes.size());
    }

    uint8_t *data() { return reinterpret_cast<uint8_t *>(store_.get()) + offset_; }
    const uint8_t *data() const { return reinterpret_cast<const uint8_t *>(store_.get()) + offset_; }
    size_t size() const { return size_; }

  private:
    std::unique_ptr<uint64_t[]> store_;
    size_t offset_;
    size_t size_;
};

// The offsets every reader is tried at: 1 and 3 leave 32-bit fields on odd
// addresses, 2 leaves them half-aligned.
inline const std::vector<size_t> &odd_offsets()
{
    static const std::vector<size_t> offsets = {1, 2, 3, 5};
    return offsets;
}
