#include "gatesim/waker.h"

#include <poll.h>

#include <cerrno>
#include <cstdint>
#include <sys/eventfd.h>
#include <unistd.h>

namespace gatesim_detail
{

Waker::Waker() : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

Waker::~Waker()
{
    if (fd_ >= 0)
        ::close(fd_);
}

void Waker::notify()
{
    uint64_t one = 1;
    // The counter only grows; a full counter still reads as notified.
    if (fd_ >= 0 && ::write(fd_, &one, sizeof one) < 0) {
    }
}

bool Waker::notified() const
{
    pollfd p{fd_, POLLIN, 0};
    return ::poll(&p, 1, 0) > 0;
}

int Waker::wait(int other, int ms) const
{
    pollfd p[2] = {{fd_, POLLIN, 0}, {other, POLLIN, 0}};
    nfds_t n = other >= 0 ? 2 : 1;
    for (;;) {
        int r = ::poll(p, n, ms);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (r == 0)
            return 0;
        if (p[0].revents != 0)
            return -1;
        return 1;
    }
}

} // namespace gatesim_detail
