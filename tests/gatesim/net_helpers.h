// Small blocking socket helpers for the libgatesim tests: everything stays on
// 127.0.0.1 and every wait has a generous time-out instead of a sleep.
#pragma once

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <functional>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace testnet
{

constexpr int timeout_ms = 10000;

class Fd
{
  public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(Fd &&o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
    Fd &operator=(Fd &&o) noexcept
    {
        if (this != &o) {
            reset();
            fd_ = o.fd_;
            o.fd_ = -1;
        }
        return *this;
    }
    int get() const { return fd_; }
    void reset()
    {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }

  private:
    int fd_ = -1;
};

inline sockaddr_in loopback(int port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

inline Fd tcp_connect(int port)
{
    Fd s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a = loopback(port);
    if (::connect(s.get(), reinterpret_cast<sockaddr *>(&a), sizeof a) != 0)
        return Fd();
    return s;
}

inline int local_port(int fd)
{
    sockaddr_in a{};
    socklen_t len = sizeof a;
    if (getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) != 0)
        return -1;
    return ntohs(a.sin_port);
}

inline Fd udp_socket()
{
    Fd s(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_in a = loopback(0);
    if (::bind(s.get(), reinterpret_cast<sockaddr *>(&a), sizeof a) != 0)
        return Fd();
    return s;
}

// A port that was free a moment ago (bound and released).
inline int free_port(int type)
{
    Fd s(::socket(AF_INET, type | SOCK_CLOEXEC, 0));
    sockaddr_in a = loopback(0);
    if (::bind(s.get(), reinterpret_cast<sockaddr *>(&a), sizeof a) != 0)
        return -1;
    return local_port(s.get());
}

inline bool readable(int fd, int ms)
{
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, ms) > 0;
}

// Reads exactly n bytes; fewer when the peer closes or the time-out passes.
inline std::vector<uint8_t> read_n(int fd, size_t n, int ms = timeout_ms)
{
    std::vector<uint8_t> out;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (out.size() < n) {
        auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !readable(fd, static_cast<int>(left.count())))
            break;
        uint8_t buf[4096];
        size_t want = std::min(n - out.size(), sizeof buf);
        ssize_t r = ::recv(fd, buf, want, 0);
        if (r <= 0)
            break;
        out.insert(out.end(), buf, buf + r);
    }
    return out;
}

// True when the peer closed (or reset) the connection within the time-out,
// discarding any data that comes first.
inline bool closed_by_peer(int fd, int ms = timeout_ms)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !readable(fd, static_cast<int>(left.count())))
            return false;
        uint8_t buf[4096];
        ssize_t r = ::recv(fd, buf, sizeof buf, 0);
        if (r == 0 || (r < 0 && errno != EINTR && errno != EAGAIN))
            return true;
    }
}

inline bool send_all(int fd, const std::vector<uint8_t> &data)
{
    size_t done = 0;
    while (done < data.size()) {
        ssize_t r = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (r <= 0)
            return false;
        done += static_cast<size_t>(r);
    }
    return true;
}

// Receives one datagram; empty on time-out.
inline std::vector<uint8_t> recv_datagram(int fd, int ms = timeout_ms, sockaddr_in *from = nullptr)
{
    if (!readable(fd, ms))
        return {};
    std::vector<uint8_t> buf(2048);
    sockaddr_in a{};
    socklen_t len = sizeof a;
    ssize_t r = ::recvfrom(fd, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr *>(&a), &len);
    if (r < 0)
        return {};
    buf.resize(static_cast<size_t>(r));
    if (from != nullptr)
        *from = a;
    return buf;
}

inline bool send_datagram(int fd, int port, const std::vector<uint8_t> &data)
{
    sockaddr_in a = loopback(port);
    return ::sendto(fd, data.data(), data.size(), 0, reinterpret_cast<sockaddr *>(&a), sizeof a) ==
           static_cast<ssize_t>(data.size());
}

inline bool wait_until(const std::function<bool()> &cond, int ms = timeout_ms)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

} // namespace testnet
