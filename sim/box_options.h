// The boardbox command line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace boardbox
{

struct Options {
    std::string config_dir;      // --config
    std::string save_config_dir; // --save-config
    std::string control;         // --control
    std::string log;             // --log
    std::string tty1 = "null";   // --tty1
    std::string tty3 = "null";   // --tty3
    std::string capture = "silence";
    std::string playback;
    std::string site;
    uint32_t low = 0;                 // input lines held low
    uint32_t high = 0;                // input lines forced high (wins over an earlier --low)
    std::vector<std::string> also;    // second program and its arguments
    std::vector<std::string> program; // PROGRAM and its arguments
};

// Parses argv[1..]. Returns 0, or -1 with a message in `error`. `--help` sets
// `help` and returns 0.
int parse_options(int argc, const char *const *argv, Options &opt, std::string &error, bool &help);

const char *usage_text();

// Hexadecimal mask, with or without "0x"; false on anything else.
bool parse_hex_mask(const std::string &text, uint32_t &out);

} // namespace boardbox
