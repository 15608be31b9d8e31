#include "tools/fwwriter/simple_gpio_at91.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace simple_gpio_at91
{

void drive(uint8_t *window, uint32_t bits, int on)
{
    // A device register: one aligned 32-bit store.
    volatile uint32_t *reg =
        reinterpret_cast<volatile uint32_t *>(window + piob + (on ? pio_sodr : pio_codr));
    *reg = bits;
}

} // namespace simple_gpio_at91

namespace
{

class Window
{
  public:
    ~Window() { release(); }

    int acquire()
    {
        if (mem_reg_ != nullptr)
            return 0;
        fd_ = ::open("/dev/uio0", O_RDWR | O_CLOEXEC);
        if (fd_ < 0)
            return -1;
        void *p = ::mmap(nullptr, simple_gpio_at91::window_size, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0);
        if (p == MAP_FAILED) {
            ::close(fd_);
            fd_ = -1;
            return -1;
        }
        mem_reg_ = static_cast<uint8_t *>(p);
        return 0;
    }

    void release()
    {
        if (mem_reg_ != nullptr)
            ::munmap(mem_reg_, simple_gpio_at91::window_size);
        mem_reg_ = nullptr;
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }

    void drive(uint32_t bits, int on)
    {
        if (mem_reg_ != nullptr)
            simple_gpio_at91::drive(mem_reg_, bits, on);
    }

  private:
    uint8_t *mem_reg_ = nullptr;
    int fd_ = -1;
};

Window window;

} // namespace

int simple_gpio_at91_open()
{
    return window.acquire();
}

void simple_gpio_at91_close()
{
    window.release();
}

void simple_gpio_at91_led(int on)
{
    window.drive(simple_gpio_at91::pb3_led, on);
}

void simple_gpio_at91_beep(int on)
{
    window.drive(simple_gpio_at91::pb8_beep, on);
}
