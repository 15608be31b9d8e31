#include "sim/site_network.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "sim/sys_util.h"

namespace boardbox
{

namespace
{

constexpr const char *kPrefix = "172.16.0.";

bool valid_address(const std::string &a)
{
    in_addr in;
    return a.rfind(kPrefix, 0) == 0 && ::inet_pton(AF_INET, a.c_str(), &in) == 1 && a != "172.16.0.0" &&
           a != "172.16.0.255";
}

socklen_t site_addr(const std::string &name, sockaddr_un &a)
{
    std::memset(&a, 0, sizeof a);
    a.sun_family = AF_UNIX;
    std::string n = "boardbox-site-" + name;
    std::memcpy(a.sun_path + 1, n.data(), n.size()); // abstract: no file anywhere
    return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + n.size());
}

bool read_line(int fd, std::string &line, int timeout_ms)
{
    line.clear();
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, timeout_ms) <= 0)
            return false;
        char c;
        if (::read(fd, &c, 1) != 1)
            return false;
        if (c == '\n')
            return true;
        if (line.size() > 256)
            return false;
        line += c;
    }
}

bool write_line(int fd, const std::string &line)
{
    std::string s = line + "\n";
    return ::send(fd, s.data(), s.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(s.size());
}

} // namespace

int run_ip(int netns, const std::vector<std::string> &args)
{
    std::vector<std::string> argv{"ip"};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char *> a;
    for (auto &s : argv)
        a.push_back(const_cast<char *>(s.c_str()));
    a.push_back(nullptr);
    pid_t pid = ::fork();
    if (pid < 0)
        return -1;
    if (pid == 0) {
        if (netns >= 0 && ::setns(netns, CLONE_NEWNET) != 0)
            _exit(126);
        int null = ::open("/dev/null", O_WRONLY);
        if (null >= 0)
            ::dup2(null, 1);
        ::execv("/usr/sbin/ip", a.data());
        ::execv("/sbin/ip", a.data());
        _exit(127);
    }
    int st;
    while (::waitpid(pid, &st, 0) < 0)
        if (errno != EINTR)
            return -1;
    return WIFEXITED(st) && WEXITSTATUS(st) == 0 ? 0 : -1;
}

int SiteNetwork::prepare(const std::string &desc, std::string &why)
{
    size_t colon = desc.find(':');
    name_ = desc.substr(0, colon);
    wanted_ = colon == std::string::npos ? "" : desc.substr(colon + 1);
    if (name_.empty() || name_.size() > 64 || name_.find_first_of("/ \n") != std::string::npos) {
        why = "bad site name: " + desc;
        return -1;
    }
    if (!wanted_.empty() && !valid_address(wanted_)) {
        why = "a site address is one of 172.16.0.1-254: " + wanted_;
        return -1;
    }
    sockaddr_un a;
    socklen_t len = site_addr(name_, a);
    sock_.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!sock_.valid()) {
        why = std::string("socket: ") + std::strerror(errno);
        return -1;
    }
    if (::connect(sock_.get(), reinterpret_cast<sockaddr *>(&a), len) == 0)
        return 0;
    // Nobody keeps the site yet: this box does.
    if (::bind(sock_.get(), reinterpret_cast<sockaddr *>(&a), len) != 0 || ::listen(sock_.get(), 16) != 0) {
        why = "cannot join or create site " + name_ + ": " + std::strerror(errno);
        return -1;
    }
    keeper_ = true;
    return 0;
}

int SiteNetwork::create_site(std::string &why)
{
    if (!keeper_)
        return 0;
    UniqueFd outer(::open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC));
    if (!outer.valid() || ::unshare(CLONE_NEWNET) != 0) {
        why = std::string("cannot create the site network: ") + std::strerror(errno);
        return -1;
    }
    site_ns_.reset(::open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC));
    if (!site_ns_.valid() || run_ip(-1, {"link", "add", "br0", "type", "bridge"}) != 0 ||
        run_ip(-1, {"link", "set", "br0", "up"}) != 0 || run_ip(-1, {"link", "set", "lo", "up"}) != 0) {
        why = "cannot set up the site network";
        return -1;
    }
    return 0;
}

int SiteNetwork::link(int pid, const std::string &wanted, std::string &assigned, std::string &why)
{
    std::lock_guard<std::mutex> g(lock_);
    if (!wanted.empty()) {
        if (taken_.count(wanted)) {
            why = "address taken: " + wanted;
            return -1;
        }
        assigned = wanted;
    } else {
        assigned.clear();
        for (int host = 188; host < 255 && assigned.empty(); ++host) {
            std::string a = kPrefix + std::to_string(host);
            if (host != 189 && !taken_.count(a))
                assigned = a;
        }
        if (assigned.empty()) {
            why = "the site is full";
            return -1;
        }
    }
    std::string port = "bbx" + std::to_string(links_++);
    if (run_ip(site_ns_.get(), {"link", "add", port, "type", "veth", "peer", "name", "eth0", "netns",
                                std::to_string(pid)}) != 0 ||
        run_ip(site_ns_.get(), {"link", "set", port, "master", "br0", "up"}) != 0) {
        why = "cannot link a box to the site";
        return -1;
    }
    taken_.insert(assigned);
    return 0;
}

int SiteNetwork::join(std::string &why)
{
    if (!sock_.valid())
        return 0;
    if (keeper_) {
        if (link(::getpid(), wanted_, address_, why) != 0)
            return -1;
    } else {
        std::string reply;
        if (!write_line(sock_.get(), "JOIN " + (wanted_.empty() ? std::string("auto") : wanted_)) ||
            !read_line(sock_.get(), reply, 10000)) {
            why = "the keeper of site " + name_ + " does not answer";
            return -1;
        }
        if (reply.rfind("OK ", 0) != 0) {
            why = "site " + name_ + ": " + (reply.size() > 4 ? reply.substr(4) : reply);
            return -1;
        }
        address_ = reply.substr(3);
    }
    if (run_ip(-1, {"addr", "add", address_ + "/24", "dev", "eth0"}) != 0 ||
        run_ip(-1, {"link", "set", "eth0", "up"}) != 0) {
        why = "cannot configure eth0";
        return -1;
    }
    return 0;
}

void SiteNetwork::start()
{
    if (!keeper_)
        return;
    wake_.reset(::eventfd(0, EFD_CLOEXEC));
    thread_ = std::thread([this] { serve(); });
}

void SiteNetwork::stop()
{
    if (!thread_.joinable())
        return;
    signal_event(wake_.get());
    thread_.join();
}

void SiteNetwork::serve()
{
    // Members stay connected while they live: their connections are kept so the
    // keeper could tell when they leave.
    std::vector<UniqueFd> members;
    while (wait_for_input(sock_.get(), wake_.get()) == Input::ready) {
        UniqueFd c(::accept4(sock_.get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (!c.valid())
            continue;
        ucred cred{};
        socklen_t len = sizeof cred;
        std::string line, why, assigned;
        if (::getsockopt(c.get(), SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 ||
            !read_line(c.get(), line, 10000) || line.rfind("JOIN ", 0) != 0)
            continue;
        std::string wanted = line.substr(5);
        if (wanted == "auto")
            wanted.clear();
        if (!wanted.empty() && !valid_address(wanted))
            write_line(c.get(), "ERR bad address " + wanted);
        else if (link(cred.pid, wanted, assigned, why) != 0)
            write_line(c.get(), "ERR " + why);
        else
            write_line(c.get(), "OK " + assigned);
        members.push_back(std::move(c));
    }
}

} // namespace boardbox
