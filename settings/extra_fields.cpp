#include "settings/extra_fields.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cstdlib>

namespace gwcfg
{

namespace
{

const extra_format::int_field *find_int(const std::string &field)
{
    for (const extra_format::int_field &f : extra_format::int_fields) {
        if (field == f.name)
            return &f;
    }
    return nullptr;
}

} // namespace

bool is_extra_field(const std::string &field)
{
    return field == extra_format::backup_ip_name || find_int(field) != nullptr;
}

int set_extra_field(extra_format::extra_record &rec, const std::string &field, const std::string &value,
                    std::string &error)
{
    if (field == extra_format::backup_ip_name) {
        in_addr a;
        if (::inet_pton(AF_INET, value.c_str(), &a) != 1) {
            error = field + ": \"" + value + "\" is not a dotted IPv4 address";
            return -1;
        }
        rec.backup_ip = a.s_addr;
        return 0;
    }
    const extra_format::int_field *f = find_int(field);
    if (!f) {
        error = "unknown field \"" + field + "\"";
        return -1;
    }
    errno = 0;
    char *end = nullptr;
    const long v = value.empty() || value.size() > 12 ? -1 : std::strtol(value.c_str(), &end, 10);
    if (value.empty() || value.size() > 12 || errno != 0 || *end != '\0' || v < f->min || v > f->max) {
        error = field + ": \"" + value + "\" is out of range (" + std::to_string(f->min) + "-" +
                std::to_string(f->max) + ")";
        return -1;
    }
    rec.*f->member = static_cast<int32_t>(v);
    return 0;
}

} // namespace gwcfg
