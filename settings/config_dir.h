// A gateway configuration folder ("/config" on the board, any folder on a PC):
// reading its three files and replacing them atomically.
#pragma once

#include "gateway/config_record.h"
#include "gateway/extra_record.h"

#include <cstdint>
#include <string>
#include <vector>

namespace gwcfg
{

struct blocked_item {
    // The first four bytes are not the gateway's: kept as they were.
    uint8_t bytes[config_format::blocked_item_size];
    std::string name() const;
};

class ConfigDir
{
  public:
    explicit ConfigDir(std::string path);

    // The record as gwlinkd would load it (older versions upgraded). 0, or -1
    // with `error` saying why.
    int read_record(uint8_t out[config_format::record_size], std::string &error) const;
    // The stored codec type, or -1 when missing or short.
    int read_codec() const;
    // The blocked list; a missing file is an empty list. 0, or -1 with `error`.
    int read_blocked(std::vector<blocked_item> &items, std::string &error) const;
    // The extra settings: 1 read, 0 no file (`rec` untouched), -1 with
    // `error` when the file is there but gwlinkd would not use it.
    int read_extra(extra_format::extra_record &rec, std::string &error) const;

    // Each write goes to a new owner-only file in the same folder that is
    // synced and then renamed over the old one, and the folder is synced: a
    // reader sees the old file or the new one, never a part. 0, or -1 with
    // `error`.
    int write_record(const uint8_t rec[config_format::record_size], std::string &error) const;
    int write_codec(int type, std::string &error) const;
    // An empty list removes the file, as the gateway's factory reset does.
    int write_blocked(const std::vector<blocked_item> &items, std::string &error) const;
    int write_extra(const extra_format::extra_record &rec, std::string &error) const;
    // Removes the extra settings (every extension off); a missing file is no
    // error.
    int remove_extra(std::string &error) const;

    // Removes temporary files that an interrupted write left behind.
    void remove_stale_temporaries() const;

    std::string file(const char *name) const;

  private:
    int replace(const char *name, const uint8_t *data, size_t length, std::string &error) const;
    std::string path_;
};

} // namespace gwcfg
