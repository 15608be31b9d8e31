#include "tools/gatesimd/commands.h"

#include "wire/roip_proto.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace
{

int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// A number in C notation (decimal, 0x hex, 0 octal) that fits 32 bits.
bool parse_u32(const std::string &s, uint32_t &out)
{
    if (s.empty() || s[0] == '-')
        return false;
    char *end = nullptr;
    errno = 0;
    unsigned long long v = std::strtoull(s.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || v > 0xFFFFFFFFull)
        return false;
    out = static_cast<uint32_t>(v);
    return true;
}

bool parse_int(const std::string &s, int &out)
{
    char *end = nullptr;
    errno = 0;
    long v = std::strtol(s.c_str(), &end, 0);
    if (s.empty() || errno != 0 || *end != '\0' || v < INT32_MIN || v > INT32_MAX)
        return false;
    out = static_cast<int>(v);
    return true;
}

std::string rest_of(std::istringstream &in)
{
    std::string rest;
    std::getline(in, rest);
    size_t start = rest.find_first_not_of(" \t");
    return start == std::string::npos ? std::string() : rest.substr(start);
}

std::string result(int r)
{
    return r == 0 ? "ok" : "error: the emulator refused it (too long for one message?)";
}

} // namespace

bool parse_hex(const std::string &text, std::vector<uint8_t> &out)
{
    std::vector<uint8_t> bytes;
    size_t i = 0;
    while (i < text.size()) {
        char c = text[i];
        if (c == ' ' || c == '\t' || c == ':' || c == ',' || c == '\r') {
            i++;
            continue;
        }
        if (c == '0' && i + 1 < text.size() && (text[i + 1] == 'x' || text[i + 1] == 'X'))
            i += 2;
        if (i + 1 >= text.size())
            return false;
        int hi = hex_digit(text[i]), lo = hex_digit(text[i + 1]);
        if (hi < 0 || lo < 0)
            return false;
        bytes.push_back(static_cast<uint8_t>(hi << 4 | lo));
        i += 2;
    }
    out = std::move(bytes);
    return true;
}

const char *CommandInterpreter::help_text()
{
    return "commands (one per line; numbers in C notation, e.g. 4096 or 0x1000):\n"
           "  sql VALUE                  squelch state to the gateways (event 503)\n"
           "  gpio BITMAP MASK           GPIO lines changed (event 502)\n"
           "  xml DOCUMENT               XML status, the rest of the line (tunnelled 2103)\n"
           "  xmlfile FILE               XML status read from FILE\n"
           "  polar NAME TEXT V1 V2      polar status (tunnelled 2033; name, text cut to 8)\n"
           "  raw TYPE HEX               any tunnelled extended message, payload in hex\n"
           "  dm3000 A B HEX             DM3000 status record (tunnelled 2003): a, b, status bytes\n"
           "  serial CHANNEL HEX         serial data for the heads (type 203; 0 = radio line),\n"
           "                             e.g. a GM360 display frame\n"
           "  serialfile CHANNEL FILE    one message per line of FILE (hex; '#' starts a comment)\n"
           "  help                       this list\n"
           "  quit                       stop gatesimd\n"
           "hex: pairs of digits, optionally separated by spaces, ':' or ',' (\"0x\" allowed)\n";
}

std::string CommandInterpreter::execute(const std::string &line, bool &quit)
{
    std::istringstream in(line);
    std::string cmd;
    if (!(in >> cmd) || cmd[0] == '#')
        return "";
    if (cmd == "help")
        return std::string(help_text()) + (ext_ ? ext_->help() : "") + "ok";
    if (cmd == "quit") {
        quit = true;
        return "ok";
    }
    if (cmd == "sql") {
        std::string v;
        int sql;
        if (!(in >> v) || !parse_int(v, sql) || !rest_of(in).empty())
            return "error: usage: sql VALUE";
        if (ext_)
            ext_->unlock_sql(sql);
        return result(sim_.async_unlock_sql(sql));
    }
    if (cmd == "gpio") {
        std::string b, m;
        uint32_t bitmap, mask;
        if (!(in >> b >> m) || !parse_u32(b, bitmap) || !parse_u32(m, mask) || !rest_of(in).empty())
            return "error: usage: gpio BITMAP MASK";
        if (ext_)
            ext_->gpio_changed(bitmap, mask);
        return result(sim_.async_gpio_changed(bitmap, mask));
    }
    if (cmd == "xml") {
        std::string doc = rest_of(in);
        if (doc.empty())
            return "error: usage: xml DOCUMENT";
        return result(sim_.async_ext_xml_status(doc));
    }
    if (cmd == "xmlfile") {
        std::string path = rest_of(in);
        std::ifstream f(path);
        if (path.empty() || !f)
            return "error: cannot read " + path;
        std::stringstream ss;
        ss << f.rdbuf();
        return result(sim_.async_ext_xml_status(ss.str()));
    }
    if (cmd == "polar") {
        std::string name, text, a, b;
        uint32_t v1, v2;
        if (!(in >> name >> text >> a >> b) || !parse_u32(a, v1) || !parse_u32(b, v2) || !rest_of(in).empty())
            return "error: usage: polar NAME TEXT V1 V2";
        return result(sim_.async_polar_status(name, text, v1, v2));
    }
    if (cmd == "raw") {
        std::string t;
        uint32_t type;
        std::vector<uint8_t> data;
        if (!(in >> t) || !parse_u32(t, type) || !parse_hex(rest_of(in), data))
            return "error: usage: raw TYPE HEX";
        return result(sim_.async_ext_raw(static_cast<int>(type), data.data(), static_cast<int>(data.size())));
    }
    if (cmd == "dm3000") {
        std::string a, b;
        uint32_t va, vb;
        std::vector<uint8_t> data;
        if (!(in >> a >> b) || !parse_u32(a, va) || !parse_u32(b, vb) || vb > 0xFF ||
            !parse_hex(rest_of(in), data))
            return "error: usage: dm3000 A B HEX (B is one byte)";
        auto payload = proto::build_dm_status_payload(va, static_cast<uint8_t>(vb), data.data(), data.size());
        return result(sim_.async_ext_raw(static_cast<int>(proto::ext_dm_status), payload.data(),
                                         static_cast<int>(payload.size())));
    }
    if (cmd == "serial" || cmd == "serialfile") {
        std::string ch;
        int channel;
        if (!(in >> ch) || !parse_int(ch, channel) || channel < 0 || channel > 255)
            return "error: usage: " + cmd + " CHANNEL " + (cmd == "serial" ? "HEX" : "FILE") +
                   " (channel 0..255)";
        if (cmd == "serialfile")
            return send_serial_file(channel, rest_of(in));
        std::vector<uint8_t> data;
        if (!parse_hex(rest_of(in), data) || data.empty())
            return "error: usage: serial CHANNEL HEX";
        return result(sim_.async_serial_data(channel, data.data(), static_cast<int>(data.size())));
    }
    std::string reply;
    if (ext_ && ext_->execute(cmd, rest_of(in), reply))
        return reply;
    return "error: unknown command " + cmd + " (try help)";
}

std::string CommandInterpreter::send_serial_file(int channel, const std::string &path)
{
    std::ifstream f(path);
    if (path.empty() || !f)
        return "error: cannot read " + path;
    std::vector<std::vector<uint8_t>> frames;
    std::string line;
    int number = 0;
    // The whole file is checked before anything is sent.
    while (std::getline(f, line)) {
        number++;
        size_t hash = line.find('#');
        if (hash != std::string::npos)
            line.erase(hash);
        std::vector<uint8_t> frame;
        if (!parse_hex(line, frame))
            return "error: " + path + ": line " + std::to_string(number) + " is not hex";
        if (!frame.empty())
            frames.push_back(std::move(frame));
    }
    for (const auto &frame : frames)
        if (sim_.async_serial_data(channel, frame.data(), static_cast<int>(frame.size())) != 0)
            return "error: a frame was refused";
    return "ok: " + std::to_string(frames.size()) + " frames";
}
