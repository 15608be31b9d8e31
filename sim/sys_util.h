// Small system-call helpers shared by the box's parts and its flash tool.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace boardbox
{

// "WHAT: <text of errno>".
std::string errstr(const std::string &what);

// Creates an empty file (which must not exist yet) to mount over; -1 on failure.
int make_file(const std::string &path, mode_t mode);

// Mounts a detached tree (from open_tree) at `where`; -1 on failure.
int attach(int tree, const std::string &where);

// Adds one to the event counter `efd`, waking whoever polls it.
void signal_event(int efd);

// What `wait_for_input` saw.
enum class Input {
    ready,  // `fd` has data or a connection to take
    woken,  // `wake` was signalled: time to stop
    closed, // `fd` reports a hang-up or an error without data
    failed, // poll itself failed
};

// Waits, retrying interruptions, until `fd` is readable or the event counter
// `wake` is signalled; a signalled `wake` wins.
Input wait_for_input(int fd, int wake);

} // namespace boardbox
