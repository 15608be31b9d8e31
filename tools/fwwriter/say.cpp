#include "tools/fwwriter/say.h"

#include <cstdarg>
#include <cstdio>

namespace fwwriter
{

int v = 1;

void say(const char *fmt, ...)
{
    if (!v)
        return;
    va_list ap;
    va_start(ap, fmt);
    std::vprintf(fmt, ap);
    va_end(ap);
}

void say_line(const char *line)
{
    if (v)
        std::puts(line);
}

} // namespace fwwriter
