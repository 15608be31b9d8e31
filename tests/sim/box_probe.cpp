// box_probe COMMAND ARGS...: does to the board's devices what the product
// would, and prints what it saw, one line per fact. Run inside a box.
#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/reboot.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "base/byteorder.h"
#include "sim/pio_model.h"
#include "sim/sim_audio.h"

namespace
{

using boardbox::kPinTable;

unsigned long num(const char *s)
{
    return std::strtoul(s, nullptr, 0);
}

double now_ms()
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int open_ssc(uint32_t rxfer = 160)
{
    int fd = open("/dev/ssc0", O_RDWR);
    if (fd < 0) {
        std::printf("open ssc0 failed errno %d\n", errno);
        std::exit(1);
    }
    uint8_t rec[24];
    const uint32_t words[6] = {192, 0x0F000424, 0x00200093, 0x0F000404, 0x00200093, rxfer};
    for (int i = 0; i < 6; ++i)
        bytes::put_le32(rec + 4 * i, words[i]);
    int rc = ioctl(fd, 1, rec);
    std::printf("ssc config rc %d errno %d\n", rc, rc < 0 ? errno : 0);
    return fd;
}

struct Window {
    uint8_t *base = nullptr;
    Window()
    {
        int fd = open("/dev/uio0", O_RDWR);
        void *m = fd < 0 ? MAP_FAILED
                         : mmap(nullptr, boardbox::kUioWindowSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (m == MAP_FAILED) {
            std::printf("uio0 map failed errno %d\n", errno);
            std::exit(1);
        }
        base = static_cast<uint8_t *>(m);
    }
    volatile uint32_t *reg(int port, size_t off)
    {
        return reinterpret_cast<volatile uint32_t *>(base + boardbox::kPioBase[port] + off);
    }
    void write(uint32_t mask, size_t off)
    {
        uint32_t w[3] = {0, 0, 0};
        for (int b = 0; b < 32; ++b)
            if ((mask >> b & 1u) && kPinTable[b].port >= 0)
                w[kPinTable[b].port] |= 1u << kPinTable[b].pin;
        for (int p = 0; p < 3; ++p)
            if (w[p])
                *reg(p, off) = w[p];
    }
    uint32_t read()
    {
        uint32_t w[3];
        for (int p = 0; p < 3; ++p)
            w[p] = *reg(p, boardbox::kPioPdsr);
        uint32_t v = 0;
        for (int b = 0; b < 32; ++b)
            if (kPinTable[b].port >= 0 && (w[kPinTable[b].port] >> kPinTable[b].pin & 1u))
                v |= 1u << b;
        return v;
    }
};

void sleep_ms(int ms)
{
    timespec ts{ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&ts, nullptr);
}

// FNV-1a over a byte stream, printed by the flash commands for the tests.
struct Fnv {
    uint64_t h = 1469598103934665603ull;
    void add(const uint8_t *p, size_t n)
    {
        for (size_t i = 0; i < n; ++i)
            h = (h ^ p[i]) * 1099511628211ull;
    }
};

// The test pattern written to flash: byte i is (i * 7 + 3) & 0xFF.
uint8_t pattern(uint64_t i)
{
    return static_cast<uint8_t>(i * 7 + 3);
}

// "SET:4096", "CUR:-1", "END:0" -> lseek on `fd`, one line per call.
void seek_op(int fd, const std::string &op)
{
    size_t colon = op.find(':');
    std::string w = op.substr(0, colon);
    long long off = std::strtoll(op.c_str() + colon + 1, nullptr, 10);
    int whence = w == "SET" ? SEEK_SET : w == "CUR" ? SEEK_CUR : SEEK_END;
    errno = 0;
    off_t r = lseek(fd, static_cast<off_t>(off), whence);
    std::printf("seek %s -> %lld errno %d\n", op.c_str(), static_cast<long long>(r), r < 0 ? errno : 0);
}

// What fwwriter does to write a partition: erase through the shell, then the
// data through a pipe in 8192-byte chunks, the last one zero padded (unless
// `exact`). Prints the tool's status.
void flash(const std::string &dev, uint64_t size, bool exact)
{
    std::string erase = "/sbin/mtd erase " + dev;
    int rc = system(erase.c_str());
    std::printf("erase status %d\n", WIFEXITED(rc) ? WEXITSTATUS(rc) : -1);
    std::string write = "/sbin/mtd write - " + dev;
    signal(SIGPIPE, SIG_IGN); // a failing tool stops reading
    FILE *p = popen(write.c_str(), "w");
    if (!p) {
        std::printf("popen failed errno %d\n", errno);
        return;
    }
    uint64_t done = 0;
    while (done < size) {
        uint8_t buf[8192];
        std::memset(buf, 0, sizeof buf);
        size_t chunk = static_cast<size_t>(std::min<uint64_t>(sizeof buf, size - done));
        for (size_t i = 0; i < chunk; ++i)
            buf[i] = pattern(done + i);
        if (fwrite(buf, 1, exact ? chunk : sizeof buf, p) != (exact ? chunk : sizeof buf))
            break;
        done += chunk;
    }
    rc = pclose(p);
    std::printf("write status %d\n", WIFEXITED(rc) ? WEXITSTATUS(rc) : -1);
}

} // namespace

int main(int argc, char **argv)
{
    setvbuf(stdout, nullptr, _IOLBF, 0);
    if (argc < 2)
        return 2;
    std::string cmd = argv[1];
    if (cmd == "exit")
        return static_cast<int>(num(argv[2]));
    if (cmd == "kill-self") {
        kill(getpid(), static_cast<int>(num(argv[2])));
        return 0;
    }
    if (cmd == "sleep") { // marker arguments are ignored: they tag the process
        std::printf("sleeping\n");
        for (;;)
            pause();
    }
    if (cmd == "identity") {
        char host[64] = {};
        gethostname(host, sizeof host - 1);
        std::printf("pid %d host %s\n", getpid(), host);
        if (struct if_nameindex *ifs = if_nameindex()) {
            for (auto *i = ifs; i->if_index; ++i)
                std::printf("interface %s\n", i->if_name);
            if_freenameindex(ifs);
        }
        return 0;
    }
    if (cmd == "config-copy") { // /config/in.cfg -> /config/out.cfg
        FILE *in = fopen("/config/in.cfg", "rb");
        if (!in)
            return 1;
        FILE *out = fopen("/config/out.cfg", "wb");
        if (!out)
            return 1;
        int c;
        while ((c = fgetc(in)) != EOF)
            fputc(c, out);
        fclose(in);
        fclose(out);
        std::printf("copied\n");
        return 0;
    }
    if (cmd == "reboot") {
        sync();
        reboot(RB_AUTOBOOT);
        std::printf("reboot returned errno %d\n", errno);
        return 1;
    }
    if (cmd == "ram0-read") { // the whole RAM disk: its length by reads and by SEEK_END
        int fd = open("/dev/ram0", O_RDONLY);
        if (fd < 0) {
            std::printf("ram0 open errno %d\n", errno);
            return 1;
        }
        Fnv f;
        uint64_t total = 0;
        uint8_t buf[65536];
        ssize_t n;
        while ((n = read(fd, buf, sizeof buf)) > 0) {
            f.add(buf, static_cast<size_t>(n));
            total += static_cast<uint64_t>(n);
        }
        std::printf("ram0 read %llu bytes hash %016llx\n", static_cast<unsigned long long>(total),
                    static_cast<unsigned long long>(f.h));
        std::printf("ram0 end %lld\n", static_cast<long long>(lseek(fd, 0, SEEK_END)));
        return 0;
    }
    if (cmd == "seek") { // PATH OP...: lseek calls in order on one descriptor
        int fd = open(argv[2], O_RDONLY);
        if (fd < 0) {
            std::printf("open errno %d\n", errno);
            return 1;
        }
        for (int i = 3; i < argc; ++i)
            seek_op(fd, argv[i]);
        return 0;
    }
    if (cmd == "ram0-write") { // TEXT at offset 0, through a read/write descriptor
        int fd = open("/dev/ram0", O_RDWR);
        if (fd < 0) {
            std::printf("ram0 open errno %d\n", errno);
            return 1;
        }
        ssize_t n = pwrite(fd, argv[2], std::strlen(argv[2]), 0);
        char back[64] = {};
        pread(fd, back, std::min(sizeof back - 1, std::strlen(argv[2])), 0);
        std::printf("ram0 wrote %zd read back %s\n", n, back);
        return 0;
    }
    if (cmd == "flash") { // DEV SIZE [exact] [reboot] [hold]
        bool exact = false, boot = false, hold = false;
        for (int i = 4; i < argc; ++i) {
            exact |= std::string(argv[i]) == "exact";
            boot |= std::string(argv[i]) == "reboot";
            hold |= std::string(argv[i]) == "hold";
        }
        // fwwriter blinks the LED from a thread meanwhile.
        std::thread([] {
            Window w;
            for (;;) {
                *w.reg(1, boardbox::kPioCodr) = 1u << 3;
                sleep_ms(25);
                *w.reg(1, boardbox::kPioSodr) = 1u << 3;
                sleep_ms(25);
            }
        }).detach();
        flash(argv[2], num(argv[3]), exact);
        std::printf("flashed\n");
        if (boot) {
            sync();
            reboot(RB_AUTOBOOT);
            std::printf("reboot returned errno %d\n", errno);
            return 1;
        }
        if (hold)
            for (;;)
                pause();
        return 0;
    }
    if (cmd == "flash-info") { // DEV: size and a hash of the content
        int fd = open(argv[2], O_RDONLY);
        if (fd < 0) {
            std::printf("open errno %d\n", errno);
            return 1;
        }
        Fnv f;
        uint64_t total = 0, ff = 0;
        uint8_t buf[65536];
        ssize_t n;
        while ((n = read(fd, buf, sizeof buf)) > 0) {
            f.add(buf, static_cast<size_t>(n));
            for (ssize_t i = 0; i < n; ++i)
                ff += buf[i] == 0xFF;
            total += static_cast<uint64_t>(n);
        }
        std::printf("%s size %llu erased %llu\n", argv[2], static_cast<unsigned long long>(total),
                    static_cast<unsigned long long>(ff));
        return 0;
    }
    if (cmd == "pio-blink") { // N [hold]: LED, then beeper, on and off, set and clear only
        Window w;
        int n = static_cast<int>(num(argv[2]));
        for (int i = 0; i < n; ++i) {
            for (uint32_t bit : {1u << 3, 1u << 8}) {
                *w.reg(1, boardbox::kPioSodr) = bit;
                sleep_ms(25);
                *w.reg(1, boardbox::kPioCodr) = bit;
                sleep_ms(25);
            }
        }
        *w.reg(1, boardbox::kPioSodr) = 1u << 3; // the LED stays on
        std::printf("blinked\n");
        if (std::string(argv[argc - 1]) == "hold")
            for (;;)
                pause();
        return 0;
    }
    if (cmd == "ssc-config") { // [rxfer]
        int fd = open_ssc(argc > 2 ? static_cast<uint32_t>(num(argv[2])) : 160);
        close(fd);
        if (std::string(argv[argc - 1]) == "hold")
            for (;;)
                pause();
        return 0;
    }
    if (cmd == "ssc-bad-pointer") {
        int fd = open("/dev/ssc0", O_RDWR);
        int rc = ioctl(fd, 1, reinterpret_cast<void *>(16));
        std::printf("ssc config rc %d errno %d\n", rc, rc < 0 ? errno : 0);
        return 0;
    }
    if (cmd == "ssc-unconfigured") {
        int fd = open("/dev/ssc0", O_RDWR);
        uint8_t buf[640];
        ssize_t n = read(fd, buf, sizeof buf);
        std::printf("read %zd errno %d\n", n, n < 0 ? errno : 0);
        return 0;
    }
    if (cmd == "ssc-read") { // N [bytes]
        int fd = open_ssc();
        int n = static_cast<int>(num(argv[2]));
        size_t len = argc > 3 ? num(argv[3]) : 640;
        std::vector<uint8_t> buf(len);
        double t0 = now_ms();
        double sum = 0;
        size_t samples = 0;
        uint32_t first = 0;
        for (int i = 0; i < n; ++i) {
            ssize_t r = read(fd, buf.data(), len);
            if (r < 0) {
                std::printf("read errno %d\n", errno);
                return 0;
            }
            first = bytes::get_le32(buf.data());
            for (size_t k = 0; k + 4 <= static_cast<size_t>(r); k += 4) {
                int16_t s =
                    boardbox::linear_from_alaw(static_cast<uint8_t>(bytes::get_le32(buf.data() + k) >> 11));
                sum += static_cast<double>(s) * s;
                ++samples;
            }
        }
        std::printf("reads %d took %.1f ms first 0x%08X level %.1f\n", n, now_ms() - t0, first,
                    boardbox::dbfs_of(sum, samples));
        if (std::string(argv[argc - 1]) == "hold") // keep the box up for its observer
            for (;;)
                pause();
        return 0;
    }
    if (cmd == "ssc-write") { // N CODE: N blocks of one A-law code in both slots
        int fd = open_ssc();
        int n = static_cast<int>(num(argv[2]));
        uint32_t code = static_cast<uint32_t>(num(argv[3]));
        uint8_t buf[640];
        for (int k = 0; k < 160; ++k)
            bytes::put_le32(buf + 4 * k, ((code << 10) | code) << 2);
        double t0 = now_ms();
        for (int i = 0; i < n; ++i)
            if (write(fd, buf, sizeof buf) != static_cast<ssize_t>(sizeof buf))
                std::printf("write errno %d\n", errno);
        std::printf("writes %d took %.1f ms\n", n, now_ms() - t0);
        // Let the last block go out before the box ends.
        uint8_t in[640];
        for (int i = 0; i < 4; ++i)
            read(fd, in, sizeof in);
        std::printf("written\n");
        if (std::string(argv[argc - 1]) == "hold")
            for (;;)
                pause();
        return 0;
    }
    if (cmd == "i2c") { // BYTE...
        int fd = open("/dev/i2c-0", O_RDWR);
        int rc = ioctl(fd, 0x0706, 0x4B);
        std::printf("slave rc %d\n", rc);
        for (int i = 2; i < argc && std::string(argv[i]) != "sleep"; ++i) {
            uint8_t b = static_cast<uint8_t>(num(argv[i]));
            ssize_t n = write(fd, &b, 1);
            std::printf("write %zd\n", n);
        }
        if (std::string(argv[argc - 1]) == "sleep")
            for (;;)
                pause();
        return 0;
    }
    if (cmd == "i2c-addr") { // ADDR
        int fd = open("/dev/i2c-0", O_RDWR);
        int rc = ioctl(fd, 0x0706, num(argv[2]));
        std::printf("slave rc %d errno %d\n", rc, rc < 0 ? errno : 0);
        uint8_t b = 1;
        ssize_t n = write(fd, &b, 1);
        std::printf("write %zd errno %d\n", n, n < 0 ? errno : 0);
        return 0;
    }
    if (cmd == "ioctl-native") { // the filtered requests on files that are not devices
        int fd = open("/dev/null", O_RDWR);
        int a = ioctl(fd, 0x0706, 0x4B);
        int ea = errno;
        int b = ioctl(fd, 1, nullptr);
        int eb = errno;
        std::printf("null 0x0706 rc %d errno %d, 1 rc %d errno %d\n", a, ea, b, eb);
        return 0;
    }
    if (cmd == "gpio-read") {
        Window w;
        std::printf("levels 0x%08X\n", w.read());
        return 0;
    }
    if (cmd == "gpio-out") { // DIRECTIONS VALUES, like the product's start, then waits
        Window w;
        uint32_t dir = static_cast<uint32_t>(num(argv[2])), val = static_cast<uint32_t>(num(argv[3]));
        w.write(val, boardbox::kPioSodr);
        w.write(~val, boardbox::kPioCodr);
        w.write(0xFFFFFFFF, boardbox::kPioPer);
        w.write(dir, boardbox::kPioOer);
        w.write(~dir, boardbox::kPioOdr);
        std::printf("gpio-out done\n");
        for (;;)
            pause();
    }
    if (cmd == "gpio-watch") { // MASK EXPECTED TIMEOUT_MS
        Window w;
        uint32_t mask = static_cast<uint32_t>(num(argv[2])), want = static_cast<uint32_t>(num(argv[3]));
        double deadline = now_ms() + static_cast<double>(num(argv[4]));
        std::printf("watching 0x%08X\n", w.read());
        while (now_ms() < deadline) {
            if ((w.read() & mask) == want) {
                std::printf("seen 0x%08X\n", w.read());
                return 0;
            }
            sleep_ms(1);
        }
        std::printf("not seen 0x%08X\n", w.read());
        return 1;
    }
    if (cmd == "tty") { // PORT: "ping" out, waits for "pong"
        std::string dev = std::string("/dev/ttyS") + argv[2];
        int fd = open(dev.c_str(), O_RDWR | O_NOCTTY);
        if (fd < 0) {
            std::printf("open %s errno %d\n", dev.c_str(), errno);
            return 1;
        }
        termios t;
        tcgetattr(fd, &t);
        cfmakeraw(&t);
        cfsetspeed(&t, B9600);
        tcsetattr(fd, TCSANOW, &t);
        std::printf("tty open\n");
        const char ping[] = "ping\n";
        std::string got;
        double deadline = now_ms() + 20000;
        double next_ping = 0;
        while (now_ms() < deadline && got.find("pong") == std::string::npos) {
            if (now_ms() >= next_ping) { // until the other end is there
                write(fd, ping, sizeof ping - 1);
                next_ping = now_ms() + 200;
            }
            fd_set rd;
            FD_ZERO(&rd);
            FD_SET(fd, &rd);
            timeval tv{0, 50000};
            if (select(fd + 1, &rd, nullptr, nullptr, &tv) > 0) {
                char buf[64];
                ssize_t n = read(fd, buf, sizeof buf);
                if (n > 0)
                    got.append(buf, static_cast<size_t>(n));
            }
        }
        std::printf(got.find("pong") != std::string::npos ? "got pong\n" : "no pong\n");
        return 0;
    }
    if (cmd == "tcp-serve") { // PORT: one connection gets "hello"
        int s = socket(AF_INET, SOCK_STREAM, 0);
        int one = 1;
        setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(num(argv[2])));
        if (bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(s, 1) != 0)
            return 1;
        std::printf("listening\n");
        int c = accept(s, nullptr, nullptr);
        write(c, "hello", 5);
        close(c);
        std::printf("served\n");
        return 0;
    }
    if (cmd == "tcp-connect") { // ADDR PORT: prints what the server sent
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(num(argv[3])));
        inet_pton(AF_INET, argv[2], &a.sin_addr);
        double deadline = now_ms() + 20000;
        while (now_ms() < deadline) {
            int s = socket(AF_INET, SOCK_STREAM, 0);
            if (connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0) {
                char buf[16] = {};
                read(s, buf, sizeof buf - 1);
                std::printf("received %s\n", buf);
                return 0;
            }
            close(s);
            sleep_ms(50); // the server is still starting
        }
        std::printf("no connection\n");
        return 1;
    }
    std::printf("unknown command %s\n", cmd.c_str());
    return 2;
}
