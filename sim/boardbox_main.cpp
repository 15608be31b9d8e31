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

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define BOARDBOX_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(BOARDBOX_ASAN)
// The supervisor's /proc is the box's own, where its host PID does not exist:
// LeakSanitizer's end-of-process scan cannot list this process's threads there.
extern "C" int __lsan_is_turned_off()
{
    return 1;
}
#endif
