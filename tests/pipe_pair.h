// Both ends of a pipe, each closed with its holder.
#pragma once

#include "base/unique_fd.h"

#include <fcntl.h>
#include <unistd.h>

struct PipePair {
    UniqueFd r, w;
    PipePair()
    {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) == 0) {
            r.reset(fds[0]);
            w.reset(fds[1]);
        }
    }
};
