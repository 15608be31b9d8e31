#include "tools/headflash/upg_file.h"

#include <cstring>

#include "base/byteorder.h"
#include "tools/headflash/frames.h"

namespace headflash
{

const char *check_upg_header(const uint8_t *header, size_t got, const Target &target, long long file_size,
                             uint32_t &blocks)
{
    if (got < UPG_HEADER_SIZE)
        return "cannot read header!";
    if (std::memcmp(header, target.tag, 4) != 0)
        return "invalid upg type!";
    uint32_t size = bytes::get_le32(header + 4);
    if ((size & 0xFF) != 0 || size / BLOCK_SIZE > MAX_BLOCKS)
        return "invalid upg size!";
    // A short file would run out of data in the middle of programming.
    if (file_size >= 0 && static_cast<unsigned long long>(file_size) < UPG_HEADER_SIZE + 0ull + size)
        return "upg file too short!";
    blocks = size / BLOCK_SIZE;
    return nullptr;
}

} // namespace headflash
