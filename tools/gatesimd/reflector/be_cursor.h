// Reading and writing the reflector's big-endian fields: a read never goes
// past the end (it fails and stays failed), a write appends.
#pragma once

#include "base/byteorder.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace reflector
{

class BeReader
{
  public:
    BeReader(const uint8_t *data, size_t size) : p_(data), n_(size) {}

    bool ok() const { return ok_; }
    size_t left() const { return ok_ ? n_ - pos_ : 0; }

    uint16_t u16()
    {
        if (!take(2))
            return 0;
        return bytes::get_be16(p_ + pos_ - 2);
    }
    uint32_t u32()
    {
        if (!take(4))
            return 0;
        return bytes::get_be32(p_ + pos_ - 4);
    }
    std::string str()
    {
        uint16_t n = u16();
        if (!take(n))
            return std::string();
        return std::string(reinterpret_cast<const char *>(p_ + pos_ - n), n);
    }
    std::vector<uint8_t> blob()
    {
        uint16_t n = u16();
        if (!take(n))
            return {};
        return std::vector<uint8_t>(p_ + pos_ - n, p_ + pos_);
    }
    std::vector<std::string> strings()
    {
        uint16_t count = u16();
        std::vector<std::string> out;
        // Each string needs at least its length: a count the frame cannot
        // hold fails before anything is reserved.
        if (!ok_ || count > left() / 2) {
            ok_ = false;
            return out;
        }
        out.reserve(count);
        for (uint16_t i = 0; i < count && ok_; i++)
            out.push_back(str());
        if (!ok_)
            out.clear();
        return out;
    }

  private:
    bool take(size_t n)
    {
        if (!ok_ || n > n_ - pos_) {
            ok_ = false;
            return false;
        }
        pos_ += n;
        return true;
    }

    const uint8_t *p_;
    size_t n_;
    size_t pos_ = 0;
    bool ok_ = true;
};

class BeWriter
{
  public:
    void u16(uint16_t v)
    {
        uint8_t b[2];
        bytes::put_be16(b, v);
        out_.insert(out_.end(), b, b + 2);
    }
    void u32(uint32_t v)
    {
        uint8_t b[4];
        bytes::put_be32(b, v);
        out_.insert(out_.end(), b, b + 4);
    }
    // Strings and blobs longer than a u16 can count are cut: nothing this
    // program sends comes near it.
    void str(const std::string &s)
    {
        size_t n = s.size() > 0xFFFF ? 0xFFFF : s.size();
        u16(static_cast<uint16_t>(n));
        out_.insert(out_.end(), s.begin(), s.begin() + static_cast<std::ptrdiff_t>(n));
    }
    void blob(const uint8_t *p, size_t n)
    {
        n = n > 0xFFFF ? 0xFFFF : n;
        u16(static_cast<uint16_t>(n));
        out_.insert(out_.end(), p, p + n);
    }
    void strings(const std::vector<std::string> &v)
    {
        size_t n = v.size() > 0xFFFF ? 0xFFFF : v.size();
        u16(static_cast<uint16_t>(n));
        for (size_t i = 0; i < n; i++)
            str(v[i]);
    }
    void raw(const std::vector<uint8_t> &b) { out_.insert(out_.end(), b.begin(), b.end()); }
    std::vector<uint8_t> &bytes() { return out_; }

  private:
    std::vector<uint8_t> out_;
};

} // namespace reflector
