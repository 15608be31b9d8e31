#include "gateway/config.h"

#include "gateway/config_files.h"

#include "base/byteorder.h"
#include "base/fd_io.h"
#include "base/unique_fd.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

class_config g_config;

namespace
{

using config_files::blocked_path;
using config_files::codec_path;
using config_files::main_path;
using config_files::open_regular;
using config_files::open_regular_for_write;

// The files hold passwords: nobody but the owner may read them.
constexpr mode_t new_file_mode = 0600;

} // namespace

class_config::class_config()
{
    std::memset(record_, 0, sizeof record_);
}

class_config::~class_config() = default;

int class_config::load()
{
    struct stat st;
    UniqueFd fd(open_regular(main_path, &st));
    if (!fd.valid())
        return -1;
    if (st.st_size > static_cast<off_t>(config_format::record_size))
        return -1;

    uint8_t data[config_format::record_size] = {};
    ssize_t n = read_full(fd.get(), data, sizeof data);
    fd.close();
    if (n < 0)
        return -1;
    // A failed load keeps the record in memory as it was.
    if (config_format::upgrade(data, static_cast<size_t>(n), record_) != 0)
        return -1;

    int type = load_codec();
    if (type < 0) {
        save_codec(1);
        type = 1;
    }
    codec_ = type;
    return 0;
}

int class_config::create_default()
{
    config_format::encode(config_format::default_record(), record_);
    // The factory codec too, stored or not: a board whose files cannot be
    // written (read-only "/config", a FIFO in place of the record) must still
    // start on factory values instead of failing for want of a codec.
    codec_ = 1;

    UniqueFd fd(open_regular_for_write(main_path, new_file_mode));
    if (!fd.valid())
        return -1;
    if (!write_full(fd.get(), record_, sizeof record_))
        return -1;
    if (::fsync(fd.get()) != 0 || fd.close() != 0)
        return -1;

    save_codec(1);
    ::unlink(blocked_path);
    return 0;
}

int class_config::print()
{
    const std::string text = config_format::format(record_);
    // fwrite, not fputs: a version byte of 0 must not cut the output short.
    std::fwrite(text.data(), 1, text.size(), stdout);
    return 0;
}

const uint8_t *class_config::record()
{
    return record_;
}

int class_config::load_codec()
{
    struct stat st;
    UniqueFd fd(open_regular(codec_path, &st));
    if (!fd.valid())
        return -1;
    uint8_t data[4];
    if (read_full(fd.get(), data, sizeof data) != static_cast<ssize_t>(sizeof data))
        return -1;
    return static_cast<int32_t>(bytes::get_le32(data));
}

int class_config::save_codec(int type)
{
    UniqueFd fd(open_regular_for_write(codec_path, new_file_mode));
    if (!fd.valid())
        return -1;
    uint8_t data[4];
    bytes::put_le32(data, static_cast<uint32_t>(type));
    if (!write_full(fd.get(), data, sizeof data))
        return -1;
    if (::fsync(fd.get()) != 0 || fd.close() != 0)
        return -1;
    return 0;
}

int class_config::codec()
{
    return codec_;
}

int class_config::setblockedlist_load()
{
    std::vector<std::string> names;
    {
        std::lock_guard<std::mutex> lock(blocked_lock_);
        blocked_.clear();
    }

    // Large: kept off the stack of the link thread that reloads the list.
    std::unique_ptr<config_files::blocked_items> file(new config_files::blocked_items);
    config_files::read_blocked(*file);
    if (file->status == config_files::blocked_items::cannot_open) {
        std::printf("cfg : load_setblockedlist : cannot open config file\n");
        return -1;
    }
    if (file->status == config_files::blocked_items::bad_size) {
        std::printf("cfg : load_setblockedlist : invalid config file size (%llu)\n",
                    static_cast<unsigned long long>(file->size));
        return -1;
    }
    for (size_t i = 0; i < file->count; ++i) {
        std::string name =
            config_format::blocked_item_name(file->data + i * config_format::blocked_item_size);
        std::printf("cfg : load_setblockedlist : item : [%s]\n", name.c_str());
        names.push_back(std::move(name));
    }

    std::lock_guard<std::mutex> lock(blocked_lock_);
    blocked_ = std::move(names);
    return 0;
}

bool class_config::is_blocked(const std::string &name)
{
    std::lock_guard<std::mutex> lock(blocked_lock_);
    for (const std::string &entry : blocked_) {
        if (entry == name)
            return true;
    }
    return false;
}

config_format::config_record class_config::fields()
{
    return config_format::decode(record_);
}
