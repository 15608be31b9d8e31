#include "tools/gatesimd/proto_option.h"

#include <cstdlib>

namespace
{

bool parse_part(const std::string &s, unsigned short &out)
{
    if (s.empty() || s.size() > 5 || s.find_first_not_of("0123456789") != std::string::npos)
        return false;
    unsigned long v = std::strtoul(s.c_str(), nullptr, 10);
    if (v > 65535)
        return false;
    out = static_cast<unsigned short>(v);
    return true;
}

} // namespace

bool parse_proto_version(const std::string &text, ProtoVersion &out)
{
    size_t dot = text.find('.');
    if (dot == std::string::npos)
        return false;
    ProtoVersion v;
    if (text.find('.', dot + 1) != std::string::npos || !parse_part(text.substr(0, dot), v.major) ||
        !parse_part(text.substr(dot + 1), v.minor))
        return false;
    out = v;
    return true;
}

std::string blocked_list_lines(const std::string &user, const std::vector<std::string> &names)
{
    std::string out =
        "gatesimd: blocked list of [" + user + "]: " + std::to_string(names.size()) + " names\n";
    for (const std::string &n : names)
        out += "gatesimd: blocked [" + n + "]\n";
    return out;
}
