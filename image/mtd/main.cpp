// mtd: the board's flash tool, "/sbin/mtd" on the gateway's root file system.
//   mtd erase DEVICE     erases every good block of an MTD partition
//   mtd write - DEVICE   writes standard input into it from the start
// Exit status 0 on success, 1 on any failure (told on standard error).
#include "image/mtd/flash_ops.h"
#include "image/mtd/mtd_device.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace
{

int usage()
{
    std::fputs("usage: mtd erase DEVICE\n"
               "       mtd write - DEVICE\n",
               stderr);
    return 1;
}

} // namespace

int main(int argc, char **argv)
{
    const bool erase = argc == 3 && std::strcmp(argv[1], "erase") == 0;
    const bool write = argc == 4 && std::strcmp(argv[1], "write") == 0 && std::strcmp(argv[2], "-") == 0;
    if (!erase && !write)
        return usage();
    const char *device = argv[argc - 1];
    mtdtool::MtdDevice dev(device);
    if (!dev.is_open()) {
        std::fprintf(stderr, "mtd: %s: not an MTD device: %s\n", device, std::strerror(errno));
        return 1;
    }
    const mtdtool::FlashResult res =
        erase ? mtdtool::erase_all(dev) : mtdtool::write_stream(dev, STDIN_FILENO);
    if (res.bad_blocks > 0)
        std::fprintf(stderr, "mtd: %s: %u bad blocks skipped\n", device, res.bad_blocks);
    if (!res.ok) {
        std::fprintf(stderr, "mtd: %s: %s\n", device, res.error.c_str());
        return 1;
    }
    return 0;
}
