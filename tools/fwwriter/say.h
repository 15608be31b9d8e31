// Progress and error lines of fwwriter on standard output; the quiet modes
// clear `v` and every line is dropped.
#pragma once

namespace fwwriter
{

extern int v;

// printf when verbose.
void say(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
// One line (puts) when verbose.
void say_line(const char *line);

} // namespace fwwriter
