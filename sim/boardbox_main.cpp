// boardbox: runs a product program in a box that looks like the gateway board.
#include <cstdio>

#include "sim/box.h"
#include "sim/box_options.h"

int main(int argc, char **argv)
{
    boardbox::Options opt;
    std::string error;
    bool help = false;
    if (boardbox::parse_options(argc, argv, opt, error, help) != 0) {
        std::fprintf(stderr, "boardbox: %s\n%s", error.c_str(), boardbox::usage_text());
        return 125;
    }
    if (help) {
        std::fputs(boardbox::usage_text(), stdout);
        return 0;
    }
    boardbox::Box box(std::move(opt));
    return box.run();
}
