#include "settings/config_dir.h"

#include "base/byteorder.h"
#include "base/fd_io.h"
#include "base/unique_fd.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace gwcfg
{

namespace
{

constexpr char main_name[] = "main.cfg";
constexpr char codec_name[] = "codec.cfg";
constexpr char blocked_name[] = "blocked.cfg";
constexpr char extra_name[] = "extra.cfg";
// More than any version of the extra record; a larger file is refused unread.
constexpr size_t extra_limit = 4096;
// Temporaries start with this, so a later run can tell them from anything else.
constexpr char temp_prefix[] = ".gwcfg-";

std::string why(const std::string &what)
{
    return what + ": " + std::strerror(errno);
}

// Reads a regular file of at most `limit` bytes whole; -1 when it is missing,
// not a regular file, larger, or unreadable. Non-blocking open: a FIFO at the
// path must not stall the tool.
int read_small(const std::string &path, std::vector<uint8_t> &out, size_t limit, std::string &error)
{
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW));
    if (!fd.valid()) {
        error = why(path);
        return -1;
    }
    struct stat st;
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        error = path + ": not a regular file";
        return -1;
    }
    if (static_cast<uint64_t>(st.st_size) > limit) {
        error = path + ": too large (" + std::to_string(st.st_size) + " bytes)";
        return -1;
    }
    out.resize(static_cast<size_t>(st.st_size));
    ssize_t n = read_full(fd.get(), out.data(), out.size());
    if (n < 0) {
        error = why(path);
        return -1;
    }
    out.resize(static_cast<size_t>(n));
    return 0;
}

} // namespace

std::string blocked_item::name() const
{
    return config_format::blocked_item_name(bytes);
}

ConfigDir::ConfigDir(std::string path) : path_(std::move(path)) {}

std::string ConfigDir::file(const char *name) const
{
    return path_ + "/" + name;
}

int ConfigDir::read_record(uint8_t out[config_format::record_size], std::string &error) const
{
    std::vector<uint8_t> data;
    if (read_small(file(main_name), data, config_format::record_size, error) != 0)
        return -1;
    if (config_format::upgrade(data.data(), data.size(), out) != 0) {
        error = file(main_name) + ": not a configuration record (" + std::to_string(data.size()) + " bytes)";
        return -1;
    }
    return 0;
}

int ConfigDir::read_codec() const
{
    std::vector<uint8_t> data;
    std::string error;
    if (read_small(file(codec_name), data, 4, error) != 0 || data.size() != 4)
        return -1;
    return static_cast<int32_t>(bytes::get_le32(data.data()));
}

int ConfigDir::read_blocked(std::vector<blocked_item> &items, std::string &error) const
{
    items.clear();
    std::vector<uint8_t> data;
    std::string path = file(blocked_name);
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0 && errno == ENOENT)
        return 0;
    if (read_small(path, data, config_format::blocked_max_size, error) != 0)
        return -1;
    if (!config_format::blocked_size_valid(data.size())) {
        error = path + ": invalid size (" + std::to_string(data.size()) + " bytes)";
        return -1;
    }
    for (size_t off = 0; off < data.size(); off += config_format::blocked_item_size) {
        blocked_item item;
        std::memcpy(item.bytes, data.data() + off, sizeof item.bytes);
        items.push_back(item);
    }
    return 0;
}

int ConfigDir::read_extra(extra_format::extra_record &rec, std::string &error) const
{
    const std::string path = file(extra_name);
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0 && errno == ENOENT)
        return 0;
    std::vector<uint8_t> data;
    if (read_small(path, data, extra_limit, error) != 0)
        return -1;
    std::string why;
    if (extra_format::decode(data.data(), data.size(), rec, why) != 0) {
        error = path + ": " + why;
        return -1;
    }
    return 1;
}

int ConfigDir::replace(const char *name, const uint8_t *data, size_t length, std::string &error) const
{
    std::string target = file(name);
    struct stat st;
    if (::lstat(target.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        // Renaming over it would silently drop whatever put it there.
        error = target + ": not a regular file, left alone";
        return -1;
    }
    std::string temp = path_ + "/" + temp_prefix + name + ".XXXXXX";
    // mkstemp creates the file 0600: the files hold passwords.
    UniqueFd fd(::mkostemp(&temp[0], O_CLOEXEC));
    if (!fd.valid()) {
        error = why(path_);
        return -1;
    }
    if (!write_full(fd.get(), data, length) || ::fsync(fd.get()) != 0 || fd.close() != 0) {
        error = why(temp);
        ::unlink(temp.c_str());
        return -1;
    }
    if (::rename(temp.c_str(), target.c_str()) != 0) {
        error = why(target);
        ::unlink(temp.c_str());
        return -1;
    }
    UniqueFd dir(::open(path_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir.valid() || ::fsync(dir.get()) != 0) {
        error = why(path_);
        return -1;
    }
    return 0;
}

int ConfigDir::write_record(const uint8_t rec[config_format::record_size], std::string &error) const
{
    return replace(main_name, rec, config_format::record_size, error);
}

int ConfigDir::write_codec(int type, std::string &error) const
{
    uint8_t data[4];
    bytes::put_le32(data, static_cast<uint32_t>(type));
    return replace(codec_name, data, sizeof data, error);
}

int ConfigDir::write_blocked(const std::vector<blocked_item> &items, std::string &error) const
{
    if (items.empty()) {
        std::string path = file(blocked_name);
        if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
            error = why(path);
            return -1;
        }
        return 0;
    }
    std::vector<uint8_t> data;
    for (const blocked_item &item : items)
        data.insert(data.end(), item.bytes, item.bytes + sizeof item.bytes);
    return replace(blocked_name, data.data(), data.size(), error);
}

int ConfigDir::write_extra(const extra_format::extra_record &rec, std::string &error) const
{
    uint8_t data[extra_format::record_size];
    extra_format::encode(rec, data);
    return replace(extra_name, data, sizeof data, error);
}

int ConfigDir::remove_extra(std::string &error) const
{
    const std::string path = file(extra_name);
    struct stat st;
    if (::lstat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        error = path + ": not a regular file, left alone";
        return -1;
    }
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
        error = why(path);
        return -1;
    }
    return 0;
}

void ConfigDir::remove_stale_temporaries() const
{
    DIR *dir = ::opendir(path_.c_str());
    if (dir == nullptr)
        return;
    while (dirent *entry = ::readdir(dir)) {
        if (std::strncmp(entry->d_name, temp_prefix, sizeof temp_prefix - 1) == 0)
            ::unlinkat(::dirfd(dir), entry->d_name, 0);
    }
    ::closedir(dir);
}

} // namespace gwcfg
