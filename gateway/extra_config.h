// class_extra_config: the settings of "/config/extra.cfg" as gwlinkd runs with
// them. The file is optional: without it, or with one that does not hold a
// valid record, every feature it switches on stays off and the gateway runs as
// it always has. gwlinkd holds exactly one instance, g_extra_config.
#pragma once

#include "gateway/extra_record.h"

#include <mutex>
#include <string>

class class_extra_config
{
  public:
    static constexpr const char *path = "/config/extra.cfg";

    // Reads the file once. A missing file prints nothing. One that cannot be
    // used (not a regular file, unreadable, the wrong size, not a valid
    // record) prints one line saying why and leaves everything off; a valid
    // one prints one line with its settings. Returns 0 when the settings were
    // taken from the file, -1 otherwise.
    int load();
    // What load took, or the defaults (everything off).
    extra_format::extra_record settings();

  private:
    std::mutex lock_;
    extra_format::extra_record settings_ = extra_format::defaults();
};

// The extra settings of this process, created before main runs.
extern class_extra_config g_extra_config;
