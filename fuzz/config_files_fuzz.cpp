// The configuration files as the daemon reads them: the main record in any
// of its versions and lengths (then printed), the codec word, the blocked
// list's items, and the extra settings record.
#include "gateway/config_record.h"
#include "gateway/extra_record.h"

#include <cstdint>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    uint8_t rec[config_format::record_size];
    std::memset(rec, 0xA5, sizeof rec);
    if (size <= config_format::record_size && config_format::upgrade(data, size, rec) == 0) {
        std::string text = config_format::format(rec);
        if (text.empty() || rec[0] != '2')
            __builtin_trap();
        // The string fields stay inside their 32 bytes, terminated or not.
        config_format::config_record r = config_format::decode(rec);
        if (r.remote_user.size() > 32 || r.remote_passwd.size() > 32 || r.passwd.size() > 32)
            __builtin_trap();
    }

    if (config_format::blocked_size_valid(size)) {
        for (size_t off = 0; off < size; off += config_format::blocked_item_size) {
            std::string name = config_format::blocked_item_name(data + off);
            if (name.size() > 32 || name.find('\0') != std::string::npos)
                __builtin_trap();
        }
    }
    extra_format::extra_record extra;
    std::string why;
    if (extra_format::decode(data, size, extra, why) == 0) {
        // Whatever is taken is within the ranges, and encodes back to itself.
        if (!extra_format::valid(extra, why) || size != extra_format::record_size)
            __builtin_trap();
        uint8_t again[extra_format::record_size];
        extra_format::encode(extra, again);
        if (std::memcmp(again, data, size) != 0)
            __builtin_trap();
    } else if (why.empty()) {
        __builtin_trap();
    }
    return 0;
}
