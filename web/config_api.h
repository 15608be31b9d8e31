// The configuration page's reads and writes, with gwcfg's own checks and
// atomic file replacement (gw_settings), on the gateway's "/config".
#pragma once

#include "settings/configuration.h"

#include <nlohmann/json.hpp>

#include <string>
#include <utility>
#include <vector>

namespace gwweb
{

enum config_result { config_ok = 0, config_bad_value = -1, config_file_error = -2 };

// Every field gwcfg shows, by gwcfg's names; the local password is left out
// (it is changed only with the current one).
int read_config_json(nlohmann::json &out, std::string &error);

// A JSON object of gwcfg fields (each a string or a whole number), "codec"
// and "blocked" (the whole list, an array of names). Nothing is written
// unless every value is good.
int write_config_json(const nlohmann::json &in, std::string &error);

struct ConfigChange {
    std::vector<std::pair<std::string, std::string>> settings; // FIELD, VALUE as gwcfg takes them
    bool replace_blocked = false;
    std::vector<std::string> blocked;
};

// The JSON object turned into gwcfg's pairs and a blocked list, with the
// checks that need no file; config_bad_value with `error` otherwise.
int parse_config_change(const nlohmann::json &in, ConfigChange &change, std::string &error);

// The change applied to a configuration in memory, all or nothing.
int apply_config_change(const ConfigChange &change, gwcfg::Configuration &cfg, gwcfg::Changes &changes,
                        std::string &error);

// The local password of the record (the web's login); -2 when the record
// cannot be read.
int read_local_password(std::string &passwd, std::string &error);

// Replaces the local password after checking the current one; config_bad_value
// for a wrong current password or an unfit new one.
int change_local_password(const std::string &current, const std::string &next, std::string &error);

} // namespace gwweb
