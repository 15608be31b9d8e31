#include "web/config_api.h"

#include "gateway/config_record.h"
#include "settings/configuration.h"
#include "settings/extra_fields.h"
#include "settings/settings.h"
#include "web/paths.h"
#include "web/session_store.h"

namespace gwweb
{

namespace
{

using nlohmann::json;

// Longer values are refused before any check quotes them back.
constexpr size_t max_value_length = 64;

int value_text(const std::string &field, const json &v, std::string &text, std::string &error)
{
    if (v.is_string()) {
        text = v.get<std::string>();
    } else if (v.is_number_integer()) {
        text = v.is_number_unsigned() ? std::to_string(v.get<uint64_t>()) : std::to_string(v.get<int64_t>());
    } else {
        error = field + ": must be a text or a whole number";
        return -1;
    }
    if (text.size() > max_value_length) {
        error = field + ": too long (" + std::to_string(text.size()) + " bytes)";
        return -1;
    }
    return 0;
}

int write_files(const gwcfg::ConfigDir &dir, const gwcfg::Configuration &cfg, const gwcfg::Changes &changes,
                bool blocked, std::string &error)
{
    if (changes.record) {
        uint8_t image[config_format::record_size];
        config_format::encode(cfg.record, image);
        if (dir.write_record(image, error) != 0)
            return config_file_error;
    }
    if (changes.codec && dir.write_codec(cfg.codec, error) != 0)
        return config_file_error;
    if (changes.extra && dir.write_extra(cfg.extra, error) != 0)
        return config_file_error;
    if (blocked && dir.write_blocked(cfg.blocked, error) != 0)
        return config_file_error;
    return config_ok;
}

} // namespace

int read_config_json(json &out, std::string &error)
{
    gwcfg::ConfigDir dir(config_dir);
    gwcfg::Configuration cfg;
    if (gwcfg::read_configuration(dir, cfg, error) != 0 || dir.read_blocked(cfg.blocked, error) != 0)
        return config_file_error;
    const config_format::config_record &r = cfg.record;
    out = json::object();
    out["ip"] = config_format::dotted(r.ip);
    out["gw"] = config_format::dotted(r.gw);
    out["dns"] = config_format::dotted(r.dns);
    out["mask"] = config_format::dotted(r.mask);
    out["remote_ip"] = config_format::dotted(r.remote_ip);
    out["remote_port"] = r.remote_port;
    out["remote_user"] = r.remote_user;
    out["remote_passwd"] = r.remote_passwd;
    out["buffers"] = r.buffers;
    out["radio_type"] = gwcfg::radio_type_name(r.radio_type);
    out["crypto_mode"] = r.crypto_mode;
    // Without a codec file gwlinkd writes and uses A-law.
    out["codec"] = gwcfg::codec_name(cfg.codec < 0 ? 1 : cfg.codec);
    out["blocked"] = gwcfg::blocked_names(cfg.blocked);
    // The extensions; an unusable file shows as its reason, every one off.
    const extra_format::extra_record &x = cfg.extra;
    out["backup_ip"] = config_format::dotted(x.backup_ip);
    for (const extra_format::int_field &f : extra_format::int_fields)
        out[f.name] = x.*(f.member);
    if (cfg.extra_state < 0)
        out["extra_error"] = cfg.extra_error;
    return config_ok;
}

int parse_config_change(const json &in, ConfigChange &change, std::string &error)
{
    change = ConfigChange();
    if (!in.is_object()) {
        error = "the configuration must be a JSON object";
        return config_bad_value;
    }
    for (auto it = in.begin(); it != in.end(); ++it) {
        const std::string &field = it.key();
        if (field == "blocked") {
            const json &list = it.value();
            if (!list.is_array()) {
                error = "blocked: must be a list of names";
                return config_bad_value;
            }
            change.replace_blocked = true;
            for (const json &name : list) {
                if (!name.is_string()) {
                    error = "blocked: every name must be a text";
                    return config_bad_value;
                }
                if (name.get<std::string>().size() > max_value_length) {
                    error = "blocked: a name is too long";
                    return config_bad_value;
                }
                change.blocked.push_back(name.get<std::string>());
            }
            continue;
        }
        if (field == "passwd") {
            error = "passwd: change it on its own, with the current password";
            return config_bad_value;
        }
        std::string text;
        if (value_text(field, it.value(), text, error) != 0)
            return config_bad_value;
        change.settings.emplace_back(field, text);
    }
    return config_ok;
}

int apply_config_change(const ConfigChange &change, gwcfg::Configuration &cfg, gwcfg::Changes &changes,
                        std::string &error)
{
    gwcfg::Configuration next = cfg;
    if (gwcfg::apply_settings(next, change.settings, changes, error) != 0)
        return config_bad_value;
    if (change.replace_blocked) {
        next.blocked.clear();
        for (const std::string &name : change.blocked) {
            if (gwcfg::add_blocked(next.blocked, name, error) < 0) {
                error = "blocked: " + error;
                return config_bad_value;
            }
        }
    }
    cfg = next;
    return config_ok;
}

int write_config_json(const json &in, std::string &error)
{
    ConfigChange change;
    if (parse_config_change(in, change, error) != config_ok)
        return config_bad_value;
    UniqueFd lock;
    if (gwcfg::lock_folder(config_dir, lock, error) != 0)
        return config_file_error;
    gwcfg::ConfigDir dir(config_dir);
    gwcfg::Configuration cfg;
    if (gwcfg::read_configuration(dir, cfg, error) != 0)
        return config_file_error;
    gwcfg::Changes changes;
    if (apply_config_change(change, cfg, changes, error) != config_ok)
        return config_bad_value;
    return write_files(dir, cfg, changes, change.replace_blocked, error);
}

int read_local_password(std::string &passwd, std::string &error)
{
    gwcfg::ConfigDir dir(config_dir);
    gwcfg::Configuration cfg;
    if (gwcfg::read_configuration(dir, cfg, error) != 0)
        return config_file_error;
    passwd = cfg.record.passwd;
    return config_ok;
}

int change_local_password(const std::string &current, const std::string &next, std::string &error)
{
    if (next.empty()) {
        error = "the new password is empty";
        return config_bad_value;
    }
    if (!gwcfg::fits_text_field(next, error)) {
        error = "the new password is longer than 31 bytes or holds a NUL byte";
        return config_bad_value;
    }
    UniqueFd lock;
    if (gwcfg::lock_folder(config_dir, lock, error) != 0)
        return config_file_error;
    gwcfg::ConfigDir dir(config_dir);
    gwcfg::Configuration cfg;
    if (gwcfg::read_configuration(dir, cfg, error) != 0)
        return config_file_error;
    if (!constant_time_equal(current, cfg.record.passwd)) {
        error = "the current password is wrong";
        return config_bad_value;
    }
    cfg.record.passwd = next;
    gwcfg::Changes changes;
    changes.record = true;
    return write_files(dir, cfg, changes, false, error);
}

} // namespace gwweb
