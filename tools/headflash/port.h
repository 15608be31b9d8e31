// The target's serial line: raw, 8 data bits, no parity, two stop bits, the
// target's speed, opened without becoming the controlling terminal.
#pragma once

#include <termios.h>

#include "base/unique_fd.h"

namespace headflash
{

// Turns the line's current settings `t` into the target's; -1 when the speed
// is refused.
int port_settings(termios &t, unsigned speed);

// The open, configured line, or an invalid descriptor with `error` set to the fatal
// message.
UniqueFd open_port(const char *path, unsigned speed, const char *&error);

} // namespace headflash
