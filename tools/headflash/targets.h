// The devices headflash can flash: a control head (mode "head", numbered like
// gwlinkd's radio types) or a radio (mode "radio"), each with the tag its
// upgrade files carry and the serial line and speed it is reached on.
#pragma once

namespace headflash
{

enum class Mode { head, radio };

struct Target {
    Mode mode;
    long type;
    const char *message; // printed when the target is chosen
    const char *tag;     // four characters at the start of the upgrade file
    const char *port;
    unsigned speed;
};

// nullptr when the mode has no such type.
const Target *find_target(Mode mode, long type);

} // namespace headflash
