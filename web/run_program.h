// Runs one of the board's own programs (fwwriter, killall) without a shell,
// found on PATH as init set it.
#pragma once

#include <string>
#include <vector>

namespace gwweb
{

// Runs to its end; `output` gets at most `limit` bytes of its standard output
// and error. The exit status, 128+N for a signal, or -1 when it could not run.
int run_program(const std::vector<std::string> &argv, std::string &output, size_t limit = 8192);

// Whether PROGRAM is an executable file in one of PATH's folders.
bool on_path(const std::string &program);

// Starts it in a process of its own that nobody waits for (an upgrade ends in
// a reboot). 0, or -1.
int start_detached(const std::vector<std::string> &argv);

} // namespace gwweb
