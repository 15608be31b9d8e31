#include "sim/event_log.h"

#include <fcntl.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>

namespace boardbox
{

EventLog::EventLog() : start_(std::chrono::steady_clock::now()) {}

int EventLog::open(const std::string &path)
{
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0)
        return -1;
    fd_.reset(fd);
    return 0;
}

double EventLog::now() const
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

void EventLog::event(const char *fmt, ...)
{
    if (!fd_.valid())
        return;
    char line[1024];
    int n = std::snprintf(line, sizeof line, "%11.6f ", now());
    va_list ap;
    va_start(ap, fmt);
    int m = std::vsnprintf(line + n, sizeof line - n - 1, fmt, ap);
    va_end(ap);
    if (m < 0)
        return;
    size_t len = static_cast<size_t>(n) + std::min<size_t>(static_cast<size_t>(m), sizeof line - n - 2);
    line[len++] = '\n';
    std::lock_guard<std::mutex> g(lock_);
    ssize_t ignored = ::write(fd_.get(), line, len);
    (void)ignored;
}

} // namespace boardbox
