// The 36-byte header in front of an upgrade image: identification, then the
// signed sizes of the partition data that follows it back to back.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t upgrade_header_size = 36;
// Largest size accepted for any partition.
constexpr int32_t upgrade_max_part_size = 32000000;

struct upgrade_header {
    uint8_t name[8];
    uint32_t upg_ver;
    uint32_t fw_ver;
    uint32_t reserved;
    // A negative size leaves the partition alone; 0 erases it only.
    int32_t mtd0;
    int32_t mtd1; // kernel, written to "/dev/mtd3"
    int32_t mtd2; // root file system, "/dev/mtd4"
    int32_t mtd3; // configuration, "/dev/mtd5"
};

// Decodes the first 36 bytes of `buf`; -1 when fewer are given.
int upgrade_header_decode(const uint8_t *buf, size_t len, upgrade_header *hdr);

// The message for a header that is not an upgrade image of ours, or null.
const char *upgrade_header_check_ident(const upgrade_header &hdr);

// The message for a size beyond the limit, or null.
const char *upgrade_header_check_sizes(const upgrade_header &hdr);

// Bytes of data behind the header: the sum of the sizes that are not
// negative, in 64 bits so that no header can wrap it.
int64_t upgrade_header_data_size(const upgrade_header &hdr);
