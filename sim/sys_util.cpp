#include "sim/sys_util.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace boardbox
{

std::string errstr(const std::string &what)
{
    return what + ": " + std::strerror(errno);
}

int make_file(const std::string &path, mode_t mode)
{
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0)
        return -1;
    ::close(fd);
    return 0;
}

int attach(int tree, const std::string &where)
{
    return ::move_mount(tree, "", AT_FDCWD, where.c_str(), MOVE_MOUNT_F_EMPTY_PATH);
}

void signal_event(int efd)
{
    uint64_t one = 1;
    ssize_t ignored = ::write(efd, &one, sizeof one);
    (void)ignored;
}

Input wait_for_input(int fd, int wake)
{
    for (;;) {
        pollfd p[2] = {{fd, POLLIN, 0}, {wake, POLLIN, 0}};
        if (::poll(p, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return Input::failed;
        }
        if (p[1].revents)
            return Input::woken;
        if (p[0].revents & POLLIN)
            return Input::ready;
        if (p[0].revents & (POLLHUP | POLLERR | POLLNVAL))
            return Input::closed;
    }
}

} // namespace boardbox
