#include "gateway/extra_record.h"

#include "base/byteorder.h"
#include "gateway/config_record.h"

#include <arpa/inet.h>

#include <cstring>

namespace extra_format
{

const int_field int_fields[int_field_count] = {
    {"backup_port", off_backup_port, &extra_record::backup_port, 0, 65535},
    {"backup_after", off_backup_after, &extra_record::backup_after, 1, 100},
    {"main_retry", off_main_retry, &extra_record::main_retry, 5, 3600},
    {"tx_timeout", off_tx_timeout, &extra_record::tx_timeout, 0, 3600},
    {"voice_alarm", off_voice_alarm, &extra_record::voice_alarm, 0, 3600},
};

extra_record defaults()
{
    return extra_record{};
}

void encode(const extra_record &rec, uint8_t out[record_size])
{
    std::memset(out, 0, record_size);
    std::memcpy(out + off_magic, magic, sizeof magic);
    bytes::put_le32(out + off_version, version);
    bytes::put_be32(out + off_backup_ip, ntohl(rec.backup_ip));
    for (const int_field &f : int_fields)
        bytes::put_le32(out + f.offset, static_cast<uint32_t>(rec.*f.member));
}

bool valid(const extra_record &rec, std::string &why)
{
    for (const int_field &f : int_fields) {
        const int32_t v = rec.*f.member;
        if (v < f.min || v > f.max) {
            why = std::string(f.name) + " " + std::to_string(v) + " out of range (" + std::to_string(f.min) +
                  "-" + std::to_string(f.max) + ")";
            return false;
        }
    }
    return true;
}

int decode(const uint8_t *data, size_t length, extra_record &out, std::string &why)
{
    if (length != record_size) {
        why = "invalid size (" + std::to_string(length) + " bytes)";
        return -1;
    }
    if (std::memcmp(data + off_magic, magic, sizeof magic) != 0) {
        why = "not a settings record";
        return -1;
    }
    const uint32_t v = bytes::get_le32(data + off_version);
    if (v != version) {
        why = "unknown version " + std::to_string(v);
        return -1;
    }
    extra_record rec;
    rec.backup_ip = htonl(bytes::get_be32(data + off_backup_ip));
    for (const int_field &f : int_fields)
        rec.*f.member = static_cast<int32_t>(bytes::get_le32(data + f.offset));
    if (!valid(rec, why))
        return -1;
    out = rec;
    return 0;
}

std::string format(const extra_record &rec)
{
    std::string s = std::string(backup_ip_name) + ":" + config_format::dotted(rec.backup_ip) + "\n";
    for (const int_field &f : int_fields)
        s += std::string(f.name) + ":" + std::to_string(rec.*f.member) + "\n";
    return s;
}

} // namespace extra_format
