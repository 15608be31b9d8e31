#include "settings/configuration.h"

#include "settings/extra_fields.h"
#include "settings/settings.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace gwcfg
{

int read_configuration(const ConfigDir &dir, Configuration &cfg, std::string &error)
{
    uint8_t image[config_format::record_size];
    if (dir.read_record(image, error) == 0) {
        cfg.record = config_format::decode(image);
    } else if (::access(dir.file("main.cfg").c_str(), F_OK) != 0) {
        cfg.record = config_format::default_record();
    } else {
        return -1;
    }
    cfg.codec = dir.read_codec();
    cfg.extra = extra_format::defaults();
    cfg.extra_error.clear();
    cfg.extra_state = dir.read_extra(cfg.extra, cfg.extra_error);
    if (cfg.extra_state < 0)
        cfg.extra = extra_format::defaults();
    return 0;
}

int apply_settings(Configuration &cfg, const std::vector<setting> &settings, Changes &changes,
                   std::string &error)
{
    Configuration next = cfg;
    changes = Changes();
    for (const setting &s : settings) {
        if (is_extra_field(s.first)) {
            // A file gwlinkd would not use is not silently replaced either.
            if (next.extra_state < 0) {
                error = next.extra_error + " (a reset of the configuration removes it)";
                return -1;
            }
            if (set_extra_field(next.extra, s.first, s.second, error) != 0)
                return -1;
            changes.extra = true;
            continue;
        }
        if (s.first == "codec") {
            int codec = parse_codec(s.second, error);
            if (codec < 0)
                return -1;
            next.codec = codec;
            changes.codec = true;
            continue;
        }
        if (set_field(next.record, s.first, s.second, error) != 0)
            return -1;
        changes.record = true;
    }
    if (changes.extra)
        next.extra_state = 1;
    cfg = next;
    return 0;
}

int add_blocked(std::vector<blocked_item> &items, const std::string &name, std::string &error)
{
    if (!fits_text_field(name, error))
        return -1;
    for (const blocked_item &item : items) {
        if (item.name() == name)
            return 1;
    }
    if (items.size() >= config_format::blocked_max_items) {
        error = "the list already holds 128 names";
        return -1;
    }
    blocked_item item{};
    std::memcpy(item.bytes + config_format::blocked_name_offset, name.data(), name.size());
    items.push_back(item);
    return 0;
}

int remove_blocked(std::vector<blocked_item> &items, const std::string &name, std::string &error)
{
    // The last of equal names goes, as gwcfg always did.
    for (auto it = items.rbegin(); it != items.rend(); ++it) {
        if (it->name() == name) {
            items.erase(std::next(it).base());
            return 0;
        }
    }
    error = name + " is not on the list";
    return -1;
}

std::vector<std::string> blocked_names(const std::vector<blocked_item> &items)
{
    std::vector<std::string> names;
    for (const blocked_item &item : items)
        names.push_back(item.name());
    return names;
}

int lock_folder(const std::string &path, UniqueFd &lock, std::string &error)
{
    lock.reset(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!lock.valid() || ::flock(lock.get(), LOCK_EX) != 0) {
        error = path + ": " + std::strerror(errno);
        return -1;
    }
    ConfigDir(path).remove_stale_temporaries();
    return 0;
}

} // namespace gwcfg
