#include "sim/tty_port.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "sim/sys_util.h"

namespace boardbox
{

namespace
{

int open_pty(UniqueFd &master, UniqueFd &slave, std::string &slave_path, const char *ptmx)
{
    master.reset(::open(ptmx, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK));
    if (!master.valid() || ::grantpt(master.get()) != 0 || ::unlockpt(master.get()) != 0)
        return -1;
    char name[128];
    if (::ptsname_r(master.get(), name, sizeof name) != 0)
        return -1;
    slave_path = name;
    slave.reset(::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!slave.valid())
        return -1;
    // Raw by default: a line the product never configures must not echo.
    termios t;
    if (::tcgetattr(slave.get(), &t) != 0)
        return -1;
    ::cfmakeraw(&t);
    return ::tcsetattr(slave.get(), TCSANOW, &t);
}

unsigned speed_value(speed_t s)
{
    static const struct {
        speed_t code;
        unsigned value;
    } table[] = {{B0, 0},
                 {B50, 50},
                 {B75, 75},
                 {B110, 110},
                 {B134, 134},
                 {B150, 150},
                 {B200, 200},
                 {B300, 300},
                 {B600, 600},
                 {B1200, 1200},
                 {B1800, 1800},
                 {B2400, 2400},
                 {B4800, 4800},
                 {B9600, 9600},
                 {B19200, 19200},
                 {B38400, 38400},
                 {B57600, 57600},
                 {B115200, 115200},
                 {B230400, 230400},
                 {B460800, 460800},
                 {B500000, 500000},
                 {B576000, 576000},
                 {B921600, 921600},
                 {B1000000, 1000000},
                 {B1152000, 1152000},
                 {B1500000, 1500000},
                 {B2000000, 2000000},
                 {B2500000, 2500000},
                 {B3000000, 3000000},
                 {B3500000, 3500000},
                 {B4000000, 4000000}};
    for (auto &e : table)
        if (e.code == s)
            return e.value;
    return 0;
}

void write_or_drop(int fd, const uint8_t *data, size_t count)
{
    while (count > 0) {
        ssize_t n = ::write(fd, data, count);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN) {
            pollfd p{fd, POLLOUT, 0};
            if (::poll(&p, 1, 1000) <= 0)
                return; // nobody drains the line: drop rather than stall the box
            continue;
        }
        if (n <= 0)
            return;
        data += n;
        count -= static_cast<size_t>(n);
    }
}

} // namespace

TtyPort::TtyPort(int port, std::string kind, EventLog &log, PioModel *pio)
    : port_(port), kind_(std::move(kind)), log_(log), pio_(pio)
{
    size_t colon = kind_.find(':');
    if (colon != std::string::npos) {
        arg_ = kind_.substr(colon + 1);
        kind_ = kind_.substr(0, colon);
    }
}

int TtyPort::prepare(std::string &why)
{
    if (kind_ == "null" || kind_ == "raw")
        ; // built in
    else if (!find_peer(kind_)) {
        why = "unknown kind for " + device() + ": " + kind_;
        return -1;
    }
    if (kind_ != "raw")
        return 0;
    if (open_pty(host_master_, host_slave_, host_path_, "/dev/ptmx") != 0) {
        why = "cannot open a host pty for " + device() + ": " + std::strerror(errno);
        return -1;
    }
    return 0;
}

int TtyPort::create(std::string &why)
{
    std::string slave_path;
    if (open_pty(master_, slave_, slave_path, "/dev/ptmx") != 0 ||
        ::symlink(slave_path.c_str(), device().c_str()) != 0) {
        why = "cannot create " + device() + ": " + std::strerror(errno);
        return -1;
    }
    return 0;
}

int TtyPort::start(std::string &why)
{
    if (kind_ == "raw")
        log_.event("tty%d raw %s", port_, host_path_.c_str());
    if (const PeerFactory *f = find_peer(kind_)) {
        peer_ = (*f)(*this, arg_);
        if (!peer_) {
            why = "the " + kind_ + " peer of " + device() + " failed to start";
            return -1;
        }
    }
    wake_.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!wake_.valid()) {
        why = "cannot create an eventfd";
        return -1;
    }
    thread_ = std::thread([this] { run(); });
    return 0;
}

void TtyPort::stop()
{
    if (!thread_.joinable())
        return;
    stopping_.store(true);
    signal_event(wake_.get());
    thread_.join();
    peer_.reset();
}

void TtyPort::close_in_child()
{
    master_.reset();
    slave_.reset();
    host_master_.reset();
    host_slave_.reset();
}

void TtyPort::notify_gpio(uint32_t outputs, uint32_t changed)
{
    if (!peer_)
        return;
    {
        std::lock_guard<std::mutex> g(gpio_lock_);
        gpio_outputs_ = outputs;
        gpio_changed_ |= changed;
    }
    signal_event(wake_.get());
}

void TtyPort::trace(const char *dir, const uint8_t *data, size_t count)
{
    char hex[3 * 48 + 8];
    size_t shown = count < 48 ? count : 48;
    size_t n = 0;
    for (size_t i = 0; i < shown; ++i)
        n += static_cast<size_t>(std::snprintf(hex + n, sizeof hex - n, " %02X", data[i]));
    log_.event("tty%d %s %zu bytes:%s%s", port_, dir, count, hex, shown < count ? " ..." : "");
}

void TtyPort::run()
{
    uint8_t buf[4096];
    auto next_tick = log_.now() + 0.01;
    while (!stopping_.load()) {
        pollfd p[3] = {{wake_.get(), POLLIN, 0}, {master_.get(), POLLIN, 0}, {host_master_.get(), POLLIN, 0}};
        int timeout = peer_ ? 10 : -1;
        int n = ::poll(p, host_master_.valid() ? 3 : 2, timeout);
        if (n < 0 && errno != EINTR)
            break;
        if (p[0].revents & POLLIN) {
            uint64_t v;
            ssize_t ignored = ::read(wake_.get(), &v, sizeof v);
            (void)ignored;
            int op;
            {
                std::lock_guard<std::mutex> g(master_lock_);
                op = pending_op_;
            }
            if (op != 0)
                apply_line_op(op);
            uint32_t outs, changed;
            {
                std::lock_guard<std::mutex> g(gpio_lock_);
                outs = gpio_outputs_;
                changed = gpio_changed_;
                gpio_changed_ = 0;
            }
            if (peer_ && changed)
                peer_->gpio_changed(outs, changed);
        }
        if (p[1].revents & POLLIN) {
            ssize_t r = ::read(master_.get(), buf, sizeof buf);
            if (r > 0) {
                trace("<-", buf, static_cast<size_t>(r));
                if (peer_)
                    peer_->received(buf, static_cast<size_t>(r));
                else if (host_master_.valid())
                    write_or_drop(host_master_.get(), buf, static_cast<size_t>(r));
            }
        }
        if (host_master_.valid() && (p[2].revents & POLLIN)) {
            ssize_t r = ::read(host_master_.get(), buf, sizeof buf);
            if (r > 0) {
                trace("->", buf, static_cast<size_t>(r));
                write_or_drop(master_.get(), buf, static_cast<size_t>(r));
            }
        }
        if (peer_ && log_.now() >= next_tick) {
            next_tick = log_.now() + 0.01;
            peer_->tick();
        }
    }
}

void TtyPort::apply_line_op(int op)
{
    std::lock_guard<std::mutex> g(master_lock_);
    op_result_ = 0;
    if (op == 1 && !hung_up_) {
        ::tcgetattr(slave_.get(), &saved_);
        master_.reset();
        slave_.reset();
        ::unlink(device().c_str());
        hung_up_ = true;
        log_.event("tty%d hung up: %s gone", port_, device().c_str());
    } else if (op == 2 && hung_up_) {
        std::string slave_path;
        errno = 0;
        if (open_pty(master_, slave_, slave_path, "/dev/ptmx") != 0 ||
            ::tcsetattr(slave_.get(), TCSANOW, &saved_) != 0 ||
            ::symlink(slave_path.c_str(), device().c_str()) != 0) {
            op_result_ = errno ? errno : EIO;
            master_.reset();
            slave_.reset();
        } else {
            hung_up_ = false;
            log_.event("tty%d restored as %s", port_, slave_path.c_str());
        }
    }
    pending_op_ = 0;
    op_done_.notify_all();
}

nlohmann::json TtyPort::line_op(int op)
{
    std::unique_lock<std::mutex> g(master_lock_);
    pending_op_ = op;
    signal_event(wake_.get());
    if (!op_done_.wait_for(g, std::chrono::seconds(5), [this] { return pending_op_ == 0; }))
        return {{"ok", false}, {"error", "the line's thread did not answer"}};
    if (op_result_ != 0)
        return {{"ok", false},
                {"error", std::string("cannot restore the line: ") + std::strerror(op_result_)}};
    return {{"ok", true}, {"hung_up", hung_up_.load()}};
}

void TtyPort::send(const uint8_t *data, size_t count)
{
    trace("->", data, count);
    std::lock_guard<std::mutex> g(master_lock_);
    write_or_drop(master_.get(), data, count);
}

void TtyPort::set_inputs(uint32_t low, uint32_t high)
{
    if (pio_)
        pio_->set_inputs(low, high);
    log_.event("tty%d peer inputs low 0x%08X high 0x%08X", port_, low, high);
}

uint32_t TtyPort::gpio_outputs() const
{
    return pio_ ? pio_->outputs() : 0;
}
uint32_t TtyPort::gpio_levels() const
{
    return pio_ ? pio_->levels() : 0;
}

unsigned TtyPort::baud() const
{
    termios t;
    if (hung_up_)
        return speed_value(cfgetospeed(&saved_));
    if (::tcgetattr(master_.get(), &t) != 0)
        return 0;
    return speed_value(cfgetospeed(&t));
}

void TtyPort::log(const std::string &text)
{
    log_.event("tty%d %s: %s", port_, kind_.c_str(), text.c_str());
}

nlohmann::json TtyPort::control(const nlohmann::json &request)
{
    std::string cmd = request.value("cmd", "");
    if (cmd == "tty" && request.contains("op")) {
        const std::string op = request.value("op", "");
        if (op == "hangup" || op == "restore")
            return line_op(op == "hangup" ? 1 : 2);
        return {{"ok", false}, {"error", "unknown tty op: " + op}};
    }
    if (cmd == "tty") {
        nlohmann::json r = {
            {"ok", true}, {"port", port_}, {"kind", kind_}, {"device", device()}, {"baud", baud()}};
        if (kind_ == "raw")
            r["path"] = host_path_;
        return r;
    }
    if (!peer_)
        return {{"ok", false}, {"error", device() + " has no peer emulator"}};
    nlohmann::json r = peer_->control(request);
    if (!r.is_object())
        r = {{"result", r}};
    if (!r.contains("ok"))
        r["ok"] = true;
    return r;
}

} // namespace boardbox
