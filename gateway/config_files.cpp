#include "gateway/config_files.h"

#include "base/fd_io.h"
#include "base/unique_fd.h"

#include <fcntl.h>
#include <unistd.h>

namespace config_files
{

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

int open_regular_for_write(const char *path, mode_t mode)
{
    // No O_TRUNC here: only a file known to be regular is emptied.
    int fd = ::open(path, O_WRONLY | O_CREAT | O_NONBLOCK | O_CLOEXEC, mode);
    if (fd < 0)
        return -1;
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || ::ftruncate(fd, 0) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

void read_blocked(blocked_items &out)
{
    out.status = blocked_items::cannot_open;
    out.size = 0;
    out.count = 0;
    struct stat st;
    UniqueFd fd(open_regular(blocked_path, &st));
    if (!fd.valid())
        return;
    out.size = static_cast<uint64_t>(st.st_size);
    if (!config_format::blocked_size_valid(out.size)) {
        out.status = blocked_items::bad_size;
        return;
    }
    ssize_t got = read_full(fd.get(), out.data, static_cast<size_t>(out.size));
    if (got != static_cast<ssize_t>(out.size)) {
        out.status = blocked_items::bad_size;
        out.size = got < 0 ? 0 : static_cast<uint64_t>(got);
        return;
    }
    out.count = static_cast<size_t>(out.size) / config_format::blocked_item_size;
    out.status = blocked_items::ok;
}

} // namespace config_files
