// headflash: loads a firmware file into a control head or a radio over the
// board's serial line.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/fd_io.h"
#include "base/unique_fd.h"
#include "tools/headflash/flasher.h"
#include "tools/headflash/port.h"
#include "tools/headflash/targets.h"
#include "tools/headflash/upg_file.h"

using namespace headflash;

namespace
{

[[noreturn]] void usage(const char *program)
{
    std::printf("usage: %s -f <upgfile> [-v(erify) -d(ebug) -h(elp) -m(mode 'head'|'radio') -t(ype radio)]\n",
                program);
    std::exit(255);
}

[[noreturn]] void fatal(const char *message)
{
    std::printf("error: %s\n", message);
    std::exit(255);
}

// A whole non-negative decimal number, or -1.
long parse_type(const char *text)
{
    if (*text < '0' || *text > '9')
        return -1;
    errno = 0;
    char *end = nullptr;
    long v = std::strtol(text, &end, 10);
    if (errno != 0 || *end != '\0')
        return -1;
    return v;
}

} // namespace

int main(int argc, char **argv)
{
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    const char *file = nullptr;
    const char *mode_name = nullptr;
    long type = -1;
    FlashOptions options;
    int c;
    while ((c = ::getopt(argc, argv, "f:m:t:vdh")) != -1) {
        switch (c) {
        case 'f':
            file = optarg;
            break;
        case 'm':
            mode_name = optarg;
            break;
        case 't':
            type = parse_type(optarg);
            break;
        case 'v':
            options.verify = true;
            break;
        case 'd':
            options.debug = true;
            break;
        default:
            usage(argv[0]);
        }
    }
    if (file == nullptr || mode_name == nullptr || type < 0)
        usage(argv[0]);
    Mode mode;
    if (std::strcmp(mode_name, "head") == 0)
        mode = Mode::head;
    else if (std::strcmp(mode_name, "radio") == 0)
        mode = Mode::radio;
    else
        usage(argv[0]);

    const Target *target = find_target(mode, type);
    if (target == nullptr) {
        std::fputs(mode == Mode::head ? "error: unknown radio type (mode: client)!\n"
                                      : "error: unknown radio type (mode: server)!\n",
                   stdout);
        std::exit(255);
    }
    std::puts(target->message);

    const char *error = nullptr;
    UniqueFd port = open_port(target->port, target->speed, error);
    if (!port.valid())
        fatal(error);

    UniqueFd upg(::open(file, O_RDONLY | O_CLOEXEC));
    if (!upg.valid())
        fatal("cannot open upg file!");
    uint8_t header[UPG_HEADER_SIZE];
    const ssize_t n = read_full(upg.get(), header, UPG_HEADER_SIZE);
    const size_t got = n > 0 ? static_cast<size_t>(n) : 0; // an error reads as nothing
    struct stat st;
    long long file_size = -1;
    if (::fstat(upg.get(), &st) == 0 && S_ISREG(st.st_mode))
        file_size = static_cast<long long>(st.st_size);
    uint32_t blocks = 0;
    if (const char *e = check_upg_header(header, got, *target, file_size, blocks))
        fatal(e);

    Flasher flasher(port.get(), upg.get(), blocks, options, stdout);
    if (const char *e = flasher.run()) {
        std::printf("upgrade: error: %s\n", e);
        return 255;
    }
    return 0;
}
