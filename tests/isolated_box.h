// Whether this program runs inside an isolated boardbox: the box names its
// control socket and loopback is the only network interface, so nothing a
// server started here can reach another machine.
#pragma once

#include <net/if.h>

#include <cstdlib>
#include <cstring>
#include <string>

inline bool inside_isolated_box(std::string &why)
{
    if (!std::getenv("BOARDBOX_CONTROL")) {
        why = "BOARDBOX_CONTROL is not set: run this program inside boardbox";
        return false;
    }
    struct if_nameindex *ifs = if_nameindex();
    if (!ifs) {
        why = "cannot list network interfaces";
        return false;
    }
    bool only_lo = true;
    for (struct if_nameindex *i = ifs; i->if_index != 0; i++)
        if (std::strcmp(i->if_name, "lo") != 0)
            only_lo = false;
    if_freenameindex(ifs);
    if (!only_lo)
        why = "a network interface other than loopback exists: not an isolated box";
    return only_lo;
}
