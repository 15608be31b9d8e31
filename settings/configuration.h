// A configuration folder's three files as one editable whole: read as gwcfg
// and gwwebd see them, changed only when every value is good, written back
// file by file with the folder's atomic replacement.
#pragma once

#include "gateway/extra_record.h"
#include "settings/config_dir.h"

#include "base/unique_fd.h"

#include <string>
#include <utility>
#include <vector>

namespace gwcfg
{

using setting = std::pair<std::string, std::string>; // FIELD, VALUE as gwcfg takes them

struct Configuration {
    config_format::config_record record;
    int codec = -1; // -1: no codec file (gwlinkd writes alaw)
    std::vector<blocked_item> blocked;
    // "extra.cfg": 1 read, 0 absent (every extension off), -1 unusable
    // (`extra_error` says why; gwlinkd runs with every extension off).
    extra_format::extra_record extra = extra_format::defaults();
    int extra_state = 0;
    std::string extra_error;
};

// Which files a change touched.
struct Changes {
    bool record = false;
    bool codec = false;
    bool extra = false;
};

// The folder's record, codec and extra settings (not the blocked list, which
// the caller reads when it needs it); a folder without "main.cfg" starts from
// the factory record, one whose record does not load is refused (-1,
// `error`). An unusable extra file is not an error here: only a change of its
// fields is refused.
int read_configuration(const ConfigDir &dir, Configuration &cfg, std::string &error);

// Applies FIELD VALUE pairs (record fields, `codec` and the extra fields).
// All or nothing: on -1 `cfg` is as it was and `error` names the first bad
// pair.
int apply_settings(Configuration &cfg, const std::vector<setting> &settings, Changes &changes,
                   std::string &error);

// 0 added, 1 already there, -1 refused (`error`).
int add_blocked(std::vector<blocked_item> &items, const std::string &name, std::string &error);
// 0 removed, -1 not there.
int remove_blocked(std::vector<blocked_item> &items, const std::string &name, std::string &error);
// The list as names, in file order.
std::vector<std::string> blocked_names(const std::vector<blocked_item> &items);

// One editor at a time per folder (gwcfg's runs and gwwebd's writes), and
// temporaries that an interrupted write left behind removed. 0, or -1.
int lock_folder(const std::string &path, UniqueFd &lock, std::string &error);

} // namespace gwcfg
