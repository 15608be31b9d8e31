#include "sim/box_init.h"

#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sim/ioctl_supervisor.h"

namespace boardbox
{

namespace
{

const int kForwarded[] = {SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2};

void nothing(int) {}

[[noreturn]] void fail(const char *what)
{
    std::fprintf(stderr, "boardbox: %s: %s\n", what, std::strerror(errno));
    _exit(125);
}

pid_t spawn(const std::vector<std::string> &argv, int sync_fd)
{
    pid_t pid = ::fork();
    if (pid != 0)
        return pid;
    ::close(sync_fd);
    for (int s : kForwarded)
        ::signal(s, SIG_DFL);
    ::signal(SIGCHLD, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    std::vector<char *> args;
    for (auto &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    ::execvp(args[0], args.data());
    std::fprintf(stderr, "boardbox: cannot run %s: %s\n", args[0], std::strerror(errno));
    _exit(127);
}

} // namespace

int exit_status_of(int st)
{
    if (WIFSIGNALED(st))
        return 128 + WTERMSIG(st);
    if (WIFEXITED(st))
        return WEXITSTATUS(st);
    return 125;
}

void run_init(const InitPlan &plan)
{
    // The supervisor going away must not leave a headless box behind.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) != 0)
        fail("cannot mount /proc");

    std::string why;
    int notify = install_ioctl_filter(why, plan.seek_filter);
    if (notify < 0) {
        std::fprintf(stderr, "boardbox: %s\n", why.c_str());
        _exit(125);
    }
    if (send_fd(plan.sync_fd, notify) != 0)
        fail("cannot pass the filter to the supervisor");
    ::close(notify);
    char go = 0;
    ssize_t n;
    do {
        n = ::read(plan.sync_fd, &go, 1);
    } while (n < 0 && errno == EINTR);
    if (n != 1)
        _exit(125); // the supervisor gave up; it has said why

    if (!plan.control.empty())
        ::setenv("BOARDBOX_CONTROL", plan.control.c_str(), 1);

    sigset_t set;
    sigemptyset(&set);
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = nothing;
    for (int s : kForwarded) {
        sigaddset(&set, s);
        ::sigaction(s, &sa, nullptr);
    }
    sigaddset(&set, SIGCHLD);
    ::sigaction(SIGCHLD, &sa, nullptr);
    ::sigprocmask(SIG_BLOCK, &set, nullptr);

    pid_t also = 0;
    if (!plan.also.empty()) {
        also = spawn(plan.also, plan.sync_fd);
        if (plan.log)
            plan.log->event("started %s (pid %d)", plan.also[0].c_str(), also);
    }
    pid_t program = spawn(plan.program, plan.sync_fd);
    if (program < 0 || also < 0)
        fail("cannot fork");
    if (plan.log)
        plan.log->event("started %s (pid %d)", plan.program[0].c_str(), program);

    int status = 125;
    bool ending = false;
    timespec deadline{};
    bool killed = false;
    for (;;) {
        // Reap whatever ended: PROGRAM, the second program, or any orphan.
        for (;;) {
            int st;
            pid_t pid = ::waitpid(-1, &st, WNOHANG);
            if (pid == 0)
                break;
            if (pid < 0) {
                if (errno == ECHILD && ending)
                    _exit(status);
                break;
            }
            if (pid == program) {
                status = exit_status_of(st);
                if (plan.log)
                    plan.log->event("%s ended with status %d", plan.program[0].c_str(), status);
                ending = true;
                ::clock_gettime(CLOCK_MONOTONIC, &deadline);
                deadline.tv_sec += 3;
                ::kill(-1, SIGTERM);
            } else if (pid == also && plan.log) {
                plan.log->event("%s ended with status %d", plan.also[0].c_str(), exit_status_of(st));
            }
        }
        siginfo_t info;
        int sig;
        if (ending) {
            timespec now;
            ::clock_gettime(CLOCK_MONOTONIC, &now);
            long ms = (deadline.tv_sec - now.tv_sec) * 1000 + (deadline.tv_nsec - now.tv_nsec) / 1000000;
            if (ms <= 0) {
                if (!killed)
                    ::kill(-1, SIGKILL);
                killed = true;
                ms = 100;
            }
            timespec wait{ms / 1000, (ms % 1000) * 1000000};
            sig = ::sigtimedwait(&set, &info, &wait);
        } else {
            sig = ::sigwaitinfo(&set, &info);
        }
        if (sig > 0 && sig != SIGCHLD && !ending)
            ::kill(program, sig);
    }
}

} // namespace boardbox
