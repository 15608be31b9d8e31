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

// Writes all `n` bytes (retrying partial writes and interruptions); -1 on failure.
int write_all(int fd, const uint8_t *p, size_t n);

// Creates an empty file (which must not exist yet) to mount over; -1 on failure.
int make_file(const std::string &path, mode_t mode);

// Mounts a detached tree (from open_tree) at `where`; -1 on failure.
int attach(int tree, const std::string &where);

} // namespace boardbox
