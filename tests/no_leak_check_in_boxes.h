// For test programs that run sanitizer builds of a program in boxes:
// LeakSanitizer cannot follow a process in the box's PID namespace (it aborts
// reading /proc), so the children run without it. Leaks are checked by the
// in-process tests.
#pragma once

#include <cstdlib>
#include <string>

struct NoLeakCheckInBoxes {
    NoLeakCheckInBoxes()
    {
        const char *o = std::getenv("ASAN_OPTIONS");
        std::string opts = o ? std::string(o) + ":" : std::string();
        ::setenv("ASAN_OPTIONS", (opts + "detect_leaks=0").c_str(), 1);
    }
};

// Set before main, so before any box starts; include it from one file of
// the program only.
static const NoLeakCheckInBoxes no_leak_check_in_boxes;
