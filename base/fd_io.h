// Whole reads and writes on a file descriptor: interrupted calls are retried
// and short transfers continued.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>

// Reads until `length` bytes or end of input; the count read, or -1 on an
// error.
inline ssize_t read_full(int fd, uint8_t *buf, size_t length)
{
    size_t done = 0;
    while (done < length) {
        ssize_t n = ::read(fd, buf + done, length - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (n == 0)
            break;
        done += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

// Writes all `length` bytes; false on an error or a write that takes nothing.
inline bool write_full(int fd, const uint8_t *buf, size_t length)
{
    while (length > 0) {
        ssize_t n = ::write(fd, buf, length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        buf += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}
