#include "sim/box_options.h"

#include <cerrno>
#include <cstdlib>

namespace boardbox
{

const char *usage_text()
{
    return "usage: boardbox [options] -- PROGRAM [ARGS...]\n"
           "  --config DIR         fill /config from DIR\n"
           "  --save-config DIR    copy /config to DIR at exit\n"
           "  --low MASK           input lines held low (logical GPIO bits, hex)\n"
           "  --high MASK          input lines held high (the default)\n"
           "  --control SOCKET     control socket (newline-separated JSON)\n"
           "  --log FILE           time-stamped event log\n"
           "  --tty1 KIND          peer on /dev/ttyS1 (null, raw, or an emulator)\n"
           "  --tty3 KIND          peer on /dev/ttyS3\n"
           "  --capture SOURCE     silence, tone:HZ or a WAV file (8000 Hz)\n"
           "  --playback FILE.wav  record what is played on /dev/ssc0\n"
           "  --site NAME          join the multi-board site NAME\n"
           "  --ram0 FILE[:SIZE]   /dev/ram0 holds a copy of FILE, zero padded to SIZE\n"
           "                       (bytes, or with a K or M suffix)\n"
           "  --mtd DIR            /dev/mtd3../dev/mtd5 are DIR/mtd3..DIR/mtd5\n"
           "  --also [--] PROGRAM2 [ARGS...] -- PROGRAM [ARGS...]\n"
           "                       start PROGRAM2 first, end it when PROGRAM ends\n";
}

bool parse_hex_mask(const std::string &text, uint32_t &out)
{
    std::string s = text;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X'))
        s = s.substr(2);
    if (s.empty() || s.size() > 8)
        return false;
    for (char c : s) {
        bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
        if (!hex)
            return false;
    }
    out = static_cast<uint32_t>(std::strtoul(s.c_str(), nullptr, 16));
    return true;
}

bool parse_size(const std::string &text, uint64_t &out)
{
    uint64_t unit = 1;
    std::string digits = text;
    if (!digits.empty()) {
        char last = digits.back();
        if (last == 'K' || last == 'k')
            unit = 1024;
        else if (last == 'M' || last == 'm')
            unit = 1024 * 1024;
        if (unit != 1)
            digits.pop_back();
    }
    if (digits.empty() || digits.size() > 15)
        return false;
    uint64_t n = 0;
    for (char c : digits) {
        if (c < '0' || c > '9')
            return false;
        n = n * 10 + static_cast<uint64_t>(c - '0');
    }
    out = n * unit; // 15 digits times 2^20 stays far below 2^64
    return true;
}

bool parse_ram0(const std::string &text, std::string &file, uint64_t &size, std::string &error)
{
    file = text;
    size = 0;
    size_t colon = text.rfind(':');
    if (colon != std::string::npos && colon + 1 < text.size() && text[colon + 1] >= '0' &&
        text[colon + 1] <= '9') {
        if (!parse_size(text.substr(colon + 1), size) || size == 0) {
            error = "--ram0: not a size: " + text.substr(colon + 1);
            return false;
        }
        file = text.substr(0, colon);
    }
    if (file.empty()) {
        error = "--ram0 needs a file";
        return false;
    }
    return true;
}

int parse_options(int argc, const char *const *argv, Options &opt, std::string &error, bool &help)
{
    help = false;
    int i = 1;
    auto value = [&](const std::string &name, std::string &out) {
        if (i + 1 >= argc) {
            error = name + " needs a value";
            return false;
        }
        out = argv[++i];
        return true;
    };
    for (; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--") {
            ++i;
            break;
        }
        if (a == "--help" || a == "-h") {
            help = true;
            return 0;
        }
        std::string v;
        if (a == "--config") {
            if (!value(a, opt.config_dir))
                return -1;
        } else if (a == "--save-config") {
            if (!value(a, opt.save_config_dir))
                return -1;
        } else if (a == "--control") {
            if (!value(a, opt.control))
                return -1;
        } else if (a == "--log") {
            if (!value(a, opt.log))
                return -1;
        } else if (a == "--tty1") {
            if (!value(a, opt.tty1))
                return -1;
        } else if (a == "--tty3") {
            if (!value(a, opt.tty3))
                return -1;
        } else if (a == "--capture") {
            if (!value(a, opt.capture))
                return -1;
        } else if (a == "--playback") {
            if (!value(a, opt.playback))
                return -1;
        } else if (a == "--site") {
            if (!value(a, opt.site))
                return -1;
        } else if (a == "--ram0") {
            if (!value(a, v) || !parse_ram0(v, opt.ram0_file, opt.ram0_size, error))
                return -1;
        } else if (a == "--mtd") {
            if (!value(a, opt.mtd_dir))
                return -1;
            if (opt.mtd_dir.empty()) {
                error = "--mtd needs a directory";
                return -1;
            }
        } else if (a == "--low" || a == "--high") {
            if (!value(a, v))
                return -1;
            uint32_t m = 0;
            if (!parse_hex_mask(v, m)) {
                error = a + ": not a hexadecimal mask: " + v;
                return -1;
            }
            if (a == "--low") {
                opt.low |= m;
                opt.high &= ~m;
            } else {
                opt.high |= m;
                opt.low &= ~m;
            }
        } else if (a == "--also") {
            ++i;
            if (i < argc && std::string(argv[i]) == "--")
                ++i;
            for (; i < argc && std::string(argv[i]) != "--"; ++i)
                opt.also.emplace_back(argv[i]);
            if (opt.also.empty()) {
                error = "--also needs a program";
                return -1;
            }
            if (i >= argc) {
                error = "--also PROGRAM2 must be followed by -- PROGRAM";
                return -1;
            }
            ++i;
            break;
        } else {
            error = "unknown option: " + a;
            return -1;
        }
    }
    for (; i < argc; ++i)
        opt.program.emplace_back(argv[i]);
    if (opt.program.empty()) {
        error = "no program given";
        return -1;
    }
    return 0;
}

} // namespace boardbox
