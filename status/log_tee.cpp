#include "status/log_tee.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace gw_status
{

namespace
{

ssize_t tee_write(void *cookie, const char *buf, size_t size)
{
    size_t done = 0;
    while (done < size) {
        ssize_t n = ::write(STDOUT_FILENO, buf + done, size - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += static_cast<size_t>(n);
    }
    // The ring gets what was printed, whether or not descriptor 1 took it
    // (after --infinite it is /dev/null, or nothing at all).
    static_cast<StatusMap *>(cookie)->append_log(buf, size);
    return static_cast<ssize_t>(size);
}

} // namespace

int tee_stdout_into(StatusMap *map)
{
    if (map == nullptr || !map->is_open())
        return -1;
    cookie_io_functions_t io{};
    io.write = tee_write;
    FILE *tee = ::fopencookie(map, "w", io);
    if (tee == nullptr)
        return -1;
    std::fflush(stdout);
    // Logs reach a pipe line by line, as before.
    std::setvbuf(tee, nullptr, _IOLBF, 0);
    stdout = tee;
    return 0;
}

} // namespace gw_status
