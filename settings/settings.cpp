#include "settings/settings.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace gwcfg
{

namespace
{

const char *const radio_names[] = {"gm360", "dm3000", "xcmp", "mtetra", "nx5xxx", "nx700"};
const char *const codec_names[] = {"alaw", "gsm", "speex"};

// A whole decimal number within [lo, hi].
bool parse_int(const std::string &text, long lo, long hi, long &out)
{
    if (text.empty() || text.size() > 12)
        return false;
    errno = 0;
    char *end = nullptr;
    long v = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v < lo || v > hi)
        return false;
    out = v;
    return true;
}

bool parse_address(const std::string &text, uint32_t &out)
{
    in_addr a;
    if (::inet_pton(AF_INET, text.c_str(), &a) != 1)
        return false;
    out = a.s_addr;
    return true;
}

int pick(const std::string &value, const char *const *names, int count, const char *what, std::string &error)
{
    for (int i = 0; i < count; ++i) {
        if (value == names[i])
            return i + 1;
    }
    long n;
    if (parse_int(value, 1, count, n))
        return static_cast<int>(n);
    error = std::string("unknown ") + what + " \"" + value + "\" (";
    for (int i = 0; i < count; ++i)
        error += std::string(i ? ", " : "") + names[i];
    error += std::string(" or 1-") + std::to_string(count) + ")";
    return -1;
}

} // namespace

bool fits_text_field(const std::string &value, std::string &error)
{
    if (value.size() >= config_format::string_field_size) {
        error = "\"" + value + "\" is longer than 31 bytes";
        return false;
    }
    if (value.find('\0') != std::string::npos) {
        error = "text holds a NUL byte";
        return false;
    }
    return true;
}

int parse_codec(const std::string &value, std::string &error)
{
    return pick(value, codec_names, 3, "codec", error);
}

const char *codec_name(int type)
{
    return type >= 1 && type <= 3 ? codec_names[type - 1] : "unknown";
}

int parse_radio_type(const std::string &value, std::string &error)
{
    return pick(value, radio_names, 6, "radio type", error);
}

const char *radio_type_name(int type)
{
    return type >= 1 && type <= 6 ? radio_names[type - 1] : "unknown";
}

int set_field(config_format::config_record &rec, const std::string &field, const std::string &value,
              std::string &error)
{
    struct address_field {
        const char *name;
        uint32_t config_format::config_record::*member;
    };
    static const address_field addresses[] = {
        {"ip", &config_format::config_record::ip},
        {"gw", &config_format::config_record::gw},
        {"dns", &config_format::config_record::dns},
        {"mask", &config_format::config_record::mask},
        {"remote_ip", &config_format::config_record::remote_ip},
    };
    for (const address_field &a : addresses) {
        if (field == a.name) {
            if (!parse_address(value, rec.*a.member)) {
                error = field + ": \"" + value + "\" is not a dotted IPv4 address";
                return -1;
            }
            return 0;
        }
    }

    struct text_field {
        const char *name;
        std::string config_format::config_record::*member;
    };
    static const text_field texts[] = {
        {"remote_user", &config_format::config_record::remote_user},
        {"remote_passwd", &config_format::config_record::remote_passwd},
        {"passwd", &config_format::config_record::passwd},
    };
    for (const text_field &t : texts) {
        if (field == t.name) {
            if (!fits_text_field(value, error)) {
                error = field + ": " + error;
                return -1;
            }
            rec.*t.member = value;
            return 0;
        }
    }

    long n;
    if (field == "remote_port") {
        if (!parse_int(value, 1, 65535, n)) {
            error = "remote_port: \"" + value + "\" is not a port (1-65535)";
            return -1;
        }
        rec.remote_port = static_cast<int32_t>(n);
        return 0;
    }
    if (field == "buffers") {
        if (!parse_int(value, 1, max_buffers, n)) {
            error = "buffers: \"" + value + "\" is out of range (1-" + std::to_string(max_buffers) + ")";
            return -1;
        }
        rec.buffers = static_cast<int32_t>(n);
        return 0;
    }
    if (field == "crypto_mode") {
        if (!parse_int(value, 0, 2, n)) {
            error = "crypto_mode: \"" + value + "\" is not 0, 1 or 2";
            return -1;
        }
        rec.crypto_mode = static_cast<int32_t>(n);
        return 0;
    }
    if (field == "radio_type") {
        int type = parse_radio_type(value, error);
        if (type < 0)
            return -1;
        rec.radio_type = type;
        return 0;
    }
    error = "unknown field \"" + field + "\"";
    return -1;
}

} // namespace gwcfg
