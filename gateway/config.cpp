#include "gateway/config.h"

#include "board/fd_io.h"
#include "board/unique_fd.h"
#include "link/byteorder.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

class_config g_config;

namespace
{

const char main_path[] = "/config/main.cfg";
const char codec_path[] = "/config/codec.cfg";
const char blocked_path[] = "/config/blocked.cfg";

// The files hold passwords: nobody but the owner may read them.
constexpr mode_t new_file_mode = 0600;

// Opens an existing configuration file for reading. Non-blocking so that a
// FIFO planted at the path cannot stall the daemon; only regular files count.
int open_regular(const char *path, struct stat *st)
{
    int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return -1;
    if (::fstat(fd, st) != 0 || !S_ISREG(st->st_mode)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

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

    UniqueFd fd(::open(main_path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, new_file_mode));
    if (!fd.valid())
        return -1;
    if (!write_full(fd.get(), record_, sizeof record_))
        return -1;
    if (::fsync(fd.get()) != 0 || fd.close() != 0)
        return -1;

    save_codec(1);
    codec_ = 1;
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
    UniqueFd fd(::open(codec_path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, new_file_mode));
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

    struct stat st;
    UniqueFd fd(open_regular(blocked_path, &st));
    if (!fd.valid()) {
        std::printf("cfg : load_setblockedlist : cannot open config file\n");
        return -1;
    }
    if (!config_format::blocked_size_valid(static_cast<uint64_t>(st.st_size))) {
        std::printf("cfg : load_setblockedlist : invalid config file size (%llu)\n",
                    static_cast<unsigned long long>(st.st_size));
        return -1;
    }

    uint8_t item[config_format::blocked_item_size];
    while (names.size() < config_format::blocked_max_items &&
           read_full(fd.get(), item, sizeof item) == static_cast<ssize_t>(sizeof item)) {
        std::string name = config_format::blocked_item_name(item);
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
