// The kernel's log as the programs in the pcmlink test kernel see it: the
// records that arrived since a point, each as "<level>text".
#pragma once

#include "base/unique_fd.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

class KernelLog
{
  public:
    // fromStart: every record still in the buffer; otherwise only new ones.
    explicit KernelLog(bool fromStart = false) : fd(::open("/dev/kmsg", O_RDONLY | O_NONBLOCK | O_CLOEXEC))
    {
        if (!fromStart)
            ::lseek(fd.get(), 0, SEEK_END);
    }

    std::vector<std::string> tagged()
    {
        std::vector<std::string> out;
        char rec[8192];
        for (;;) {
            ssize_t n = ::read(fd.get(), rec, sizeof(rec) - 1);
            if (n < 0 && errno == EPIPE)
                continue; // records overwritten meanwhile: go on with the next
            if (n <= 0)
                break;
            rec[n] = 0;
            // "priority,sequence,time,flags;text\n"
            const char *semi = std::strchr(rec, ';');
            if (!semi)
                continue;
            std::string text(semi + 1);
            text = text.substr(0, text.find('\n'));
            out.push_back("<" + std::to_string(std::atoi(rec) & 7) + ">" + text);
        }
        return out;
    }

  private:
    UniqueFd fd;
};

inline bool contains(const std::vector<std::string> &lines, const std::string &line)
{
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}
