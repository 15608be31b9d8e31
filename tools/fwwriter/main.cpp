// fwwriter: checks the upgrade image in "/dev/ram0" and, in the upgrade modes,
// writes its parts to the flash partitions and restarts the board.
#include "base/fd_io.h"
#include "base/unique_fd.h"
#include "tools/fwwriter/ledblink.h"
#include "tools/fwwriter/mtd.h"
#include "tools/fwwriter/options.h"
#include "tools/fwwriter/say.h"
#include "tools/fwwriter/simple_gpio_at91.h"
#include "tools/fwwriter/upgrade_header.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <sys/reboot.h>
#include <thread>
#include <unistd.h>

using namespace fwwriter;

namespace
{

// A negative size leaves the partition alone, 0 erases it only. Each
// partition's data is read from its own place in the image (`*offset`, moved
// on past it), not from wherever the previous write stopped: a flash tool that
// dies part way leaves the rest of its partition unread.
void flash_part(int fd, int64_t *offset, int32_t size, const char *title, const char *device)
{
    if (size < 0)
        return;
    const int64_t at = *offset;
    *offset += size;
    say_line(title);
    mtd_erase(device);
    if (size == 0)
        return;
    if (::lseek(fd, static_cast<off_t>(at), SEEK_SET) != static_cast<off_t>(at)) {
        say_line("seek failed");
        return;
    }
    mtd_write(fd, device, size);
}

void pause_ms(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// A flash tool that quits early must not end the writer mid-upgrade: the
// write fails with EPIPE instead. A handler rather than SIG_IGN, so the tools
// started from here get the default disposition back.
void on_sigpipe(int) {}

} // namespace

int main(int argc, char **argv)
{
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    struct sigaction sa = {};
    sa.sa_handler = on_sigpipe;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGPIPE, &sa, nullptr);

    Options opt;
    if (parse_options(argc, argv, &opt) < 0) {
        std::puts(usage_line);
        return 1;
    }
    v = opt.v;

    UniqueFd ram(::open("/dev/ram0", O_RDONLY | O_CLOEXEC));
    if (!ram.valid()) {
        say_line("cannot open ramdisk");
        return 1;
    }
    uint8_t raw[upgrade_header_size];
    upgrade_header hdr;
    if (read_full(ram.get(), raw, sizeof raw) != static_cast<ssize_t>(sizeof raw) ||
        upgrade_header_decode(raw, sizeof raw, &hdr) < 0) {
        say_line("cannot read header");
        return 1;
    }
    if (const char *bad = upgrade_header_check_ident(hdr)) {
        say_line(bad);
        return 1;
    }
    say_line("header ok, checking data ..");
    if (const char *bad = upgrade_header_check_sizes(hdr)) {
        say_line(bad);
        return 1;
    }
    // A block device refuses a seek beyond its end, so reaching the end of
    // the data proves that all of it lies on the RAM disk.
    const int64_t data_end = static_cast<int64_t>(upgrade_header_size) + upgrade_header_data_size(hdr);
    if (::lseek(ram.get(), static_cast<off_t>(data_end), SEEK_SET) != static_cast<off_t>(data_end)) {
        say_line("seek failed");
        return 1;
    }
    say_line("upgrade looks fine");
    if (opt.mode == mode_check)
        return 0;

    if (::lseek(ram.get(), static_cast<off_t>(upgrade_header_size), SEEK_SET) !=
        static_cast<off_t>(upgrade_header_size)) {
        say_line("seek failed");
        return 1;
    }
    say_line("flashing ..");
    say("hdr.mtd0 : %d\n", hdr.mtd0);
    say("hdr.mtd1 : %d\n", hdr.mtd1);
    say("hdr.mtd2 : %d\n", hdr.mtd2);
    say("hdr.mtd3 : %d\n", hdr.mtd3);

    LedBlink blink(simple_gpio_at91_led);
    if (simple_gpio_at91_open() < 0)
        say_line("simple_gpio_at91_open failed !");
    else
        blink.start();

    // No way back from here: a failed partition is reported and the next
    // one is still written.
    int64_t offset = static_cast<int64_t>(upgrade_header_size);
    flash_part(ram.get(), &offset, hdr.mtd1, ": kernel", "/dev/mtd3");
    flash_part(ram.get(), &offset, hdr.mtd2, ": roofs", "/dev/mtd4");
    flash_part(ram.get(), &offset, hdr.mtd3, ": confg", "/dev/mtd5");

    ram.reset();
    say_line("done");
    ::sync();
    say_line(": rebooting");
    pause_ms(500);
    simple_gpio_at91_beep(1);
    pause_ms(50);
    simple_gpio_at91_beep(0);
    pause_ms(50);
    blink.stop();
    simple_gpio_at91_close();
    ::reboot(RB_AUTOBOOT);
    say_line("reboot failed !");
    return 1;
}
