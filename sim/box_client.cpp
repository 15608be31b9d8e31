#include "sim/box_client.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace boardbox
{

using clk = std::chrono::steady_clock;

int Client::connect(const std::string &path, ms timeout)
{
    close();
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof addr.sun_path)
        return -1;
    std::memcpy(addr.sun_path, path.c_str(), path.size());
    auto deadline = clk::now() + timeout;
    for (;;) {
        int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0)
            return -1;
        if (::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0) {
            fd_ = fd;
            return 0;
        }
        ::close(fd);
        if (clk::now() >= deadline)
            return -1;
        // The box creates the socket while it starts: poll for it.
        std::this_thread::sleep_for(ms(20));
    }
}

int Client::connect_inside(ms timeout)
{
    const char *path = std::getenv("BOARDBOX_CONTROL");
    if (!path)
        return -1;
    return connect(path, timeout);
}

void Client::close()
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
    pending_.clear();
}

int Client::raw(const std::string &line, std::string &reply, ms timeout)
{
    if (fd_ < 0)
        return -1;
    std::string out = line + "\n";
    size_t off = 0;
    while (off < out.size()) {
        ssize_t n = ::send(fd_, out.data() + off, out.size() - off, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return -1;
        off += static_cast<size_t>(n);
    }
    auto deadline = clk::now() + timeout;
    for (;;) {
        size_t nl = pending_.find('\n');
        if (nl != std::string::npos) {
            reply = pending_.substr(0, nl);
            pending_.erase(0, nl + 1);
            return 0;
        }
        auto left = std::chrono::duration_cast<ms>(deadline - clk::now()).count();
        if (left <= 0)
            return -1;
        pollfd p{fd_, POLLIN, 0};
        int r = ::poll(&p, 1, static_cast<int>(left));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return -1;
        char buf[4096];
        ssize_t n = ::read(fd_, buf, sizeof buf);
        if (n <= 0)
            return -1;
        pending_.append(buf, static_cast<size_t>(n));
    }
}

int Client::request(const nlohmann::json &req, nlohmann::json &reply, ms timeout)
{
    std::string line;
    if (raw(req.dump(), line, timeout) != 0)
        return -1;
    reply = nlohmann::json::parse(line, nullptr, false);
    if (reply.is_discarded() || !reply.is_object())
        return -1;
    return reply.value("ok", false) ? 0 : -1;
}

bool Client::ping()
{
    nlohmann::json r;
    return request({{"cmd", "ping"}}, r) == 0;
}

int Client::set_inputs(uint32_t low, uint32_t high)
{
    nlohmann::json r;
    return request({{"cmd", "gpio_set"}, {"low", low}, {"high", high}}, r);
}

int Client::read_gpio(GpioState &s)
{
    nlohmann::json r;
    if (request({{"cmd", "gpio_read"}}, r) != 0)
        return -1;
    s.outputs = r.value("outputs", 0u);
    s.directions = r.value("directions", 0u);
    s.levels = r.value("levels", 0u);
    s.inputs = r.value("inputs", 0u);
    return 0;
}

int Client::read_outputs(uint32_t &outputs)
{
    GpioState s;
    if (read_gpio(s) != 0)
        return -1;
    outputs = s.outputs;
    return 0;
}

int Client::amplifier_log(std::vector<AmpCommand> &commands)
{
    nlohmann::json r;
    if (request({{"cmd", "amp_log"}}, r) != 0)
        return -1;
    commands.clear();
    for (auto &b : r["bytes"])
        commands.push_back(AmpCommand{b.value("t", 0.0), static_cast<uint8_t>(b.value("value", 0u))});
    return 0;
}

int Client::audio_levels(AudioLevels &l)
{
    nlohmann::json r;
    if (request({{"cmd", "audio_levels"}}, r) != 0)
        return -1;
    l.configured = r.value("configured", false);
    l.capture_dbfs = r.value("capture_dbfs", -100.0);
    l.playback_dbfs = r.value("playback_dbfs", -100.0);
    l.rx_blocks = r.value("rx_blocks", 0ull);
    l.rx_read = r.value("rx_read", 0ull);
    l.tx_blocks = r.value("tx_blocks", 0ull);
    l.tx_written = r.value("tx_written", 0ull);
    l.tx_fill = r.value("tx_fill", 0ull);
    return 0;
}

int Client::arm_playback_marker(int threshold)
{
    nlohmann::json r;
    return request({{"cmd", "playback_marker"}, {"arm", threshold}}, r);
}

int Client::playback_marker(PlaybackMarker &m)
{
    nlohmann::json r;
    if (request({{"cmd", "playback_marker"}}, r) != 0)
        return -1;
    m.seen = r.value("seen", false);
    m.sample_ns = r.value("sample_ns", int64_t{0});
    m.write_enter_ns = r.value("write_enter_ns", int64_t{0});
    m.write_accept_ns = r.value("write_accept_ns", int64_t{0});
    m.prev_accept_ns = r.value("prev_accept_ns", int64_t{0});
    return 0;
}

int Client::set_capture(const std::string &source)
{
    nlohmann::json r;
    return request({{"cmd", "capture"}, {"source", source}}, r);
}

int Client::tty_path(int port, std::string &path)
{
    nlohmann::json r;
    if (request({{"cmd", "tty"}, {"port", port}}, r) != 0 || !r.contains("path"))
        return -1;
    path = r["path"];
    return 0;
}

int Client::note(const std::string &text)
{
    nlohmann::json r;
    return request({{"cmd", "log"}, {"text", text}}, r);
}

int Client::flash_state(FlashState &state)
{
    nlohmann::json r;
    if (request({{"cmd", "mtd"}}, r) != 0)
        return -1;
    state = FlashState();
    state.ram0_size = r.value("ram0_size", -1LL);
    if (!r.contains("partitions") || !r["partitions"].is_array())
        return -1;
    for (auto &p : r["partitions"]) {
        MtdPartition m;
        m.device = p.value("device", std::string());
        m.size = p.value("size", uint64_t{0});
        m.erases = p.value("erases", uint64_t{0});
        m.writes = p.value("writes", uint64_t{0});
        m.failed_writes = p.value("failed_writes", uint64_t{0});
        m.last_write_bytes = p.value("last_write_bytes", uint64_t{0});
        m.last_write_ok = p.value("last_write_ok", true);
        state.partitions.push_back(m);
    }
    return 0;
}

} // namespace boardbox
