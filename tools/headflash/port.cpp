#include "tools/headflash/port.h"

#include <fcntl.h>

namespace headflash
{

namespace
{

speed_t speed_code(unsigned speed)
{
    switch (speed) {
    case 230400:
        return B230400;
    case 460800:
        return B460800;
    case 3000000:
        return B3000000;
    }
    return static_cast<speed_t>(-1); // refused by cfsetospeed
}

} // namespace

int port_settings(termios &t, unsigned speed)
{
    ::cfmakeraw(&t);
    t.c_cflag |= CSTOPB;
    return ::cfsetospeed(&t, speed_code(speed)) == 0 ? 0 : -1;
}

UniqueFd open_port(const char *path, unsigned speed, const char *&error)
{
    UniqueFd fd(::open(path, O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!fd.valid()) {
        error = "cannot open port!";
        return UniqueFd();
    }
    termios t;
    if (::tcgetattr(fd.get(), &t) != 0) {
        error = "tcgetattr failed!";
        return UniqueFd();
    }
    if (port_settings(t, speed) != 0) {
        error = "cfsetospeed failed!";
        return UniqueFd();
    }
    if (::tcsetattr(fd.get(), TCSANOW, &t) != 0) {
        error = "tcsetattr failed!";
        return UniqueFd();
    }
    return fd;
}

} // namespace headflash
