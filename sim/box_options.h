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
    std::string ram0_file;            // --ram0 FILE[:SIZE]; empty: no /dev/ram0
    uint64_t ram0_size = 0;           // 0: the file's own size
    std::string mtd_dir;              // --mtd DIR; empty: the partitions live in the box
    uint32_t low = 0;                 // input lines held low
    uint32_t high = 0;                // input lines forced high (wins over an earlier --low)
    std::vector<std::string> also;    // second program and its arguments
    std::vector<std::string> program; // PROGRAM and its arguments
};

// Parses argv[1..]. Returns 0, or -1 with a message in `error`. `--help` sets
// `help` and returns 0.
int parse_options(int argc, const char *const *argv, Options &opt, std::string &error, bool &help);

const char *usage_text();

// A byte count: decimal digits with an optional K (1024) or M (1048576)
// suffix; false on anything else, on 0 digits and on overflow.
bool parse_size(const std::string &text, uint64_t &out);

// FILE[:SIZE] of --ram0. A last ':' followed by a digit starts SIZE, which must
// then be valid; otherwise the whole text names the file. SIZE 0 is refused.
bool parse_ram0(const std::string &text, std::string &file, uint64_t &size, std::string &error);

// Hexadecimal mask, with or without "0x"; false on anything else.
bool parse_hex_mask(const std::string &text, uint32_t &out);

} // namespace boardbox
