#include "tools/gatesimd/control_socket.h"

#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace
{

// A client that sends a line longer than this without a newline is cut off.
constexpr size_t max_line = 256 * 1024;

void send_all(int fd, const std::string &s)
{
    size_t done = 0;
    while (done < s.size()) {
        ssize_t r = ::send(fd, s.data() + done, s.size() - done, MSG_NOSIGNAL);
        if (r <= 0)
            return;
        done += static_cast<size_t>(r);
    }
}

} // namespace

ControlSocket::~ControlSocket()
{
    for (conn &c : conns_)
        ::close(c.fd);
    if (listen_fd_ >= 0) {
        ::close(listen_fd_);
        ::unlink(path_.c_str());
    }
}

bool ControlSocket::open(const std::string &path, std::string &error)
{
    sockaddr_un a{};
    if (path.empty() || path.size() >= sizeof a.sun_path) {
        error = "control socket path is empty or too long: " + path;
        return false;
    }
    struct stat st {
    };
    if (::lstat(path.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) {
            error = path + " exists and is not a socket";
            return false;
        }
        ::unlink(path.c_str());
    }
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    a.sun_family = AF_UNIX;
    std::memcpy(a.sun_path, path.c_str(), path.size());
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || ::listen(fd, 8) != 0) {
        error = "cannot listen on " + path + ": " + std::strerror(errno);
        if (fd >= 0)
            ::close(fd);
        return false;
    }
    listen_fd_ = fd;
    path_ = path;
    return true;
}

std::vector<int> ControlSocket::fds() const
{
    std::vector<int> out;
    if (listen_fd_ >= 0)
        out.push_back(listen_fd_);
    for (const conn &c : conns_)
        out.push_back(c.fd);
    return out;
}

void ControlSocket::on_readable(int fd, const handler &h)
{
    if (fd == listen_fd_) {
        int c = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (c >= 0)
            conns_.push_back(conn{c, {}});
        return;
    }
    for (size_t i = 0; i < conns_.size(); i++) {
        if (conns_[i].fd != fd)
            continue;
        char buf[4096];
        ssize_t r = ::recv(fd, buf, sizeof buf, 0);
        bool drop = r <= 0;
        if (!drop) {
            std::string &b = conns_[i].buffer;
            b.append(buf, static_cast<size_t>(r));
            size_t nl;
            while ((nl = b.find('\n')) != std::string::npos) {
                std::string line = b.substr(0, nl);
                b.erase(0, nl + 1);
                std::string reply = h(line);
                if (!reply.empty() && reply.back() != '\n')
                    reply += '\n';
                send_all(fd, reply);
            }
            drop = b.size() > max_line;
        }
        if (drop) {
            ::close(fd);
            conns_.erase(conns_.begin() + static_cast<long>(i));
        }
        return;
    }
}
