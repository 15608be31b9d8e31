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
