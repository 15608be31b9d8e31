#include "tools/fwwriter/mtd.h"

#include "base/fd_io.h"
#include "tools/fwwriter/say.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>
#include <vector>

namespace fwwriter
{

namespace
{

constexpr size_t cmd_size = 128;

} // namespace

int mtd_erase(const char *device)
{
    char cmd[cmd_size];
    std::snprintf(cmd, sizeof cmd, "/sbin/mtd erase %s", device);
    say("cmd: %s\n", cmd);
    int rc = std::system(cmd);
    (void)rc;
    return 0;
}

int mtd_copy(int in, int out, int size)
{
    std::vector<uint8_t> buf(mtd_block);
    size_t left = size > 0 ? static_cast<size_t>(size) : 0;
    while (left > 0) {
        std::memset(buf.data(), 0, buf.size());
        const size_t chunk = left > mtd_block - 1 ? mtd_block : left;
        const ssize_t r = read_full(in, buf.data(), chunk);
        say(": read r: %d\n", static_cast<int>(r));
        if (r != static_cast<ssize_t>(chunk)) {
            say_line("read failed !");
            return -1;
        }
        if (!write_full(out, buf.data(), buf.size())) {
            say_line("mtd write failed !");
            return -1;
        }
        left -= chunk;
    }
    return 0;
}

int mtd_write(int fd, const char *device, int size)
{
    char cmd[cmd_size];
    std::snprintf(cmd, sizeof cmd, "/sbin/mtd write - %s", device);
    say("cmd: %s\n", cmd);
    FILE *tool = ::popen(cmd, "w");
    if (tool == nullptr) {
        say_line("mtd write failed !");
        return -1;
    }
    int rc = mtd_copy(fd, ::fileno(tool), size);
    // Waits for the tool to finish writing the flash.
    const int status = ::pclose(tool);
    if (rc == 0 && status != 0) {
        say_line("mtd write failed !");
        rc = -1;
    }
    return rc;
}

} // namespace fwwriter
