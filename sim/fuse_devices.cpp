#define FUSE_USE_VERSION 34
#include "sim/fuse_devices.h"

#include <fuse3/fuse_lowlevel.h>
#include <linux/fuse.h>
#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace boardbox
{

namespace
{

constexpr fuse_ino_t kRoot = FUSE_ROOT_ID;

FuseDevices *self(fuse_req_t req)
{
    return static_cast<FuseDevices *>(fuse_req_userdata(req));
}

// Inode of node i is i + 2.
const FuseDevices::Node *node(FuseDevices *d, fuse_ino_t ino)
{
    if (ino < 2 || ino - 2 >= d->nodes().size())
        return nullptr;
    return &d->nodes()[ino - 2];
}

void fill_attr(fuse_ino_t ino, struct stat &st)
{
    std::memset(&st, 0, sizeof st);
    st.st_ino = ino;
    if (ino == kRoot) {
        st.st_mode = S_IFDIR | 0755;
        st.st_nlink = 2;
    } else {
        st.st_mode = S_IFREG | 0666;
        st.st_nlink = 1;
    }
}

void op_lookup(fuse_req_t req, fuse_ino_t parent, const char *name)
{
    FuseDevices *d = self(req);
    if (parent != kRoot) {
        fuse_reply_err(req, ENOENT);
        return;
    }
    for (size_t i = 0; i < d->nodes().size(); ++i) {
        if (d->nodes()[i].name == name) {
            fuse_entry_param e;
            std::memset(&e, 0, sizeof e);
            e.ino = i + 2;
            fill_attr(e.ino, e.attr);
            e.attr_timeout = 3600;
            e.entry_timeout = 3600;
            fuse_reply_entry(req, &e);
            return;
        }
    }
    fuse_reply_err(req, ENOENT);
}

void op_getattr(fuse_req_t req, fuse_ino_t ino, fuse_file_info *)
{
    if (ino != kRoot && !node(self(req), ino)) {
        fuse_reply_err(req, ENOENT);
        return;
    }
    struct stat st;
    fill_attr(ino, st);
    fuse_reply_attr(req, &st, 3600);
}

void op_setattr(fuse_req_t req, fuse_ino_t ino, struct stat *, int, fuse_file_info *fi)
{
    // Only an O_TRUNC open or a truncate comes here: devices have no size.
    op_getattr(req, ino, fi);
}

void op_open(fuse_req_t req, fuse_ino_t ino, fuse_file_info *fi)
{
    if (!node(self(req), ino)) {
        fuse_reply_err(req, ino == kRoot ? EISDIR : ENOENT);
        return;
    }
    // A stream without a file position, like the character devices these
    // stand for: otherwise the kernel serialises the read(2) and write(2)
    // calls of one open file, and a write would wait behind a reader blocked
    // for the next block. libfuse has no field for that flag, so the reply is
    // built here.
    fuse_open_out out{};
    out.fh = fi->fh;
    out.open_flags = FOPEN_DIRECT_IO | FOPEN_NONSEEKABLE | FOPEN_STREAM;
    fuse_reply_buf(req, reinterpret_cast<const char *>(&out), sizeof out);
}

void op_read(fuse_req_t req, fuse_ino_t ino, size_t size, off_t, fuse_file_info *)
{
    const FuseDevices::Node *n = node(self(req), ino);
    if (!n) {
        fuse_reply_err(req, EBADF);
        return;
    }
    std::vector<uint8_t> buf(size);
    ssize_t r = n->device->read(buf.data(), size);
    if (r < 0)
        fuse_reply_err(req, static_cast<int>(-r));
    else
        fuse_reply_buf(req, reinterpret_cast<const char *>(buf.data()), static_cast<size_t>(r));
}

void op_write(fuse_req_t req, fuse_ino_t ino, const char *data, size_t size, off_t, fuse_file_info *)
{
    const FuseDevices::Node *n = node(self(req), ino);
    if (!n) {
        fuse_reply_err(req, EBADF);
        return;
    }
    ssize_t r = n->device->write(reinterpret_cast<const uint8_t *>(data), size);
    if (r < 0)
        fuse_reply_err(req, static_cast<int>(-r));
    else
        fuse_reply_write(req, static_cast<size_t>(r));
}

void op_release(fuse_req_t req, fuse_ino_t, fuse_file_info *)
{
    fuse_reply_err(req, 0);
}

void op_readdir(fuse_req_t req, fuse_ino_t ino, size_t size, off_t off, fuse_file_info *)
{
    FuseDevices *d = self(req);
    if (ino != kRoot) {
        fuse_reply_err(req, ENOTDIR);
        return;
    }
    std::vector<char> buf(size);
    size_t used = 0;
    for (size_t i = static_cast<size_t>(off); i < d->nodes().size(); ++i) {
        struct stat st;
        fill_attr(i + 2, st);
        size_t need = fuse_add_direntry(req, buf.data() + used, size - used, d->nodes()[i].name.c_str(), &st,
                                        static_cast<off_t>(i + 1));
        if (need > size - used)
            break;
        used += need;
    }
    fuse_reply_buf(req, buf.data(), used);
}

void wake(int) {}

} // namespace

int FuseDevices::start(const std::string &dir, std::vector<Node> nodes, std::string &why)
{
    nodes_ = std::move(nodes);
    static const fuse_lowlevel_ops ops = [] {
        fuse_lowlevel_ops o;
        std::memset(&o, 0, sizeof o);
        o.lookup = op_lookup;
        o.getattr = op_getattr;
        o.setattr = op_setattr;
        o.open = op_open;
        o.read = op_read;
        o.write = op_write;
        o.release = op_release;
        o.opendir = nullptr;
        o.readdir = op_readdir;
        return o;
    }();
    char arg0[] = "boardbox";
    char *argv[] = {arg0, nullptr};
    fuse_args args = FUSE_ARGS_INIT(1, argv);
    session_ = fuse_session_new(&args, &ops, sizeof ops, this);
    if (!session_) {
        why = "cannot create the FUSE session";
        return -1;
    }
    if (fuse_session_mount(session_, dir.c_str()) != 0) {
        fuse_session_destroy(session_);
        session_ = nullptr;
        why = "cannot mount the device files on " + dir;
        return -1;
    }
    // Workers are woken from a blocking read of /dev/fuse by this signal.
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = wake;
    sigaction(SIGUSR2, &sa, nullptr);
    // Enough workers for a blocked reader and writer of each device plus lookups.
    running_.store(6);
    for (int i = 0; i < 6; ++i)
        workers_.emplace_back([this] { worker(); });
    return 0;
}

void FuseDevices::worker()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGUSR2);
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    fuse_buf buf;
    std::memset(&buf, 0, sizeof buf);
    while (!stopping_.load()) {
        int r = fuse_session_receive_buf(session_, &buf);
        if (r == -EINTR || r == -EAGAIN)
            continue;
        if (r <= 0)
            break;
        fuse_session_process_buf(session_, &buf);
    }
    std::free(buf.mem);
    running_.fetch_sub(1);
}

void FuseDevices::stop()
{
    if (!session_)
        return;
    stopping_.store(true);
    fuse_session_exit(session_);
    fuse_session_unmount(session_);
    // A worker may still sit in read(2) on the session: interrupt until all have left.
    while (running_.load() > 0) {
        for (auto &t : workers_)
            pthread_kill(t.native_handle(), SIGUSR2);
        struct timespec ts = {0, 2000000};
        nanosleep(&ts, nullptr);
    }
    for (auto &t : workers_)
        t.join();
    workers_.clear();
    fuse_session_destroy(session_);
    session_ = nullptr;
}

} // namespace boardbox
