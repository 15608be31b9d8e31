// fwwriter's command line: exactly one of four mode arguments.
#pragma once

namespace fwwriter
{

enum { mode_none = 0, mode_check = 1, mode_upgrade = 2 };

struct Options {
    int mode = mode_none;
    int v = 1; // 0 in the quiet modes
};

extern const char usage_line[];

// 0 with `out` filled, or -1 for anything but one known argument.
int parse_options(int argc, const char *const *argv, Options *out);

} // namespace fwwriter
