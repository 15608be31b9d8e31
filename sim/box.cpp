#include "sim/box.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sim/box_init.h"

namespace boardbox
{

namespace
{

const int kHandled[] = {SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGCHLD};

std::string absolute(const std::string &path)
{
    if (path.empty() || path[0] == '/')
        return path;
    char buf[4096];
    if (!::getcwd(buf, sizeof buf))
        return path;
    return std::string(buf) + "/" + path;
}

// The /sbin/mtd stand-in is built next to the boardbox binary.
std::string mtd_tool_path()
{
    char buf[4096];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    std::string exe = n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
    size_t slash = exe.rfind('/');
    return (slash == std::string::npos ? std::string(".") : exe.substr(0, slash)) + "/boardbox-mtd";
}

uint32_t mask_of(const nlohmann::json &v, bool &ok)
{
    ok = true;
    if (v.is_number_unsigned() || v.is_number_integer()) {
        long long n = v.get<long long>();
        if (n >= 0 && n <= 0xFFFFFFFFLL)
            return static_cast<uint32_t>(n);
    } else if (v.is_string()) {
        uint32_t m;
        if (parse_hex_mask(v.get<std::string>(), m))
            return m;
    }
    ok = false;
    return 0;
}

} // namespace

Box::Box(Options opt) : opt_(std::move(opt)) {}

Box::~Box()
{
    teardown();
}

int Box::prepare(std::string &why)
{
    if (!opt_.log.empty() && log_.open(opt_.log) != 0) {
        why = "cannot open log " + opt_.log + ": " + std::strerror(errno);
        return -1;
    }
    if (!opt_.config_dir.empty()) {
        config_src_.reset(::open(opt_.config_dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!config_src_.valid()) {
            why = "cannot open " + opt_.config_dir + ": " + std::strerror(errno);
            return -1;
        }
    }
    if (!opt_.save_config_dir.empty()) {
        ::mkdir(opt_.save_config_dir.c_str(), 0755);
        save_dir_.reset(::open(opt_.save_config_dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!save_dir_.valid()) {
            why = "cannot open " + opt_.save_config_dir + ": " + std::strerror(errno);
            return -1;
        }
    }
    if (!opt_.control.empty()) {
        opt_.control = absolute(opt_.control);
        if (control_.bind(opt_.control, why) != 0)
            return -1;
    }
    if (flash_.prepare(opt_, mtd_tool_path(), why) != 0)
        return -1;
    if (ssc_.set_capture(opt_.capture, why) != 0)
        return -1;
    if (!opt_.playback.empty() && ssc_.set_playback_file(opt_.playback, why) != 0)
        return -1;
    ttys_.push_back(std::make_unique<TtyPort>(1, opt_.tty1, log_, nullptr));
    ttys_.push_back(std::make_unique<TtyPort>(3, opt_.tty3, log_, nullptr));
    for (auto &t : ttys_)
        if (t->prepare(why) != 0)
            return -1;
    if (!opt_.site.empty() && site_.prepare(opt_.site, why) != 0)
        return -1;
    return 0;
}

int Box::build(std::string &why)
{
    if (sandbox_.enter(why, &site_) != 0 || flash_.clone_host_files(why) != 0 ||
        sandbox_.build_root(config_src_.get(), why) != 0 || sandbox_.loopback_up(why) != 0 ||
        site_.join(why) != 0 || flash_.install(why) != 0)
        return -1;
    if (!site_.address().empty())
        log_.event("site %s address %s%s", opt_.site.c_str(), site_.address().c_str(),
                   site_.keeper() ? " (keeper)" : "");
    config_src_.reset();

    uio_.reset(::open("/dev/uio0", O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (!uio_.valid() || ::ftruncate(uio_.get(), kUioWindowSize) != 0) {
        why = std::string("cannot create /dev/uio0: ") + std::strerror(errno);
        return -1;
    }
    void *m = ::mmap(nullptr, kUioWindowSize, PROT_READ | PROT_WRITE, MAP_SHARED, uio_.get(), 0);
    if (m == MAP_FAILED) {
        why = std::string("cannot map /dev/uio0: ") + std::strerror(errno);
        return -1;
    }
    window_ = static_cast<uint8_t *>(m);
    pio_ = std::make_unique<PioModel>(window_);
    pio_->set_inputs(opt_.low, opt_.high);
    for (auto &t : ttys_) {
        t->set_pio(pio_.get());
        if (t->create(why) != 0)
            return -1;
    }
    std::string fuse_dir = Sandbox::kFuseDir;
    if (::symlink((fuse_dir + "/ssc0").c_str(), "/dev/ssc0") != 0 ||
        ::symlink((fuse_dir + "/i2c-0").c_str(), "/dev/i2c-0") != 0) {
        why = std::string("cannot create the device links: ") + std::strerror(errno);
        return -1;
    }
    return 0;
}

int Box::start_devices(std::string &why)
{
    std::string fuse_dir = Sandbox::kFuseDir;
    if (fuse_.start(fuse_dir, {{"ssc0", &ssc_}, {"i2c-0", &amp_}}, why) != 0)
        return -1;
    ssc_.start();
    site_.start();
    if (flash_.start(why) != 0)
        return -1;
    // The lines' peers first: the PIO thread tells them of output changes.
    for (auto &t : ttys_)
        if (t->start(why) != 0)
            return -1;
    pio_thread_ = std::thread([this] { pio_loop(); });
    register_commands();
    if (control_.start() != 0) {
        why = "cannot start the control socket";
        return -1;
    }
    return 0;
}

void Box::pio_loop()
{
    // The PIO registers are polled often enough to catch the product's 50 ms
    // pulses exactly; a small timer slack keeps the period near 150 us.
    ::prctl(PR_SET_TIMERSLACK, 1000UL);
    uint32_t outs = pio_->outputs(), dirs = pio_->directions();
    while (!pio_stop_.load()) {
        if (pio_->poll()) {
            uint32_t o = pio_->outputs(), d = pio_->directions();
            uint32_t changed = (o ^ outs);
            log_.event("gpio outputs 0x%08X changed 0x%08X directions 0x%08X", o, changed, d);
            for (auto &t : ttys_)
                t->notify_gpio(o, changed | (d ^ dirs));
            outs = o;
            dirs = d;
        }
        {
            std::lock_guard<std::mutex> g(pio_pass_lock_);
            ++pio_passes_;
        }
        pio_pass_cv_.notify_all();
        timespec ts{0, 150000};
        ::nanosleep(&ts, nullptr);
    }
}

void Box::wait_for_pio_pass()
{
    // The pass running when the request came may have read the registers
    // before the product's last write; the one after it cannot have.
    std::unique_lock<std::mutex> g(pio_pass_lock_);
    const uint64_t until = pio_passes_ + 2;
    pio_pass_cv_.wait_for(g, std::chrono::seconds(1),
                          [&] { return pio_passes_ >= until || pio_stop_.load(); });
}

void Box::register_commands()
{
    using nlohmann::json;
    control_.add("ping", [](const json &) { return json{{"ok", true}, {"pong", true}}; });
    control_.add("gpio_set", [this](const json &r) {
        bool ok1 = true, ok2 = true;
        uint32_t low = r.contains("low") ? mask_of(r["low"], ok1) : 0;
        uint32_t high = r.contains("high") ? mask_of(r["high"], ok2) : 0;
        if (!ok1 || !ok2)
            return json{{"ok", false}, {"error", "masks are numbers or hexadecimal strings"}};
        pio_->set_inputs(low, high);
        log_.event("gpio inputs low 0x%08X high 0x%08X", low, high);
        return json{{"ok", true}, {"inputs", pio_->inputs()}};
    });
    control_.add("gpio_read", [this](const json &) {
        // Answer with every register write the product made before asking.
        wait_for_pio_pass();
        return json{{"ok", true},
                    {"outputs", pio_->outputs()},
                    {"directions", pio_->directions()},
                    {"levels", pio_->levels()},
                    {"inputs", pio_->inputs()}};
    });
    control_.add("amp_log", [this](const json &r) {
        size_t since = r.value("since", static_cast<size_t>(0));
        json bytes = json::array();
        auto cmds = amp_.commands();
        for (size_t i = since; i < cmds.size(); ++i)
            bytes.push_back({{"t", cmds[i].time}, {"value", cmds[i].value}});
        return json{{"ok", true}, {"bytes", bytes}, {"count", cmds.size()}, {"address", amp_.selected()}};
    });
    control_.add("audio_levels", [this](const json &) {
        auto s = ssc_.stats();
        return json{{"ok", true},
                    {"configured", s.configured},
                    {"capture_dbfs", s.capture_dbfs},
                    {"playback_dbfs", s.playback_dbfs},
                    {"capture", s.capture},
                    {"playback_file", opt_.playback},
                    {"rx_blocks", s.rx_blocks},
                    {"rx_read", s.rx_read},
                    {"tx_blocks", s.tx_blocks},
                    {"tx_written", s.tx_written},
                    {"tx_fill", s.tx_fill}};
    });
    control_.add("playback_marker", [this](const json &r) {
        // {"arm": threshold} starts watching; without it, the find so far.
        if (r.contains("arm")) {
            int threshold = r.value("arm", 0);
            if (threshold < 1 || threshold > 32767)
                return json{{"ok", false}, {"error", "arm: threshold 1 .. 32767"}};
            ssc_.arm_playback_marker(threshold);
            return json{{"ok", true}};
        }
        auto m = ssc_.playback_marker();
        return json{{"ok", true},
                    {"seen", m.seen},
                    {"sample_ns", m.sample_ns},
                    {"write_enter_ns", m.write_enter_ns},
                    {"write_accept_ns", m.write_accept_ns},
                    {"prev_accept_ns", m.prev_accept_ns}};
    });
    control_.add("ssc_config", [this](const json &) {
        auto s = ssc_.stats();
        return json{{"ok", true},
                    {"configurations", s.configurations},
                    {"block_words", s.block_words},
                    {"clkdiv", s.config.clkdiv},
                    {"tcmr", s.config.tcmr},
                    {"tfmr", s.config.tfmr},
                    {"rcmr", s.config.rcmr},
                    {"rfmr", s.config.rfmr},
                    {"rxfer_count", s.config.rxfer_count}};
    });
    control_.add("capture", [this](const json &r) {
        std::string why;
        if (!r.contains("source") || !r["source"].is_string())
            return json{{"ok", false}, {"error", "\"source\" missing"}};
        if (ssc_.set_capture(r["source"].get<std::string>(), why) != 0)
            return json{{"ok", false}, {"error", why}};
        return json{{"ok", true}};
    });
    control_.add("mtd", [this](const json &r) { return flash_.control(r); });
    control_.add("log", [this](const json &r) {
        log_.event("note %s", r.value("text", std::string()).c_str());
        return json{{"ok", true}};
    });
    control_.add("tty", [this](const json &r) {
        int port = r.value("port", 1);
        for (auto &t : ttys_)
            if (t->port() == port)
                return t->control(r);
        return json{{"ok", false}, {"error", "no such port"}};
    });
    // Requests addressed to a peer: {"cmd": "tty1" or "tty3"} or its kind name.
    control_.set_fallback([this](const json &r) {
        std::string cmd = r["cmd"];
        for (auto &t : ttys_)
            if (cmd == "tty" + std::to_string(t->port()) || cmd == t->kind())
                return t->control(r);
        return json();
    });
}

int Box::wait_for_init(pid_t init)
{
    sigset_t set;
    sigemptyset(&set);
    for (int s : kHandled)
        sigaddset(&set, s);
    for (;;) {
        int st;
        pid_t r = ::waitpid(init, &st, WNOHANG);
        if (r == init) {
            if (WIFSIGNALED(st) && (WTERMSIG(st) == SIGHUP || WTERMSIG(st) == SIGINT)) {
                // The kernel reports a reboot(2) inside the box's PID namespace
                // this way: the box ends like the board would restart or halt.
                const char *what = WTERMSIG(st) == SIGHUP ? "rebooted" : "halted";
                log_.event("board %s", what);
                std::fprintf(stderr, "boardbox: the board %s\n", what);
            }
            return exit_status_of(st);
        }
        if (r < 0 && errno != EINTR)
            return 125;
        siginfo_t info;
        int sig = ::sigwaitinfo(&set, &info);
        if (sig > 0 && sig != SIGCHLD)
            ::kill(init, sig);
    }
}

int Box::run()
{
    std::string why;
    // Signals are taken synchronously by the main thread; the other threads,
    // started later, inherit the blocked mask.
    sigset_t set;
    sigemptyset(&set);
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = [](int) {};
    for (int s : kHandled) {
        sigaddset(&set, s);
        ::sigaction(s, &sa, nullptr);
    }
    ::sigprocmask(SIG_BLOCK, &set, nullptr);

    if (prepare(why) != 0) {
        std::fprintf(stderr, "boardbox: %s\n", why.c_str());
        return 125;
    }
    if (build(why) != 0) {
        std::fprintf(stderr, "boardbox: cannot isolate the box: %s\n", why.c_str());
        control_.stop();
        return 125;
    }
    int sv[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) {
        std::fprintf(stderr, "boardbox: socketpair: %s\n", std::strerror(errno));
        return 125;
    }
    UniqueFd mine(sv[0]), theirs(sv[1]);
    pid_t init = fork_into_pid_namespace();
    if (init < 0) {
        std::fprintf(stderr, "boardbox: cannot isolate the box: cannot create a PID namespace: %s\n",
                     std::strerror(errno));
        control_.stop();
        return 125;
    }
    if (init == 0) {
        mine.reset();
        for (auto &t : ttys_)
            t->close_in_child();
        InitPlan plan;
        plan.program = opt_.program;
        plan.also = opt_.also;
        plan.control = opt_.control;
        plan.sync_fd = theirs.get();
        plan.seek_filter = flash_.ram0().present;
        plan.log = &log_;
        run_init(plan);
    }
    theirs.reset();

    int notify = recv_fd(mine.get());
    int status;
    if (notify < 0) {
        // The init said why on stderr.
        status = wait_for_init(init);
        teardown();
        return status == 0 ? 125 : status;
    }
    IoctlSupervisor::Handlers h;
    h.ssc_path = std::string(Sandbox::kFuseDir) + "/ssc0";
    h.i2c_path = std::string(Sandbox::kFuseDir) + "/i2c-0";
    h.pcm_config = [this](const uint8_t *rec) { return ssc_.configure(rec); };
    h.i2c_slave = [this](unsigned long addr) { return amp_.select(addr); };
    Ram0Identity ram0 = flash_.ram0();
    h.seek_limited = ram0.present;
    h.seek_dev = ram0.dev;
    h.seek_ino = ram0.ino;
    h.seek_size = ram0.size;
    if (ioctls_.start(notify, sandbox_.host_proc(), std::move(h)) != 0 || start_devices(why) != 0) {
        std::fprintf(stderr, "boardbox: cannot start the board devices: %s\n", why.c_str());
        ::kill(init, SIGKILL);
        wait_for_init(init);
        teardown();
        return 125;
    }
    log_.event("box ready");
    char go = 'G';
    if (::write(mine.get(), &go, 1) != 1) {
        ::kill(init, SIGKILL);
    }
    status = wait_for_init(init);
    teardown();
    return status;
}

void Box::teardown()
{
    ssc_.stop();
    fuse_.stop();
    flash_.stop();
    ioctls_.stop();
    if (pio_thread_.joinable()) {
        pio_stop_.store(true);
        pio_pass_cv_.notify_all();
        pio_thread_.join();
    }
    for (auto &t : ttys_)
        t->stop();
    control_.stop();
    site_.stop();
    if (save_dir_.valid()) {
        UniqueFd src(::open("/config", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!src.valid() || copy_tree(src.get(), save_dir_.get()) != 0)
            std::fprintf(stderr, "boardbox: cannot save /config to %s\n", opt_.save_config_dir.c_str());
        save_dir_.reset();
    }
    if (window_) {
        ::munmap(window_, kUioWindowSize);
        window_ = nullptr;
    }
}

} // namespace boardbox
