#include "sim/flash_devices.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <vector>

#include "base/fd_io.h"
#include "sim/mtd_report.h"
#include "sim/sys_util.h"

namespace boardbox
{

namespace
{

// `count` bytes of `value`, from the current position.
int fill(int fd, uint8_t value, uint64_t count)
{
    std::vector<uint8_t> buf(65536, value);
    while (count > 0) {
        size_t n = static_cast<size_t>(std::min<uint64_t>(count, buf.size()));
        if (!write_full(fd, buf.data(), n))
            return -1;
        count -= n;
    }
    return 0;
}

// Fields of a report; a field of another type counts as missing.
std::string text_field(const nlohmann::json &m, const char *key)
{
    auto it = m.find(key);
    return it != m.end() && it->is_string() ? it->get<std::string>() : std::string();
}

bool flag_field(const nlohmann::json &m, const char *key)
{
    auto it = m.find(key);
    return it != m.end() && it->is_boolean() && it->get<bool>();
}

} // namespace

int FlashDevices::prepare(const Options &opt, const std::string &tool, std::string &why)
{
    tool_ = tool;
    if (::access(tool_.c_str(), X_OK) != 0) {
        why = errstr("cannot find the /sbin/mtd stand-in " + tool_);
        return -1;
    }
    if (!opt.ram0_file.empty()) {
        ram0_file_ = opt.ram0_file;
        ram0_src_.reset(::open(ram0_file_.c_str(), O_RDONLY | O_CLOEXEC));
        struct stat st;
        if (!ram0_src_.valid() || ::fstat(ram0_src_.get(), &st) != 0) {
            why = errstr("--ram0: cannot open " + ram0_file_);
            return -1;
        }
        if (!S_ISREG(st.st_mode)) {
            why = "--ram0: not a regular file: " + ram0_file_;
            return -1;
        }
        uint64_t file_size = static_cast<uint64_t>(st.st_size);
        if (opt.ram0_size != 0 && opt.ram0_size < file_size) {
            why = "--ram0: size " + std::to_string(opt.ram0_size) + " is smaller than " + ram0_file_ + " (" +
                  std::to_string(file_size) + " bytes)";
            return -1;
        }
        ram0_size_ = opt.ram0_size != 0 ? opt.ram0_size : file_size;
    }
    if (!opt.mtd_dir.empty() && ::mkdir(opt.mtd_dir.c_str(), 0755) != 0 && errno != EEXIST) {
        why = errstr("--mtd: cannot create " + opt.mtd_dir);
        return -1;
    }
    for (int i = 0; i < 3; ++i) {
        Partition &p = parts_[i];
        p.device = std::string("/dev/") + kMtdNames[i];
        p.size = kMtdDefaultSize[i];
        if (opt.mtd_dir.empty())
            continue;
        p.host_path = opt.mtd_dir + "/" + kMtdNames[i];
        struct stat st;
        if (::stat(p.host_path.c_str(), &st) == 0) {
            if (!S_ISREG(st.st_mode)) {
                why = "--mtd: not a regular file: " + p.host_path;
                return -1;
            }
            p.size = static_cast<uint64_t>(st.st_size);
            continue;
        }
        // A new partition is erased flash.
        UniqueFd fd(::open(p.host_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
        if (!fd.valid() || fill(fd.get(), 0xFF, p.size) != 0) {
            why = errstr("--mtd: cannot create " + p.host_path);
            return -1;
        }
    }
    return 0;
}

int FlashDevices::clone_host_files(std::string &why)
{
    tool_tree_.reset(::open_tree(AT_FDCWD, tool_.c_str(), OPEN_TREE_CLONE | OPEN_TREE_CLOEXEC));
    if (!tool_tree_.valid()) {
        why = errstr("cannot bind " + tool_);
        return -1;
    }
    for (Partition &p : parts_) {
        if (p.host_path.empty())
            continue;
        p.tree.reset(::open_tree(AT_FDCWD, p.host_path.c_str(), OPEN_TREE_CLONE | OPEN_TREE_CLOEXEC));
        if (!p.tree.valid()) {
            why = errstr("cannot bind " + p.host_path);
            return -1;
        }
    }
    return 0;
}

int FlashDevices::install(std::string &why)
{
    if (ram0_src_.valid()) {
        // A copy, so the product cannot change the host's image.
        UniqueFd fd(::open("/dev/ram0", O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0660));
        if (!fd.valid()) {
            why = errstr("cannot create /dev/ram0");
            return -1;
        }
        uint64_t copied = 0;
        std::vector<uint8_t> buf(65536);
        for (;;) {
            ssize_t n = ::read(ram0_src_.get(), buf.data(), buf.size());
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0) {
                why = errstr("cannot read " + ram0_file_);
                return -1;
            }
            if (n == 0)
                break;
            // The file may have grown since it was measured: keep the size.
            size_t keep =
                static_cast<size_t>(std::min<uint64_t>(static_cast<uint64_t>(n), ram0_size_ - copied));
            if (!write_full(fd.get(), buf.data(), keep)) {
                why = errstr("cannot fill /dev/ram0");
                return -1;
            }
            copied += keep;
            if (copied == ram0_size_)
                break;
        }
        // Real zero bytes rather than a hole, so SEEK_DATA and SEEK_HOLE see
        // one block of data like on the device.
        if (fill(fd.get(), 0, ram0_size_ - copied) != 0) {
            why = errstr("cannot fill /dev/ram0");
            return -1;
        }
        struct stat st;
        if (::fstat(fd.get(), &st) != 0) {
            why = errstr("cannot stat /dev/ram0");
            return -1;
        }
        ram0_.present = true;
        ram0_.dev = st.st_dev;
        ram0_.ino = st.st_ino;
        ram0_.size = ram0_size_;
        ram0_src_.reset();
    }
    for (Partition &p : parts_) {
        if (p.tree.valid()) {
            if (make_file(p.device, 0660) != 0 || attach(p.tree.get(), p.device) != 0) {
                why = errstr("cannot bind " + p.device);
                return -1;
            }
            p.tree.reset();
            continue;
        }
        UniqueFd fd(::open(p.device.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0660));
        if (!fd.valid() || fill(fd.get(), 0xFF, p.size) != 0) {
            why = errstr("cannot create " + p.device);
            return -1;
        }
    }
    int rc = install_tool(tool_tree_.get(), why);
    tool_tree_.reset();
    return rc;
}

int FlashDevices::install_tool(int tool_tree, std::string &why)
{
    // The host's /sbin is a link (to usr/sbin) or a directory bound into the
    // box's root; the box's own /sbin lists the same entries through links,
    // plus mtd, without touching the host's directory.
    std::string host;
    struct stat st;
    if (::lstat("/sbin", &st) == 0 && S_ISLNK(st.st_mode)) {
        char buf[4096];
        ssize_t n = ::readlink("/sbin", buf, sizeof buf - 1);
        if (n <= 0 || ::unlink("/sbin") != 0) {
            why = errstr("cannot replace /sbin");
            return -1;
        }
        host.assign(buf, static_cast<size_t>(n));
        if (host[0] != '/')
            host = "/" + host;
    } else if (::lstat("/sbin", &st) == 0 && S_ISDIR(st.st_mode)) {
        host = "/.host-sbin";
        if (::mkdir(host.c_str(), 0755) != 0 ||
            ::mount("/sbin", host.c_str(), nullptr, MS_MOVE, nullptr) != 0) {
            why = errstr("cannot move /sbin");
            return -1;
        }
    }
    if (::mkdir("/sbin", 0755) != 0 && errno != EEXIST) {
        why = errstr("cannot create /sbin");
        return -1;
    }
    if (!host.empty()) {
        if (DIR *d = ::opendir(host.c_str())) {
            while (dirent *de = ::readdir(d)) {
                std::string name = de->d_name;
                if (name == "." || name == ".." || name == "mtd")
                    continue;
                ::symlink((host + "/" + name).c_str(), ("/sbin/" + name).c_str());
            }
            ::closedir(d);
        }
    }
    if (make_file("/sbin/mtd", 0755) != 0 || attach(tool_tree, "/sbin/mtd") != 0) {
        why = errstr("cannot install /sbin/mtd");
        return -1;
    }
    return 0;
}

int FlashDevices::start(std::string &why)
{
    listen_.reset(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    wake_.reset(::eventfd(0, EFD_CLOEXEC));
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path + 1, kMtdReportName, sizeof kMtdReportName - 1);
    socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + sizeof kMtdReportName);
    if (!listen_.valid() || !wake_.valid() ||
        ::bind(listen_.get(), reinterpret_cast<sockaddr *>(&addr), len) != 0 ||
        ::listen(listen_.get(), 8) != 0) {
        why = errstr("cannot create the flash tool's report socket");
        return -1;
    }
    thread_ = std::thread([this] { run(); });
    return 0;
}

void FlashDevices::stop()
{
    if (!thread_.joinable())
        return;
    signal_event(wake_.get());
    thread_.join();
}

void FlashDevices::run()
{
    while (wait_for_input(listen_.get(), wake_.get()) == Input::ready) {
        UniqueFd c(::accept4(listen_.get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (!c.valid())
            continue;
        // The tool sends its one message at once; a client that does not is
        // dropped after a while.
        timeval tv{2, 0};
        ::setsockopt(c.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        std::vector<char> buf(65536);
        ssize_t n = ::recv(c.get(), buf.data(), buf.size(), 0);
        if (n <= 0)
            continue;
        bool ok = handle_report(std::string(buf.data(), static_cast<size_t>(n)));
        const char *reply = ok ? "ok" : "bad report";
        ssize_t ignored = ::send(c.get(), reply, std::strlen(reply), MSG_NOSIGNAL | MSG_DONTWAIT);
        (void)ignored;
    }
}

bool FlashDevices::handle_report(const std::string &message)
{
    using nlohmann::json;
    json m = json::parse(message, nullptr, false);
    if (m.is_discarded() || !m.is_object() || !m.contains("op") || !m["op"].is_string())
        return false;
    std::string op = m["op"];
    std::string device = text_field(m, "device");
    bool ok = flag_field(m, "ok");
    std::string error = text_field(m, "error");
    uint64_t bytes = 0;
    if (m.contains("bytes") && m["bytes"].is_number_unsigned())
        bytes = m["bytes"].get<uint64_t>();
    std::lock_guard<std::mutex> g(lock_);
    Partition *part = nullptr;
    for (Partition &p : parts_)
        if (p.device == device)
            part = &p;
    if (op == "erase") {
        if (ok) {
            log_.event("mtd erase %s", device.c_str());
            if (part)
                ++part->erases;
        } else {
            log_.event("mtd erase %s failed: %s", device.c_str(), error.c_str());
        }
        return true;
    }
    if (op == "write") {
        if (ok)
            log_.event("mtd write %s: %llu bytes", device.c_str(), static_cast<unsigned long long>(bytes));
        else
            log_.event("mtd write %s failed after %llu bytes: %s", device.c_str(),
                       static_cast<unsigned long long>(bytes), error.c_str());
        if (part) {
            ++part->writes;
            part->last_write = bytes;
            part->last_write_ok = ok;
            if (!ok)
                ++part->failures;
        }
        return true;
    }
    if (op == "usage") {
        std::string args;
        if (m.contains("args") && m["args"].is_array())
            for (auto &a : m["args"])
                if (a.is_string())
                    args += (args.empty() ? "" : " ") + a.get<std::string>();
        log_.event("mtd usage error: %s", args.c_str());
        return true;
    }
    return false;
}

nlohmann::json FlashDevices::control(const nlohmann::json &)
{
    using nlohmann::json;
    json parts = json::array();
    std::lock_guard<std::mutex> g(lock_);
    for (const Partition &p : parts_)
        parts.push_back({{"device", p.device},
                         {"size", p.size},
                         {"last_write_bytes", p.last_write},
                         {"last_write_ok", p.last_write_ok},
                         {"erases", p.erases},
                         {"writes", p.writes},
                         {"failed_writes", p.failures}});
    json reply = {{"ok", true}, {"partitions", parts}};
    reply["ram0_size"] = ram0_.present ? json(ram0_.size) : json(-1);
    return reply;
}

} // namespace boardbox
