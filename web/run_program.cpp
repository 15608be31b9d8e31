#include "web/run_program.h"

#include "base/unique_fd.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace gwweb
{

namespace
{

[[noreturn]] void exec_or_die(const std::vector<std::string> &argv)
{
    // gwwebd keeps its stop signals blocked for sigwait; the program must not
    // inherit that.
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    std::vector<char *> args;
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    ::execvp(args[0], args.data());
    _exit(127);
}

} // namespace

int run_program(const std::vector<std::string> &argv, std::string &output, size_t limit)
{
    output.clear();
    if (argv.empty())
        return -1;
    int p[2];
    if (::pipe2(p, O_CLOEXEC) != 0)
        return -1;
    UniqueFd read_end(p[0]), write_end(p[1]);
    pid_t pid = ::fork();
    if (pid < 0)
        return -1;
    if (pid == 0) {
        ::dup2(write_end.get(), 1);
        ::dup2(write_end.get(), 2);
        int null = ::open("/dev/null", O_RDONLY);
        if (null >= 0)
            ::dup2(null, 0);
        exec_or_die(argv);
    }
    write_end.reset();
    char buf[1024];
    for (;;) {
        ssize_t n = ::read(read_end.get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        if (output.size() < limit)
            output.append(buf, static_cast<size_t>(n) < limit - output.size() ? static_cast<size_t>(n)
                                                                              : limit - output.size());
    }
    int st = 0;
    while (::waitpid(pid, &st, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    if (WIFEXITED(st))
        return WEXITSTATUS(st) == 127 ? -1 : WEXITSTATUS(st);
    return WIFSIGNALED(st) ? 128 + WTERMSIG(st) : -1;
}

bool on_path(const std::string &program)
{
    const char *path = ::getenv("PATH");
    std::string dirs = path ? path : "/usr/sbin:/usr/bin:/sbin:/bin";
    size_t pos = 0;
    while (pos <= dirs.size()) {
        size_t end = dirs.find(':', pos);
        if (end == std::string::npos)
            end = dirs.size();
        const std::string dir = dirs.substr(pos, end - pos);
        if (!dir.empty() && ::access((dir + "/" + program).c_str(), X_OK) == 0)
            return true;
        pos = end + 1;
    }
    return false;
}

int start_detached(const std::vector<std::string> &argv)
{
    if (argv.empty())
        return -1;
    pid_t pid = ::fork();
    if (pid < 0)
        return -1;
    if (pid == 0) {
        // The grandchild is left to init; the child is reaped at once below.
        ::setsid();
        if (::fork() != 0)
            _exit(0);
        int null = ::open("/dev/null", O_RDWR);
        if (null >= 0) {
            ::dup2(null, 0);
            ::dup2(null, 1);
            ::dup2(null, 2);
        }
        exec_or_die(argv);
    }
    int st;
    while (::waitpid(pid, &st, 0) < 0 && errno == EINTR) {
    }
    return 0;
}

} // namespace gwweb
