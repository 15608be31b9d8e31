#include "tools/fwwriter/upgrade_header.h"

#include "base/byteorder.h"

#include <cstring>
#include <initializer_list>

namespace
{

const uint8_t image_name[8] = {'D', 'o', 'v', 'G', 'W', 'I', 'M', 0};

int32_t get_le32_signed(const uint8_t *p)
{
    const uint32_t u = bytes::get_le32(p);
    if (u <= 0x7FFFFFFFu)
        return static_cast<int32_t>(u);
    return -static_cast<int32_t>(~u) - 1;
}

} // namespace

int upgrade_header_decode(const uint8_t *buf, size_t len, upgrade_header *hdr)
{
    if (buf == nullptr || hdr == nullptr || len < upgrade_header_size)
        return -1;
    std::memcpy(hdr->name, buf, sizeof hdr->name);
    hdr->upg_ver = bytes::get_le32(buf + 8);
    hdr->fw_ver = bytes::get_le32(buf + 12);
    hdr->reserved = bytes::get_le32(buf + 16);
    hdr->mtd0 = get_le32_signed(buf + 20);
    hdr->mtd1 = get_le32_signed(buf + 24);
    hdr->mtd2 = get_le32_signed(buf + 28);
    hdr->mtd3 = get_le32_signed(buf + 32);
    return 0;
}

const char *upgrade_header_check_ident(const upgrade_header &hdr)
{
    if (std::memcmp(hdr.name, image_name, sizeof image_name) != 0)
        return "invalid hdr.name";
    if (hdr.upg_ver != 3)
        return "invalid hdr.upg_ver";
    if (((hdr.fw_ver >> 16) & 0xFFu) != 1)
        return "invalid hdr.fw_ver";
    return nullptr;
}

const char *upgrade_header_check_sizes(const upgrade_header &hdr)
{
    if (hdr.mtd0 > upgrade_max_part_size || hdr.mtd1 > upgrade_max_part_size ||
        hdr.mtd2 > upgrade_max_part_size || hdr.mtd3 > upgrade_max_part_size)
        return "invalid hdr.mtd*";
    return nullptr;
}

int64_t upgrade_header_data_size(const upgrade_header &hdr)
{
    int64_t total = 0;
    for (int32_t size : {hdr.mtd0, hdr.mtd1, hdr.mtd2, hdr.mtd3}) {
        if (size > 0)
            total += size;
    }
    return total;
}
