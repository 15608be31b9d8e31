#include "board/amplifier.h"

#include "status/live_status.h"

#include <cerrno>
#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <mutex>
#include <sys/ioctl.h>
#include <unistd.h>

namespace
{

constexpr int chip_address = 0x4B;
constexpr uint8_t max_volume = 63;

struct Amplifier {
    std::mutex lock;
    int fd = -1;
    // The level restored by unmute.
    uint8_t volume = 50;
    bool muted = false;

    // Every command is one byte; true when exactly that byte went out.
    bool send(uint8_t byte)
    {
        for (;;) {
            ssize_t n = ::write(fd, &byte, 1);
            if (n < 0 && errno == EINTR)
                continue;
            return n == 1;
        }
    }

    void close_device()
    {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
};

// Never destroyed: voice and serial threads may still call in while the
// process exits. The descriptor ends with the process or i2c_max9768_close.
Amplifier &amp()
{
    static Amplifier *instance = new Amplifier;
    return *instance;
}

} // namespace

int i2c_max9768_init(const char *path)
{
    Amplifier &a = amp();
    std::lock_guard<std::mutex> guard(a.lock);
    a.close_device();
    if (path == nullptr)
        return -1;
    int fd = ::open(path, O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return -1;
    // The forced select: the address may already be claimed by a kernel driver.
    if (::ioctl(fd, I2C_SLAVE_FORCE, chip_address) < 0) {
        ::close(fd);
        return -1;
    }
    a.fd = fd;
    return 0;
}

int i2c_max9768_vol_write(uint8_t volume)
{
    Amplifier &a = amp();
    std::lock_guard<std::mutex> guard(a.lock);
    if (volume > max_volume)
        return -1;
    if (!a.muted && !a.send(volume))
        return -1;
    a.volume = volume;
    gw_status::put(gw_status::live().volume, volume);
    return 0;
}

int i2c_max9768_mute()
{
    Amplifier &a = amp();
    std::lock_guard<std::mutex> guard(a.lock);
    if (a.muted)
        return -1;
    a.send(0x00);
    a.muted = true;
    gw_status::put(gw_status::live().amp_muted, 1);
    return 0;
}

int i2c_max9768_unmute()
{
    Amplifier &a = amp();
    std::lock_guard<std::mutex> guard(a.lock);
    if (!a.muted)
        return -1;
    a.send(a.volume);
    a.muted = false;
    gw_status::put(gw_status::live().amp_muted, 0);
    return 0;
}

void i2c_max9768_close()
{
    Amplifier &a = amp();
    std::lock_guard<std::mutex> guard(a.lock);
    a.close_device();
}
