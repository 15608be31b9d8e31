// The three configuration files under "/config" and the safe way to open them
// for reading. The blocked list has one reader, shared by the list the
// controls match names against and the copy the binary link uploads at login.
#pragma once

#include "gateway/config_record.h"

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>

namespace config_files
{

constexpr const char *main_path = "/config/main.cfg";
constexpr const char *codec_path = "/config/codec.cfg";
constexpr const char *blocked_path = "/config/blocked.cfg";

// Opens an existing configuration file for reading, or -1. Non-blocking, so a
// FIFO or device planted at the path cannot stall the daemon; only regular
// files are accepted.
int open_regular(const char *path, struct stat *st);

// Opens a configuration file for rewriting, creating it with `mode`, and
// empties it; or -1. The same guard as for reading: a FIFO or device at the
// path is refused without blocking and left as it is, because replacing it
// would silently undo whatever the one who planted it meant.
int open_regular_for_write(const char *path, mode_t mode);

struct blocked_items {
    enum status_t { ok, cannot_open, bad_size } status = cannot_open;
    // The file's size, or the bytes actually read when it came up short.
    uint64_t size = 0;
    size_t count = 0;
    uint8_t data[config_format::blocked_max_size];
};

// Reads "/config/blocked.cfg" whole: 1 to 128 items of 36 bytes, or an error
// status. Read completely before anyone uses it, so a file that changes
// underneath cannot break a message whose header announced its size.
void read_blocked(blocked_items &out);

} // namespace config_files
