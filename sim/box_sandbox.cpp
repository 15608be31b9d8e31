#include "sim/box_sandbox.h"
#include "base/fd_io.h"
#include "sim/site_network.h"
#include "sim/sys_util.h"

#include <dirent.h>
#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace boardbox
{

namespace
{

int write_file(const char *path, const std::string &text)
{
    UniqueFd fd(::open(path, O_WRONLY | O_CLOEXEC));
    if (!fd.valid())
        return -1;
    return ::write(fd.get(), text.data(), text.size()) == static_cast<ssize_t>(text.size()) ? 0 : -1;
}

struct Entry {
    std::string name;
    enum { Dir, File, Link } kind;
    std::string target; // symlink text
    UniqueFd tree;      // detached clone of the host's subtree
};

// Host top-level entries the box gets its own version of. /proc and /sys are
// bound too, then covered by the box's own: in a user namespace the kernel
// lets a new proc or sysfs be mounted only where one is already fully visible.
bool box_owned(const std::string &name)
{
    return name == "." || name == ".." || name == "dev" || name == "config" || name == "run";
}

} // namespace

int Sandbox::enter(std::string &why, SiteNetwork *site)
{
    host_proc_.reset(::open("/proc", O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!host_proc_.valid()) {
        why = errstr("cannot open /proc");
        return -1;
    }
    if (::geteuid() != 0) {
        uid_t uid = ::geteuid();
        gid_t gid = ::getegid();
        if (::unshare(CLONE_NEWUSER) != 0) {
            why = errstr("cannot create a user namespace");
            return -1;
        }
        if (write_file("/proc/self/setgroups", "deny") != 0 ||
            write_file("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") != 0 ||
            write_file("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1") != 0) {
            why = errstr("cannot map root in the user namespace");
            return -1;
        }
    }
    if (::unshare(CLONE_NEWNS) != 0) {
        why = errstr("cannot create a mount namespace");
        return -1;
    }
    if (::unshare(CLONE_NEWUTS) != 0) {
        why = errstr("cannot create a UTS namespace");
        return -1;
    }
    if (site && site->create_site(why) != 0)
        return -1;
    if (::unshare(CLONE_NEWNET) != 0) {
        why = errstr("cannot create a network namespace");
        return -1;
    }
    const char host[] = "boardbox";
    if (::sethostname(host, sizeof host - 1) != 0) {
        why = errstr("cannot set the host name");
        return -1;
    }
    return 0;
}

int Sandbox::build_root(int config_src, std::string &why)
{
    // Nothing done from here on may propagate back to the host.
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        why = errstr("cannot make / private");
        return -1;
    }
    char cwd_buf[4096];
    std::string cwd = ::getcwd(cwd_buf, sizeof cwd_buf) ? cwd_buf : "/";

    std::vector<Entry> entries;
    {
        DIR *d = ::opendir("/");
        if (!d) {
            why = errstr("cannot list /");
            return -1;
        }
        while (dirent *de = ::readdir(d)) {
            std::string name = de->d_name;
            if (box_owned(name))
                continue;
            std::string path = "/" + name;
            struct stat st;
            if (::lstat(path.c_str(), &st) != 0)
                continue;
            Entry e;
            e.name = name;
            if (S_ISLNK(st.st_mode)) {
                char buf[4096];
                ssize_t n = ::readlink(path.c_str(), buf, sizeof buf - 1);
                if (n < 0)
                    continue;
                e.kind = Entry::Link;
                e.target.assign(buf, static_cast<size_t>(n));
            } else if (S_ISDIR(st.st_mode) || S_ISREG(st.st_mode)) {
                e.kind = S_ISDIR(st.st_mode) ? Entry::Dir : Entry::File;
                e.tree.reset(
                    ::open_tree(AT_FDCWD, path.c_str(), OPEN_TREE_CLONE | OPEN_TREE_CLOEXEC | AT_RECURSIVE));
                if (!e.tree.valid()) {
                    ::closedir(d);
                    why = errstr("cannot bind " + path);
                    return -1;
                }
            } else {
                continue;
            }
            entries.push_back(std::move(e));
        }
        ::closedir(d);
    }

    static const char *const nodes[] = {"null", "zero", "full", "random", "urandom", "tty", "fuse"};
    std::vector<std::pair<std::string, UniqueFd>> devs;
    for (const char *n : nodes) {
        std::string path = std::string("/dev/") + n;
        UniqueFd t(::open_tree(AT_FDCWD, path.c_str(), OPEN_TREE_CLONE | OPEN_TREE_CLOEXEC));
        if (!t.valid()) {
            if (std::strcmp(n, "full") == 0 || std::strcmp(n, "tty") == 0)
                continue;
            why = errstr("cannot bind " + path);
            return -1;
        }
        devs.emplace_back(n, std::move(t));
    }

    // The new root is staged on top of the host's /dev, which this namespace
    // no longer needs: every node it keeps was cloned above.
    const std::string root = "/dev";
    if (::mount("boardbox", root.c_str(), "tmpfs", MS_NOSUID, "mode=0755") != 0) {
        why = errstr("cannot mount the box root");
        return -1;
    }
    for (Entry &e : entries) {
        std::string where = root + "/" + e.name;
        int rc = 0;
        if (e.kind == Entry::Link) {
            rc = ::symlink(e.target.c_str(), where.c_str());
        } else {
            rc = e.kind == Entry::Dir ? ::mkdir(where.c_str(), 0755) : make_file(where, 0644);
            if (rc == 0)
                rc = attach(e.tree.get(), where);
        }
        if (rc != 0) {
            why = errstr("cannot set up " + where);
            return -1;
        }
    }

    const std::string dev = root + "/dev";
    if (::mkdir(dev.c_str(), 0755) != 0 ||
        ::mount("boardbox-dev", dev.c_str(), "tmpfs", MS_NOSUID, "mode=0755") != 0) {
        why = errstr("cannot mount /dev");
        return -1;
    }
    for (auto &d : devs) {
        std::string where = dev + "/" + d.first;
        if (make_file(where, 0644) != 0 || attach(d.second.get(), where) != 0) {
            why = errstr("cannot bind " + where);
            return -1;
        }
    }
    const std::string pts = dev + "/pts";
    if (::mkdir(pts.c_str(), 0755) != 0 ||
        ::mount("devpts", pts.c_str(), "devpts", MS_NOSUID | MS_NOEXEC,
                "newinstance,ptmxmode=0666,mode=0620") != 0 ||
        ::symlink("pts/ptmx", (dev + "/ptmx").c_str()) != 0) {
        why = errstr("cannot mount a private devpts");
        return -1;
    }
    const std::string shm = dev + "/shm";
    if (::mkdir(shm.c_str(), 01777) != 0 ||
        ::mount("shm", shm.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777") != 0) {
        why = errstr("cannot mount /dev/shm");
        return -1;
    }
    ::symlink("/proc/self/fd", (dev + "/fd").c_str());
    ::symlink("/proc/self/fd/0", (dev + "/stdin").c_str());
    ::symlink("/proc/self/fd/1", (dev + "/stdout").c_str());
    ::symlink("/proc/self/fd/2", (dev + "/stderr").c_str());
    if (::mkdir((root + kFuseDir).c_str(), 0700) != 0) {
        why = errstr("cannot create the device mount point");
        return -1;
    }

    const std::string config = root + "/config";
    if (::mkdir(config.c_str(), 0755) != 0 ||
        ::mount("config", config.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755") != 0) {
        why = errstr("cannot mount /config");
        return -1;
    }
    if (config_src >= 0) {
        UniqueFd dst(::open(config.c_str(), O_DIRECTORY | O_RDONLY | O_CLOEXEC));
        if (!dst.valid() || copy_tree(config_src, dst.get()) != 0) {
            why = errstr("cannot fill /config");
            return -1;
        }
    }
    // The board's /run is a RAM file system of its own (gwlinkd's status file
    // lives there); the host's must never see what the box writes.
    const std::string run = root + "/run";
    if (::mkdir(run.c_str(), 0755) != 0 ||
        ::mount("run", run.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755") != 0) {
        why = errstr("cannot mount /run");
        return -1;
    }
    if ((::mkdir((root + "/proc").c_str(), 0555) != 0 && errno != EEXIST) ||
        (::mkdir((root + "/sys").c_str(), 0555) != 0 && errno != EEXIST)) {
        why = errstr("cannot create /proc");
        return -1;
    }
    // A sysfs of this network namespace; nothing in the box depends on it.
    ::mount("sysfs", (root + "/sys").c_str(), "sysfs", MS_NOSUID | MS_NODEV | MS_NOEXEC | MS_RDONLY, nullptr);

    if (::chdir(root.c_str()) != 0) {
        why = errstr("cannot enter the box root");
        return -1;
    }
    if (::syscall(SYS_pivot_root, ".", ".") == 0) {
        if (::umount2(".", MNT_DETACH) != 0) {
            why = errstr("cannot detach the host root");
            return -1;
        }
    } else if (::mount(".", "/", nullptr, MS_MOVE, nullptr) != 0 || ::chroot(".") != 0) {
        // The host root is an initramfs, which cannot be pivoted away.
        why = errstr("cannot switch to the box root");
        return -1;
    }
    if (::chdir("/") != 0 || (::chdir(cwd.c_str()) != 0 && ::chdir("/") != 0)) {
        why = errstr("cannot change directory");
        return -1;
    }
    return 0;
}

int Sandbox::loopback_up(std::string &why)
{
    UniqueFd s(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!s.valid()) {
        why = errstr("cannot open a socket");
        return -1;
    }
    ifreq ifr{};
    std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
    if (::ioctl(s.get(), SIOCGIFFLAGS, &ifr) != 0) {
        why = errstr("no loopback interface");
        return -1;
    }
    ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP | IFF_RUNNING);
    if (::ioctl(s.get(), SIOCSIFFLAGS, &ifr) != 0) {
        why = errstr("cannot bring up the loopback interface");
        return -1;
    }
    return 0;
}

pid_t fork_into_pid_namespace()
{
    // The supervisor itself stays outside the new PID namespace: a process
    // whose children go to another PID namespace may not create threads.
    return static_cast<pid_t>(::syscall(SYS_clone, CLONE_NEWPID | SIGCHLD, 0, 0, 0, 0));
}

int copy_tree(int src, int dst)
{
    int dup_fd = ::fcntl(src, F_DUPFD_CLOEXEC, 0);
    if (dup_fd < 0)
        return -1;
    DIR *d = ::fdopendir(dup_fd);
    if (!d) {
        ::close(dup_fd);
        return -1;
    }
    ::rewinddir(d);
    int rc = 0;
    while (dirent *de = ::readdir(d)) {
        std::string name = de->d_name;
        if (name == "." || name == "..")
            continue;
        struct stat st;
        if (::fstatat(src, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            rc = -1;
            continue;
        }
        if (S_ISDIR(st.st_mode)) {
            if (::mkdirat(dst, name.c_str(), st.st_mode & 07777) != 0 && errno != EEXIST) {
                rc = -1;
                continue;
            }
            UniqueFd s(::openat(src, name.c_str(), O_DIRECTORY | O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
            UniqueFd t(::openat(dst, name.c_str(), O_DIRECTORY | O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
            if (!s.valid() || !t.valid() || copy_tree(s.get(), t.get()) != 0)
                rc = -1;
        } else if (S_ISREG(st.st_mode)) {
            UniqueFd s(::openat(src, name.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
            UniqueFd t(::openat(dst, name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW,
                                st.st_mode & 07777));
            if (!s.valid() || !t.valid()) {
                rc = -1;
                continue;
            }
            uint8_t buf[65536];
            for (;;) {
                ssize_t n = ::read(s.get(), buf, sizeof buf);
                if (n < 0 && errno == EINTR)
                    continue;
                if (n <= 0) {
                    if (n < 0)
                        rc = -1;
                    break;
                }
                if (!write_full(t.get(), buf, static_cast<size_t>(n))) {
                    rc = -1;
                    break;
                }
            }
        }
    }
    ::closedir(d);
    return rc;
}

} // namespace boardbox
