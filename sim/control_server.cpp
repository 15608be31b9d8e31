#include "sim/control_server.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "sim/sys_util.h"

namespace boardbox
{

namespace
{
constexpr size_t kMaxLine = 1 << 20; // a client sending more without a newline is dropped
}

int ControlServer::bind(const std::string &path, std::string &why)
{
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof addr.sun_path) {
        why = "control socket path too long: " + path;
        return -1;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size());
    size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    base_ = slash == std::string::npos ? path : path.substr(slash + 1);
    dir_.reset(::open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    listen_.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!dir_.valid() || !listen_.valid()) {
        why = "cannot create control socket " + path + ": " + std::strerror(errno);
        return -1;
    }
    struct stat st;
    if (::lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode))
        ::unlink(path.c_str());
    if (::bind(listen_.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        ::listen(listen_.get(), 16) != 0) {
        why = "cannot bind control socket " + path + ": " + std::strerror(errno);
        listen_.reset();
        return -1;
    }
    path_ = path;
    return 0;
}

void ControlServer::add(const std::string &cmd, Handler handler)
{
    handlers_[cmd] = std::move(handler);
}

int ControlServer::start()
{
    if (!listen_.valid())
        return 0;
    wake_.reset(::eventfd(0, EFD_CLOEXEC));
    if (!wake_.valid())
        return -1;
    thread_ = std::thread([this] { run(); });
    return 0;
}

void ControlServer::stop()
{
    if (thread_.joinable()) {
        signal_event(wake_.get());
        thread_.join();
    }
    if (listen_.valid()) {
        listen_.reset();
        ::unlinkat(dir_.get(), base_.c_str(), 0);
    }
}

std::string ControlServer::handle_line(const std::string &line)
{
    nlohmann::json reply;
    nlohmann::json req = nlohmann::json::parse(line, nullptr, false);
    if (req.is_discarded() || !req.is_object()) {
        reply = {{"ok", false}, {"error", "request is not a JSON object"}};
    } else if (!req.contains("cmd") || !req["cmd"].is_string()) {
        reply = {{"ok", false}, {"error", "request has no \"cmd\""}};
    } else {
        std::string cmd = req["cmd"];
        auto it = handlers_.find(cmd);
        // A field of the wrong type makes a handler's lookup throw; that is
        // the client's mistake and must not end the box.
        try {
            if (it != handlers_.end())
                reply = it->second(req);
            else if (fallback_)
                reply = fallback_(req);
        } catch (const nlohmann::json::exception &e) {
            reply = {{"ok", false}, {"error", std::string("a field has the wrong type: ") + e.what()}};
        }
        if (reply.is_null())
            reply = {{"ok", false}, {"error", "unknown command: " + cmd}};
        if (!reply.contains("ok"))
            reply["ok"] = true;
    }
    return reply.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

void ControlServer::run()
{
    struct Client {
        UniqueFd fd;
        std::string in, out;
    };
    std::vector<Client> clients;
    for (;;) {
        std::vector<pollfd> p;
        p.push_back({wake_.get(), POLLIN, 0});
        p.push_back({listen_.get(), POLLIN, 0});
        for (auto &c : clients)
            p.push_back({c.fd.get(), static_cast<short>(POLLIN | (c.out.empty() ? 0 : POLLOUT)), 0});
        if (::poll(p.data(), p.size(), -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (p[0].revents)
            return;
        if (p[1].revents & POLLIN) {
            int fd = ::accept4(listen_.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (fd >= 0)
                clients.push_back(Client{UniqueFd(fd), {}, {}});
        }
        for (size_t i = 0; i < clients.size() && i + 2 < p.size(); ++i) {
            Client &c = clients[i];
            short ev = p[i + 2].revents;
            bool drop = false;
            if (ev & POLLIN) {
                char buf[4096];
                ssize_t n = ::read(c.fd.get(), buf, sizeof buf);
                if (n > 0) {
                    c.in.append(buf, static_cast<size_t>(n));
                    size_t nl;
                    while ((nl = c.in.find('\n')) != std::string::npos) {
                        std::string line = c.in.substr(0, nl);
                        c.in.erase(0, nl + 1);
                        if (!line.empty() && line.back() == '\r')
                            line.pop_back();
                        if (!line.empty())
                            c.out += handle_line(line);
                    }
                    if (c.in.size() > kMaxLine)
                        drop = true;
                } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                    drop = true;
                }
            } else if (ev & (POLLHUP | POLLERR)) {
                drop = true;
            }
            if (!drop && !c.out.empty()) {
                ssize_t n = ::send(c.fd.get(), c.out.data(), c.out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
                if (n > 0)
                    c.out.erase(0, static_cast<size_t>(n));
                else if (n < 0 && errno != EAGAIN && errno != EINTR)
                    drop = true;
            }
            if (drop)
                c.fd.reset();
        }
        for (size_t i = clients.size(); i-- > 0;)
            if (!clients[i].fd.valid())
                clients.erase(clients.begin() + static_cast<long>(i));
    }
}

} // namespace boardbox
