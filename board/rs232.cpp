#include "board/rs232.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace
{

struct RateEntry {
    uint32_t baud;
    speed_t speed;
};

const RateEntry kRates[] = {
    {0, B0},
    {50, B50},
    {75, B75},
    {110, B110},
    {134, B134},
    {150, B150},
    {200, B200},
    {300, B300},
    {600, B600},
    {1200, B1200},
    {1800, B1800},
    {2400, B2400},
    {4800, B4800},
    {9600, B9600},
    {19200, B19200},
    {38400, B38400},
    {57600, B57600},
    {115200, B115200},
    {230400, B230400},
    {460800, B460800},
    {500000, B500000},
    {576000, B576000},
    {921600, B921600},
    {1000000, B1000000},
    {1152000, B1152000},
    {1500000, B1500000},
    {2000000, B2000000},
    {2500000, B2500000},
    {3000000, B3000000},
    {3500000, B3500000},
    {4000000, B4000000},
};

constexpr int kSilenceLimitMs = 250;

int open_device(const std::string &path)
{
    return ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
}

} // namespace

bool serial_speed_for_baud(uint32_t baud, speed_t *speed)
{
    for (const RateEntry &r : kRates) {
        if (r.baud == baud) {
            *speed = r.speed;
            return true;
        }
    }
    return false;
}

bool serial_make_termios(struct termios *tio, uint32_t baud, char parity, uint8_t stop_bits)
{
    speed_t speed;
    if (!serial_speed_for_baud(baud, &speed))
        return false;
    ::cfmakeraw(tio);
    if (stop_bits == 2)
        tio->c_cflag |= CSTOPB;
    else
        tio->c_cflag &= ~CSTOPB;
    tio->c_cflag &= ~(PARENB | PARODD);
    if (parity == 'e')
        tio->c_cflag |= PARENB;
    else if (parity == 'o')
        tio->c_cflag |= PARENB | PARODD;
    // The input speed follows the output speed.
    return ::cfsetospeed(tio, speed) == 0 && ::cfsetispeed(tio, speed) == 0;
}

Rs232::Rs232(const std::string &path, uint32_t baud, char parity, uint8_t stop_bits) : path_(path)
{
    wake_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (stop_bits != 1 && stop_bits != 2)
        return;
    if (parity != 'e' && parity != 'n' && parity != 'o')
        return;

    fd_ = open_device(path_);
    if (fd_ < 0)
        return;

    struct termios tio;
    if (::tcgetattr(fd_, &tio) != 0 || !serial_make_termios(&tio, baud, parity, stop_bits) ||
        ::tcsetattr(fd_, TCSANOW, &tio) != 0) {
        close_fd();
        return;
    }
    open_ = 1;
}

Rs232::~Rs232()
{
    close_fd();
    if (wake_fd_ >= 0)
        ::close(wake_fd_);
}

void Rs232::close_fd()
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
    open_ = 0;
}

uint32_t Rs232::is_open()
{
    return open_;
}

int Rs232::get_fd()
{
    return fd_;
}

void Rs232::SetTimeoutReset(int flag)
{
    std::printf("serial: SetTimeoutReset(%d)\n", flag);
    timeout_reset_ = static_cast<uint8_t>(flag);
}

ssize_t Rs232::write(const void *buf, size_t len)
{
    std::lock_guard<std::mutex> lock(write_lock_);
    if (fd_ < 0)
        return -1;
    return ::write(fd_, buf, len);
}

int Rs232::drain()
{
    std::lock_guard<std::mutex> lock(write_lock_);
    if (fd_ < 0)
        return -1;
    return ::tcdrain(fd_);
}

void Rs232::interrupt()
{
    interrupted_ = true;
    if (wake_fd_ >= 0) {
        uint64_t one = 1;
        ssize_t r = ::write(wake_fd_, &one, sizeof one);
        (void)r;
    }
}

int Rs232::wait_readable(int timeout_ms)
{
    for (;;) {
        if (interrupted_)
            return -1;
        struct pollfd fds[2] = {{fd_, POLLIN, 0}, {wake_fd_, POLLIN, 0}};
        int n = ::poll(fds, wake_fd_ >= 0 ? 2 : 1, timeout_ms);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (interrupted_)
            return -1;
        if (n == 0)
            return 0;
        // A hung-up or failed line is "readable": the read reports it.
        return 1;
    }
}

ssize_t Rs232::read(void *buf, size_t capacity)
{
    std::lock_guard<std::mutex> lock(read_lock_);
    // No descriptor: a hung-up line whose re-open failed; try again.
    if (fd_ < 0 && !(open_ && reopen()))
        return -1;
    for (;;) {
        int r = wait_readable(timeout_reset_ ? kSilenceLimitMs : -1);
        if (r < 0)
            return -1;
        if (r > 0) {
            ssize_t n = ::read(fd_, buf, capacity);
            // A hung-up line (the device went away under the descriptor)
            // reads end of file or EIO at once for ever and so is never
            // silent: re-open it now, whatever the silence rule says. The
            // result still goes back, so the caller's pause paces the retries.
            if (n == 0 || (n < 0 && errno == EIO)) {
                int saved = errno;
                reopen();
                errno = saved;
            }
            return n;
        }
        if (!timeout_reset_)
            continue;
        if (!reopen())
            return -1;
    }
}

bool Rs232::reopen()
{
    // The write lock keeps writers off the descriptor while it is replaced; the
    // device keeps its terminal attributes.
    {
        std::lock_guard<std::mutex> wlock(write_lock_);
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = open_device(path_);
    }
    if (fd_ >= 0)
        return true;
    std::puts("serial: read: cannot re-open port!");
    ::usleep(10000);
    return false;
}
