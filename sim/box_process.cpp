#include "sim/box_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace boardbox
{

std::string BoxProcess::default_binary()
{
    return BOARDBOX_BINARY;
}

std::string BoxProcess::temp_path(const std::string &stem)
{
    static std::atomic<unsigned> counter{0};
    const char *tmp = std::getenv("TMPDIR");
    std::string dir = tmp && *tmp && std::string(tmp).size() < 40 ? tmp : "/tmp";
    return dir + "/bbx-" + stem + "-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
}

BoxProcess::~BoxProcess()
{
    if (pid_ > 0)
        stop(ms(2000));
    if (reader_.joinable())
        reader_.join();
}

int BoxProcess::start(const std::vector<std::string> &box_options, const std::vector<std::string> &program)
{
    if (pid_ > 0)
        return -1;
    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) != 0)
        return -1;
    if (::pipe2(err, O_CLOEXEC) != 0) {
        ::close(out[0]);
        ::close(out[1]);
        return -1;
    }
    std::vector<std::string> argv{binary_};
    argv.insert(argv.end(), box_options.begin(), box_options.end());
    argv.push_back("--");
    argv.insert(argv.end(), program.begin(), program.end());
    std::vector<char *> args;
    for (auto &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out[1], 1);
        ::dup2(err[1], 2);
        ::execv(args[0], args.data());
        std::fprintf(stderr, "cannot run %s\n", args[0]);
        _exit(127);
    }
    ::close(out[1]);
    ::close(err[1]);
    if (pid < 0) {
        ::close(out[0]);
        ::close(err[0]);
        return -1;
    }
    pid_ = pid;
    reader_ = std::thread([this, o = out[0], e = err[0]] { reader(o, e); });
    return 0;
}

void BoxProcess::reader(int out, int err)
{
    std::string part[2];
    int fds[2] = {out, err};
    int open = 2;
    while (open > 0) {
        pollfd p[2] = {{fds[0], POLLIN, 0}, {fds[1], POLLIN, 0}};
        if (::poll(p, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i] < 0 || !(p[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            char buf[4096];
            ssize_t n = ::read(fds[i], buf, sizeof buf);
            if (n <= 0) {
                if (n < 0 && errno == EINTR)
                    continue;
                ::close(fds[i]);
                fds[i] = -1;
                --open;
                if (!part[i].empty()) {
                    std::lock_guard<std::mutex> g(lock_);
                    (i == 0 ? out_ : err_).push_back(part[i]);
                    part[i].clear();
                }
                cv_.notify_all();
                continue;
            }
            part[i].append(buf, static_cast<size_t>(n));
            size_t nl;
            std::lock_guard<std::mutex> g(lock_);
            while ((nl = part[i].find('\n')) != std::string::npos) {
                (i == 0 ? out_ : err_).push_back(part[i].substr(0, nl));
                part[i].erase(0, nl + 1);
            }
            cv_.notify_all();
        }
    }
    std::lock_guard<std::mutex> g(lock_);
    streams_closed_ = true;
    cv_.notify_all();
}

bool BoxProcess::wait_for_line(const std::string &text, ms timeout)
{
    std::unique_lock<std::mutex> g(lock_);
    size_t seen_out = 0, seen_err = 0;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        for (; seen_out < out_.size(); ++seen_out)
            if (out_[seen_out].find(text) != std::string::npos)
                return true;
        for (; seen_err < err_.size(); ++seen_err)
            if (err_[seen_err].find(text) != std::string::npos)
                return true;
        if (streams_closed_)
            return false;
        if (cv_.wait_until(g, deadline) == std::cv_status::timeout) {
            // One last look at lines that arrived with the time-out.
            for (; seen_out < out_.size(); ++seen_out)
                if (out_[seen_out].find(text) != std::string::npos)
                    return true;
            for (; seen_err < err_.size(); ++seen_err)
                if (err_[seen_err].find(text) != std::string::npos)
                    return true;
            return false;
        }
    }
}

void BoxProcess::reap_locked(std::unique_lock<std::mutex> &)
{
    if (exited_ || pid_ <= 0)
        return;
    int st;
    pid_t r = ::waitpid(pid_, &st, WNOHANG);
    if (r == pid_) {
        exited_ = true;
        status_ = WIFSIGNALED(st) ? 128 + WTERMSIG(st) : WEXITSTATUS(st);
    }
}

int BoxProcess::wait_exit(ms timeout)
{
    if (pid_ <= 0)
        return -1;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    std::unique_lock<std::mutex> g(lock_);
    for (;;) {
        reap_locked(g);
        if (exited_)
            break;
        if (std::chrono::steady_clock::now() >= deadline)
            return -1;
        // The box closes its output when it ends; until then look again now and then.
        cv_.wait_for(g, ms(10));
    }
    // The box has ended: its output is complete once the pipes are drained.
    cv_.wait_until(g, deadline, [this] { return streams_closed_; });
    return status_;
}

int BoxProcess::stop(ms grace)
{
    if (pid_ <= 0)
        return -1;
    {
        std::unique_lock<std::mutex> g(lock_);
        reap_locked(g);
        if (exited_)
            return status_;
    }
    ::kill(pid_, SIGTERM);
    int st = wait_exit(grace);
    if (st < 0) {
        ::kill(pid_, SIGKILL);
        st = wait_exit(ms(10000));
    }
    return st;
}

std::vector<std::string> BoxProcess::stdout_lines() const
{
    std::lock_guard<std::mutex> g(lock_);
    return out_;
}

std::vector<std::string> BoxProcess::stderr_lines() const
{
    std::lock_guard<std::mutex> g(lock_);
    return err_;
}

std::string BoxProcess::output() const
{
    std::lock_guard<std::mutex> g(lock_);
    std::string s;
    for (auto &l : out_)
        s += "out: " + l + "\n";
    for (auto &l : err_)
        s += "err: " + l + "\n";
    return s;
}

} // namespace boardbox
