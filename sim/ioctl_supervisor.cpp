#include "sim/ioctl_supervisor.h"

#include <fcntl.h>
#include <seccomp.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include <linux/seccomp.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "sim/sys_util.h"

namespace boardbox
{

bool block_seek(int64_t position, uint64_t size, int64_t offset, int whence, int64_t &result)
{
    int64_t base;
    if (whence == SEEK_SET)
        base = 0;
    else if (whence == SEEK_CUR)
        base = position;
    else if (whence == SEEK_END)
        base = size > static_cast<uint64_t>(INT64_MAX) ? INT64_MAX : static_cast<int64_t>(size);
    else
        return false;
    int64_t pos;
    if (__builtin_add_overflow(base, offset, &pos) || pos < 0 || static_cast<uint64_t>(pos) > size)
        return false;
    result = pos;
    return true;
}

int install_ioctl_filter(std::string &why, bool seeks)
{
    scmp_filter_ctx ctx = seccomp_init(SCMP_ACT_ALLOW);
    if (!ctx) {
        why = "cannot create the seccomp filter";
        return -1;
    }
    // The box's init holds CAP_SYS_ADMIN in its namespaces; no_new_privs would
    // only change the programs' behaviour.
    seccomp_attr_set(ctx, SCMP_FLTATR_CTL_NNP, 0);
    int rc = 0;
    for (unsigned long req : {kPcmlinkIoctlCfg, kI2cSlave}) {
        if (rc == 0)
            rc = seccomp_rule_add(ctx, SCMP_ACT_NOTIFY, SCMP_SYS(ioctl), 1,
                                  SCMP_A1(SCMP_CMP_MASKED_EQ, 0xFFFFFFFFu, req));
    }
    if (rc == 0 && seeks)
        rc = seccomp_rule_add(ctx, SCMP_ACT_NOTIFY, SCMP_SYS(lseek), 0);
    if (rc == 0)
        rc = seccomp_load(ctx);
    int fd = rc == 0 ? seccomp_notify_fd(ctx) : -1;
    seccomp_release(ctx);
    if (rc != 0 || fd < 0) {
        why = std::string("cannot install the seccomp filter: ") + std::strerror(rc < 0 ? -rc : EINVAL);
        return -1;
    }
    return fd;
}

int send_fd(int sock, int fd)
{
    char byte = 'F';
    iovec iov{&byte, 1};
    alignas(cmsghdr) char ctrl[CMSG_SPACE(sizeof(int))];
    std::memset(ctrl, 0, sizeof ctrl);
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = ctrl;
    msg.msg_controllen = sizeof ctrl;
    cmsghdr *c = CMSG_FIRSTHDR(&msg);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(c), &fd, sizeof fd);
    return ::sendmsg(sock, &msg, MSG_NOSIGNAL) == 1 ? 0 : -1;
}

int recv_fd(int sock)
{
    char byte = 0;
    iovec iov{&byte, 1};
    alignas(cmsghdr) char ctrl[CMSG_SPACE(sizeof(int))];
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = ctrl;
    msg.msg_controllen = sizeof ctrl;
    ssize_t n;
    do {
        n = ::recvmsg(sock, &msg, MSG_CMSG_CLOEXEC);
    } while (n < 0 && errno == EINTR);
    if (n != 1)
        return -1;
    cmsghdr *c = CMSG_FIRSTHDR(&msg);
    if (!c || c->cmsg_type != SCM_RIGHTS || c->cmsg_len != CMSG_LEN(sizeof(int)))
        return -1;
    int fd;
    std::memcpy(&fd, CMSG_DATA(c), sizeof fd);
    return fd;
}

int IoctlSupervisor::start(int notify_fd, int host_proc, Handlers handlers)
{
    notify_.reset(notify_fd);
    wake_.reset(::eventfd(0, EFD_CLOEXEC));
    if (!wake_.valid())
        return -1;
    host_proc_ = host_proc;
    handlers_ = std::move(handlers);
    thread_ = std::thread([this] { run(); });
    return 0;
}

void IoctlSupervisor::stop()
{
    if (!thread_.joinable())
        return;
    signal_event(wake_.get());
    thread_.join();
}

void IoctlSupervisor::run()
{
    // A hang-up means every filtered process is gone.
    while (wait_for_input(notify_.get(), wake_.get()) == Input::ready)
        handle_one();
}

void IoctlSupervisor::handle_one()
{
    seccomp_notif *req = nullptr;
    seccomp_notif_resp *resp = nullptr;
    if (seccomp_notify_alloc(&req, &resp) != 0)
        return;
    if (seccomp_notify_receive(notify_.get(), req) != 0) {
        seccomp_notify_free(req, resp);
        return;
    }
    resp->id = req->id;
    resp->val = 0;
    resp->error = 0;
    resp->flags = SECCOMP_USER_NOTIF_FLAG_CONTINUE;

    int fd = static_cast<int>(req->data.args[0]);
    if (req->data.nr == SYS_lseek) {
        int result = check_seek(static_cast<pid_t>(req->pid), fd, static_cast<int64_t>(req->data.args[1]),
                                static_cast<int>(req->data.args[2]));
        if (result < 0) {
            resp->flags = 0;
            resp->error = result;
        }
        seccomp_notify_respond(notify_.get(), resp);
        seccomp_notify_free(req, resp);
        return;
    }
    unsigned long cmd = req->data.args[1] & 0xFFFFFFFFu;
    uint64_t arg = req->data.args[2];
    char link[512];
    std::string path = std::to_string(req->pid) + "/fd/" + std::to_string(fd);
    ssize_t len = ::readlinkat(host_proc_, path.c_str(), link, sizeof link - 1);
    std::string target = len > 0 ? std::string(link, static_cast<size_t>(len)) : std::string();

    if (cmd == kPcmlinkIoctlCfg && target == handlers_.ssc_path) {
        uint8_t record[kPcmlinkCfgSize];
        iovec local{record, sizeof record};
        iovec remote{reinterpret_cast<void *>(static_cast<uintptr_t>(arg)), sizeof record};
        ssize_t got = ::process_vm_readv(static_cast<pid_t>(req->pid), &local, 1, &remote, 1, 0);
        int result;
        // The caller may have died and its PID been reused while we looked.
        if (seccomp_notify_id_valid(notify_.get(), req->id) != 0)
            result = -ESRCH;
        else if (got != static_cast<ssize_t>(sizeof record))
            result = -EFAULT;
        else
            result = handlers_.pcm_config ? handlers_.pcm_config(record) : -ENOTTY;
        resp->flags = 0;
        resp->error = result < 0 ? result : 0;
    } else if (cmd == kI2cSlave && target == handlers_.i2c_path) {
        int result = handlers_.i2c_slave ? handlers_.i2c_slave(static_cast<unsigned long>(arg)) : -ENOTTY;
        resp->flags = 0;
        resp->error = result < 0 ? result : 0;
    }
    seccomp_notify_respond(notify_.get(), resp);
    seccomp_notify_free(req, resp);
}

int IoctlSupervisor::check_seek(pid_t pid, int fd, int64_t offset, int whence)
{
    if (!handlers_.seek_limited || (whence != SEEK_SET && whence != SEEK_CUR && whence != SEEK_END))
        return 0;
    std::string fd_path = std::to_string(pid) + "/fd/" + std::to_string(fd);
    struct stat st;
    if (::fstatat(host_proc_, fd_path.c_str(), &st, 0) != 0 || st.st_dev != handlers_.seek_dev ||
        st.st_ino != handlers_.seek_ino)
        return 0;
    // The caller's position: "pos:" in the descriptor's fdinfo.
    int64_t position = 0;
    if (whence == SEEK_CUR) {
        std::string info_path = std::to_string(pid) + "/fdinfo/" + std::to_string(fd);
        UniqueFd info(::openat(host_proc_, info_path.c_str(), O_RDONLY | O_CLOEXEC));
        char buf[512];
        ssize_t n = info.valid() ? ::read(info.get(), buf, sizeof buf - 1) : -1;
        if (n <= 0)
            return 0;
        buf[n] = 0;
        const char *p = std::strstr(buf, "pos:");
        if (!p)
            return 0;
        position = std::strtoll(p + 4, nullptr, 10);
    }
    int64_t result;
    return block_seek(position, handlers_.seek_size, offset, whence, result) ? 0 : -EINVAL;
}

} // namespace boardbox
