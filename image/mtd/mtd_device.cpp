#include "image/mtd/mtd_device.h"

#include <cerrno>
#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <sys/ioctl.h>
#include <unistd.h>
#include <utility>

namespace mtdtool
{

MtdDevice::MtdDevice(const char *path)
{
    UniqueFd fd(::open(path, O_RDWR | O_CLOEXEC));
    if (!fd.valid())
        return;
    mtd_info_user info{};
    if (::ioctl(fd.get(), MEMGETINFO, &info) != 0 || info.erasesize == 0)
        return;
    geometry_.size = info.size;
    geometry_.erase_size = info.erasesize;
    geometry_.write_size = info.writesize > 0 ? info.writesize : 1;
    geometry_.nand = info.type == MTD_NANDFLASH || info.type == MTD_MLCNANDFLASH;
    fd_ = std::move(fd);
}

int MtdDevice::is_bad(uint64_t offset)
{
    if (!geometry_.nand)
        return 0;
    __kernel_loff_t pos = static_cast<__kernel_loff_t>(offset);
    int r = ::ioctl(fd_.get(), MEMGETBADBLOCK, &pos);
    // Devices without bad-block support answer EOPNOTSUPP: every block is good.
    if (r < 0 && errno == EOPNOTSUPP)
        return 0;
    return r < 0 ? -1 : (r > 0 ? 1 : 0);
}

int MtdDevice::erase_block(uint64_t offset)
{
    erase_info_user64 e{};
    e.start = offset;
    e.length = geometry_.erase_size;
    return ::ioctl(fd_.get(), MEMERASE64, &e) == 0 ? 0 : -1;
}

int MtdDevice::program(uint64_t offset, const uint8_t *data, size_t length)
{
    size_t done = 0;
    while (done < length) {
        ssize_t n = ::pwrite(fd_.get(), data + done, length - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = ENOSPC;
            return -1;
        }
        done += static_cast<size_t>(n);
    }
    return 0;
}

} // namespace mtdtool
