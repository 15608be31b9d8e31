// boardbox-mtd: the board's flash tool as the box offers it at "/sbin/mtd".
//   mtd erase DEVICE       fills DEVICE with 0xFF (erased flash)
//   mtd write - DEVICE     copies standard input to DEVICE from offset 0; data
//                          beyond the end of the partition is an error (what
//                          fitted stays written)
// Anything else prints the usage and exits 1. Every run is reported to the
// box (sim/mtd_report.h), which logs it and counts it for its control socket.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "base/fd_io.h"
#include "sim/mtd_report.h"
#include "sim/sys_util.h"

namespace
{

// Waits until the box has recorded the run, so that whoever ran the tool
// finds it in the log and on the control socket as soon as the tool ended.
// Outside a box nobody listens and nothing is reported.
void report(const nlohmann::json &m)
{
    int s = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (s < 0)
        return;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path + 1, boardbox::kMtdReportName, sizeof boardbox::kMtdReportName - 1);
    socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + sizeof boardbox::kMtdReportName);
    timeval tv{5, 0};
    ::setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    if (::connect(s, reinterpret_cast<sockaddr *>(&addr), len) == 0) {
        std::string text = m.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
        if (::send(s, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size())) {
            char reply[64];
            ssize_t ignored = ::recv(s, reply, sizeof reply, 0);
            (void)ignored;
        }
    }
    ::close(s);
}

int usage(int argc, char **argv)
{
    std::fputs("usage: mtd erase DEVICE\n"
               "       mtd write - DEVICE\n",
               stderr);
    nlohmann::json args = nlohmann::json::array();
    for (int i = 1; i < argc; ++i)
        args.push_back(argv[i]);
    report({{"op", "usage"}, {"ok", false}, {"args", args}});
    return 1;
}

// The partition's size, or -1 with errno. In the box the partitions are
// regular files; anything else (run by mistake on a host's disk) is refused.
long long open_device(const char *device, int &fd)
{
    fd = ::open(device, O_WRONLY | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || ::fstat(fd, &st) != 0)
        return -1;
    if (!S_ISREG(st.st_mode)) {
        ::close(fd);
        errno = ENODEV;
        return -1;
    }
    return static_cast<long long>(st.st_size);
}

int fail(const char *op, const char *device, uint64_t bytes, const std::string &why)
{
    std::fprintf(stderr, "mtd: %s: %s\n", device, why.c_str());
    nlohmann::json m = {{"op", op}, {"device", device}, {"ok", false}, {"error", why}};
    if (std::strcmp(op, "write") == 0)
        m["bytes"] = bytes;
    report(m);
    return 1;
}

int erase(const char *device)
{
    int fd;
    long long size = open_device(device, fd);
    if (size < 0)
        return fail("erase", device, 0, std::strerror(errno));
    std::vector<uint8_t> ff(65536, 0xFF);
    for (long long left = size; left > 0;) {
        size_t n = static_cast<size_t>(std::min<long long>(left, static_cast<long long>(ff.size())));
        if (!write_full(fd, ff.data(), n))
            return fail("erase", device, 0, std::strerror(errno));
        left -= static_cast<long long>(n);
    }
    ::close(fd);
    report({{"op", "erase"}, {"device", device}, {"ok", true}});
    return 0;
}

int write_stdin(const char *device)
{
    int fd;
    long long size = open_device(device, fd);
    if (size < 0)
        return fail("write", device, 0, std::strerror(errno));
    uint64_t room = static_cast<uint64_t>(size), written = 0;
    std::vector<uint8_t> buf(65536);
    for (;;) {
        ssize_t n = ::read(0, buf.data(), buf.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return fail("write", device, written,
                        std::string("cannot read the input: ") + std::strerror(errno));
        if (n == 0)
            break;
        size_t fits = static_cast<size_t>(std::min<uint64_t>(static_cast<uint64_t>(n), room - written));
        if (!write_full(fd, buf.data(), fits))
            return fail("write", device, written, std::strerror(errno));
        written += fits;
        if (fits < static_cast<size_t>(n))
            return fail("write", device, written,
                        "data does not fit the partition (" + std::to_string(room) + " bytes)");
    }
    ::close(fd);
    report({{"op", "write"}, {"device", device}, {"ok", true}, {"bytes", written}});
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 3 && std::strcmp(argv[1], "erase") == 0)
        return erase(argv[2]);
    if (argc == 4 && std::strcmp(argv[1], "write") == 0 && std::strcmp(argv[2], "-") == 0)
        return write_stdin(argv[3]);
    return usage(argc, argv);
}
