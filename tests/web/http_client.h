// A bare HTTP/1.1 client for the web tests: one request per connection, sent
// byte for byte as given (so paths are not normalised and headers may be
// anything), the answer read to its end.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <map>
#include <string>
#include <thread>

namespace webtest
{

struct Answer {
    int status = -1;                            // -1: no answer
    std::map<std::string, std::string> headers; // lower-case names
    std::string body;
    std::string header(const std::string &name) const
    {
        auto it = headers.find(name);
        return it == headers.end() ? "" : it->second;
    }
};

inline int connect_to(int port)
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

inline Answer parse_answer(const std::string &raw)
{
    Answer a;
    size_t end = raw.find("\r\n\r\n");
    if (raw.compare(0, 9, "HTTP/1.1 ") != 0 || end == std::string::npos)
        return a;
    a.status = std::atoi(raw.c_str() + 9);
    size_t pos = raw.find("\r\n") + 2;
    while (pos < end) {
        size_t nl = raw.find("\r\n", pos);
        std::string line = raw.substr(pos, nl - pos);
        size_t colon = line.find(':');
        if (colon != std::string::npos) {
            std::string name = line.substr(0, colon);
            for (char &c : name)
                c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            size_t v = colon + 1;
            while (v < line.size() && line[v] == ' ')
                ++v;
            a.headers.emplace(name, line.substr(v));
        }
        pos = nl + 2;
    }
    a.body = raw.substr(end + 4);
    return a;
}

// Sends `raw` (a whole request) and reads until the server closes, at most
// `timeout`. Reading goes on while sending: a server may answer a body it
// refuses before taking all of it.
inline Answer http_exchange(int port, const std::string &raw,
                            std::chrono::milliseconds timeout = std::chrono::seconds(10))
{
    int fd = connect_to(port);
    if (fd < 0)
        return Answer{};
    size_t sent = 0;
    std::string in;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    char buf[8192];
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                          std::chrono::steady_clock::now());
        if (left.count() <= 0)
            break;
        pollfd p{fd, static_cast<short>(POLLIN | (sent < raw.size() ? POLLOUT : 0)), 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0)
            break;
        if (p.revents & POLLIN) {
            ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n <= 0)
                break;
            in.append(buf, static_cast<size_t>(n));
            continue;
        }
        if (p.revents & POLLOUT) {
            ssize_t n = ::send(fd, raw.data() + sent, raw.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n <= 0)
                sent = raw.size(); // the server stopped taking it: only its answer is left
            else
                sent += static_cast<size_t>(n);
            continue;
        }
        if (p.revents & (POLLERR | POLLHUP))
            break;
    }
    ::close(fd);
    return parse_answer(in);
}

inline std::string request(const std::string &method, const std::string &path, const std::string &body = "",
                           const std::string &extra_headers = "")
{
    std::string r =
        method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n" + extra_headers;
    if (!body.empty() || method == "POST" || method == "PUT")
        r += "Content-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) + "\r\n";
    return r + "\r\n" + body;
}

// Waits until something accepts connections on the port.
inline bool wait_listening(int port, std::chrono::milliseconds timeout)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        int fd = connect_to(port);
        if (fd >= 0) {
            ::close(fd);
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

} // namespace webtest
