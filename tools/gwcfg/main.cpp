// gwcfg: shows and edits a gateway's configuration folder ("/config" on the
// board; any folder on a PC with --dir). Values are checked before anything is
// written, and every file is replaced atomically.
#include "settings/config_dir.h"
#include "settings/configuration.h"
#include "settings/extra_fields.h"
#include "settings/settings.h"

#include "base/unique_fd.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace
{

using gwcfg::ConfigDir;

constexpr int exit_usage = 2;

void usage(FILE *to)
{
    std::fputs("usage: gwcfg [--dir DIR] show\n"
               "       gwcfg [--dir DIR] set FIELD VALUE [FIELD VALUE ...]\n"
               "       gwcfg [--dir DIR] blocked add NAME | remove NAME | list\n"
               "       gwcfg [--dir DIR] reset\n"
               "fields: ip gw dns mask remote_ip (dotted IPv4), remote_port (1-65535),\n"
               "        remote_user remote_passwd passwd (at most 31 bytes), buffers (1-250),\n"
               "        radio_type (gm360 dm3000 xcmp mtetra nx5xxx nx700 or 1-6),\n"
               "        crypto_mode (0-2), codec (alaw gsm speex or 1-3)\n"
               "extra:  backup_ip (dotted IPv4, 0.0.0.0 none), backup_port (0-65535, 0 the main's),\n"
               "        backup_after (1-100), main_retry (5-3600 s), tx_timeout (0-3600 s, 0 off),\n"
               "        voice_alarm (0-3600 s, 0 off)\n"
               "DIR defaults to /config.\n",
               to);
}

int fail(const std::string &message)
{
    std::fprintf(stderr, "gwcfg: %s\n", message.c_str());
    return 1;
}

int show(const ConfigDir &dir)
{
    uint8_t rec[config_format::record_size];
    std::string error;
    if (dir.read_record(rec, error) != 0)
        return fail(error + " (gwlinkd would write the factory configuration; see gwcfg reset)");
    std::fputs(config_format::format(rec).c_str(), stdout);
    int codec = dir.read_codec();
    if (codec < 0)
        std::printf("codec:alaw (no codec file; gwlinkd writes alaw)\n");
    else
        std::printf("codec:%s\n", gwcfg::codec_name(codec));
    std::vector<gwcfg::blocked_item> items;
    if (dir.read_blocked(items, error) != 0)
        return fail(error);
    for (const gwcfg::blocked_item &item : items)
        std::printf("blocked:%s\n", item.name().c_str());
    extra_format::extra_record extra;
    int present = dir.read_extra(extra, error);
    if (present < 0)
        return fail(error + " (gwlinkd runs with every extension off)");
    if (present > 0)
        std::fputs(extra_format::format(extra).c_str(), stdout);
    return 0;
}

int set(const ConfigDir &dir, int argc, char **argv)
{
    if (argc == 0 || argc % 2 != 0) {
        usage(stderr);
        return exit_usage;
    }
    std::string error;
    gwcfg::Configuration cfg;
    // A folder being prepared from nothing starts from the factory record; an
    // existing record that does not load is not silently replaced.
    if (gwcfg::read_configuration(dir, cfg, error) != 0)
        return fail(error + " (nothing changed; gwcfg reset writes the factory configuration)");

    std::vector<gwcfg::setting> settings;
    for (int i = 0; i < argc; i += 2)
        settings.emplace_back(argv[i], argv[i + 1]);
    gwcfg::Changes changes;
    if (gwcfg::apply_settings(cfg, settings, changes, error) != 0)
        return fail(error + "; nothing changed");
    if (changes.record) {
        uint8_t image[config_format::record_size];
        config_format::encode(cfg.record, image);
        if (dir.write_record(image, error) != 0)
            return fail(error);
    }
    if (changes.codec && dir.write_codec(cfg.codec, error) != 0)
        return fail(error);
    if (changes.extra && dir.write_extra(cfg.extra, error) != 0)
        return fail(error);
    return 0;
}

int blocked(const ConfigDir &dir, int argc, char **argv)
{
    std::vector<gwcfg::blocked_item> items;
    std::string error;
    if (argc == 1 && std::strcmp(argv[0], "list") == 0) {
        if (dir.read_blocked(items, error) != 0)
            return fail(error);
        for (const gwcfg::blocked_item &item : items)
            std::printf("%s\n", item.name().c_str());
        return 0;
    }
    if (argc != 2 || (std::strcmp(argv[0], "add") != 0 && std::strcmp(argv[0], "remove") != 0)) {
        usage(stderr);
        return exit_usage;
    }
    const std::string name = argv[1];
    if (!gwcfg::fits_text_field(name, error))
        return fail(error + "; nothing changed");
    if (dir.read_blocked(items, error) != 0)
        return fail(error + "; nothing changed");
    if (std::strcmp(argv[0], "add") == 0) {
        int added = gwcfg::add_blocked(items, name, error);
        if (added < 0)
            return fail(error + "; nothing changed");
        if (added == 1) {
            std::printf("%s is already blocked\n", name.c_str());
            return 0;
        }
    } else if (gwcfg::remove_blocked(items, name, error) != 0) {
        return fail(error);
    }
    return dir.write_blocked(items, error) == 0 ? 0 : fail(error);
}

int reset(const ConfigDir &dir)
{
    uint8_t image[config_format::record_size];
    config_format::encode(config_format::default_record(), image);
    std::string error;
    if (dir.write_record(image, error) != 0 || dir.write_codec(1, error) != 0 ||
        dir.write_blocked({}, error) != 0 || dir.remove_extra(error) != 0)
        return fail(error);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    std::string path = "/config";
    int i = 1;
    if (i < argc && (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0)) {
        usage(stdout);
        return 0;
    }
    if (i + 1 < argc && std::strcmp(argv[i], "--dir") == 0) {
        path = argv[i + 1];
        i += 2;
    }
    if (i >= argc) {
        usage(stderr);
        return exit_usage;
    }

    // A folder being prepared on a PC may not exist yet; the files hold
    // passwords, so it is made owner-only.
    const bool writes =
        std::strcmp(argv[i], "set") == 0 || std::strcmp(argv[i], "reset") == 0 ||
        (std::strcmp(argv[i], "blocked") == 0 && i + 1 < argc && std::strcmp(argv[i + 1], "list") != 0);
    if (writes && ::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST)
        return fail(path + ": " + std::strerror(errno));

    // One gwcfg at a time per folder: the stale-temporary sweep must not take
    // another run's file from under it.
    UniqueFd lock;
    std::string error;
    if (gwcfg::lock_folder(path, lock, error) != 0)
        return fail(error);
    ConfigDir dir(path);

    const std::string command = argv[i++];
    if (command == "show" && i == argc)
        return show(dir);
    if (command == "set")
        return set(dir, argc - i, argv + i);
    if (command == "blocked")
        return blocked(dir, argc - i, argv + i);
    if (command == "reset" && i == argc)
        return reset(dir);
    usage(stderr);
    return exit_usage;
}
