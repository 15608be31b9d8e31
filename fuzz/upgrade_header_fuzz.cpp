// The headers of the two upgrade files: fwwriter's 36-byte image header and
// headflash's 8-byte upgrade file header, checked against every target.
#include "tools/fwwriter/upgrade_header.h"
#include "tools/headflash/targets.h"
#include "tools/headflash/upg_file.h"

#include <cstdint>
#include <cstring>
#include <initializer_list>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    upgrade_header hdr;
    if (upgrade_header_decode(data, size, &hdr) == 0) {
        if (size < upgrade_header_size)
            __builtin_trap();
        const char *ident = upgrade_header_check_ident(hdr);
        const char *sizes = upgrade_header_check_sizes(hdr);
        int64_t total = upgrade_header_data_size(hdr);
        if (total < 0 || (sizes == nullptr && total > 4LL * upgrade_max_part_size))
            __builtin_trap();
        (void)ident;
    }

    // The file size is taken from the input too: the header's claim and the
    // file's length are checked against each other.
    long long file_size = -1;
    if (size >= 4) {
        int32_t s;
        std::memcpy(&s, data + size - 4, 4);
        file_size = s;
    }
    for (headflash::Mode mode : {headflash::Mode::head, headflash::Mode::radio}) {
        for (long type = 0; type <= 24; ++type) {
            const headflash::Target *t = headflash::find_target(mode, type);
            if (t == nullptr)
                continue;
            uint32_t blocks = 0;
            size_t got = size < headflash::UPG_HEADER_SIZE ? size : headflash::UPG_HEADER_SIZE;
            if (headflash::check_upg_header(data, got, *t, file_size, blocks) == nullptr &&
                blocks > headflash::MAX_BLOCKS)
                __builtin_trap();
        }
    }
    return 0;
}
