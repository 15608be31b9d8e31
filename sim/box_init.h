// The box's init: PID 1 of the box's PID namespace. It mounts /proc, installs
// the ioctl filter, hands its notification descriptor to the supervisor,
// waits for the go, starts the programs, forwards signals to PROGRAM, reaps
// every orphan, and when PROGRAM ends, ends the rest and exits with PROGRAM's
// status (128+N for signal N).
#pragma once

#include <string>
#include <vector>

#include "sim/event_log.h"

namespace boardbox
{

struct InitPlan {
    std::vector<std::string> program;
    std::vector<std::string> also; // started first, ended with PROGRAM
    std::string control;           // passed to the programs as BOARDBOX_CONTROL
    int sync_fd = -1;              // socket to the supervisor
    bool seek_filter = false;      // the supervisor also answers lseek
    EventLog *log = nullptr;
};

[[noreturn]] void run_init(const InitPlan &plan);

// 128+N for a signal, the exit code otherwise.
int exit_status_of(int wait_status);

} // namespace boardbox
