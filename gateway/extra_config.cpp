#include "gateway/extra_config.h"

#include "base/fd_io.h"
#include "base/unique_fd.h"
#include "gateway/config_record.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

class_extra_config g_extra_config;

namespace
{

// Enough to tell an oversized file from a record without reading it all.
constexpr size_t read_limit = 4096;

void refuse(const std::string &why)
{
    std::printf("cfg : %s: %s, extensions off\n", class_extra_config::path, why.c_str());
}

} // namespace

int class_extra_config::load()
{
    int fd0 = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd0 < 0 && errno == ENOENT)
        return -1;
    if (fd0 < 0) {
        refuse(std::strerror(errno));
        return -1;
    }
    UniqueFd fd(fd0);
    struct stat st;
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        // A FIFO or device planted at the path is never read: it could stall
        // the start.
        refuse("not a regular file");
        return -1;
    }
    if (static_cast<uint64_t>(st.st_size) > read_limit) {
        refuse("invalid size (" + std::to_string(st.st_size) + " bytes)");
        return -1;
    }
    uint8_t data[read_limit];
    const ssize_t n = read_full(fd.get(), data, sizeof data);
    if (n < 0) {
        refuse(std::strerror(errno));
        return -1;
    }
    extra_format::extra_record rec;
    std::string why;
    if (extra_format::decode(data, static_cast<size_t>(n), rec, why) != 0) {
        refuse(why);
        return -1;
    }
    {
        std::lock_guard<std::mutex> lock(lock_);
        settings_ = rec;
    }
    std::printf("cfg : extra: backup_ip %s, backup_port %d, backup_after %d, main_retry %d, tx_timeout %d, "
                "voice_alarm %d\n",
                config_format::dotted(rec.backup_ip).c_str(), rec.backup_port, rec.backup_after,
                rec.main_retry, rec.tx_timeout, rec.voice_alarm);
    return 0;
}

extra_format::extra_record class_extra_config::settings()
{
    std::lock_guard<std::mutex> lock(lock_);
    return settings_;
}
