#include "image/mtd/flash_ops.h"

#include "base/fd_io.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

namespace mtdtool
{

namespace
{

// "WHAT at 0xOFFSET: errno text", taken before anything else changes errno.
std::string at(const char *what, uint64_t offset)
{
    const int err = errno;
    char text[160];
    std::snprintf(text, sizeof text, "%s at 0x%llx: %s", what, static_cast<unsigned long long>(offset),
                  std::strerror(err));
    return text;
}

bool all_erased(const uint8_t *p, size_t n)
{
    return std::all_of(p, p + n, [](uint8_t b) { return b == 0xFF; });
}

bool usable(const FlashGeometry &g)
{
    return g.erase_size > 0 && g.write_size > 0 && g.erase_size % g.write_size == 0 &&
           g.size % g.erase_size == 0;
}

} // namespace

FlashResult erase_all(FlashDevice &dev)
{
    FlashResult res;
    const FlashGeometry g = dev.geometry();
    if (!usable(g)) {
        res.error = "unusable flash geometry";
        return res;
    }
    res.ok = true;
    for (uint64_t off = 0; off < g.size; off += g.erase_size) {
        const int bad = dev.is_bad(off);
        if (bad != 0) {
            if (bad < 0 && res.error.empty())
                res.error = at("bad block check failed", off);
            res.ok = res.ok && bad > 0;
            ++res.bad_blocks;
            continue;
        }
        if (dev.erase_block(off) != 0) {
            if (res.error.empty())
                res.error = at("erase failed", off);
            res.ok = false;
            continue;
        }
        ++res.bytes;
    }
    return res;
}

FlashResult write_stream(FlashDevice &dev, int in)
{
    FlashResult res;
    const FlashGeometry g = dev.geometry();
    if (!usable(g)) {
        res.error = "unusable flash geometry";
        return res;
    }
    std::vector<uint8_t> block(g.erase_size);
    uint64_t off = 0;
    for (;;) {
        const ssize_t got = read_full(in, block.data(), block.size());
        if (got < 0) {
            res.error = std::string("read failed: ") + std::strerror(errno);
            return res;
        }
        if (got == 0)
            break;
        // The next good block, or the end of the partition.
        for (;;) {
            if (off >= g.size) {
                res.error = "data does not fit the partition";
                return res;
            }
            const int bad = dev.is_bad(off);
            if (bad < 0) {
                res.error = at("bad block check failed", off);
                return res;
            }
            if (bad == 0)
                break;
            ++res.bad_blocks;
            off += g.erase_size;
        }
        const size_t used = static_cast<size_t>(got);
        const size_t padded = (used + g.write_size - 1) / g.write_size * g.write_size;
        std::fill(block.begin() + static_cast<std::ptrdiff_t>(used), block.end(), 0xFF);
        if (dev.erase_block(off) != 0) {
            res.error = at("erase failed", off);
            return res;
        }
        // NOR takes the block in one write; NAND page by page, erased pages skipped.
        const size_t step = g.nand ? g.write_size : padded;
        for (size_t p = 0; p < padded; p += step) {
            if (g.nand && all_erased(block.data() + p, step))
                continue;
            if (dev.program(off + p, block.data() + p, step) != 0) {
                res.error = at("write failed", off + p);
                return res;
            }
        }
        res.bytes += used;
        off += g.erase_size;
        if (used < block.size())
            break;
    }
    res.ok = true;
    return res;
}

} // namespace mtdtool
