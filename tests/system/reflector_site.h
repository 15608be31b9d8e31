// Sites joined over a real SvxReflector, for programs that run on the host and
// start the boxes: one box runs svxreflector, each site is a box with a GM360
// head, gatesimd (joined to the reflector) and the real gwlinkd, and all of
// them share one isolated site network (172.16.0.0/24) and nothing else.
#pragma once

#include "base/byteorder.h"
#include "gateway/config_record.h"
#include "sim/box_client.h"
#include "sim/box_process.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace refsite
{

using ms = std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

constexpr const char *reflector_address = "172.16.0.10";
constexpr int reflector_port = 5300;
constexpr const char *key = "site key 1";
constexpr const char *svxreflector = "/usr/bin/svxreflector";
constexpr uint32_t front_ptt = 0x1000; // the GM360 head's PTT line, active low

inline std::string bin(const char *name)
{
    return std::string(GW_BUILD_DIR) + "/bin/" + name;
}

inline std::string read_file(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

inline bool wait_until(const std::function<bool()> &pred, ms timeout)
{
    auto deadline = Clock::now() + timeout;
    while (Clock::now() < deadline) {
        if (pred())
            return true;
        std::this_thread::sleep_for(ms(20));
    }
    return pred();
}

// Lines of `box` containing `text`.
inline size_t count_lines(const boardbox::BoxProcess &box, const std::string &text)
{
    size_t n = 0;
    for (const std::string &l : box.stdout_lines())
        n += l.find(text) != std::string::npos;
    return n;
}

inline bool wait_count(const boardbox::BoxProcess &box, const std::string &text, size_t n, ms timeout)
{
    return wait_until([&] { return count_lines(box, text) >= n; }, timeout);
}

// The descendant of `root` whose command is `comm`, or -1.
inline pid_t descendant(pid_t root, const std::string &comm)
{
    std::vector<pid_t> todo{root};
    while (!todo.empty()) {
        pid_t p = todo.back();
        todo.pop_back();
        if (read_file("/proc/" + std::to_string(p) + "/comm") == comm + "\n")
            return p;
        DIR *d = ::opendir(("/proc/" + std::to_string(p) + "/task").c_str());
        if (d == nullptr)
            continue;
        while (dirent *e = ::readdir(d)) {
            std::istringstream kids(
                read_file("/proc/" + std::to_string(p) + "/task/" + e->d_name + "/children"));
            pid_t k;
            while (kids >> k)
                todo.push_back(k);
        }
        ::closedir(d);
    }
    return -1;
}

// A socket made inside the network namespace of process `pid` (a thread
// joins it, makes the socket and ends): it belongs to that namespace for good,
// so the test talks to a box on the box's own loopback. -1 on failure.
inline int socket_in_netns(pid_t pid, int type)
{
    int fd = -1;
    std::thread t([&] {
        int ns = ::open(("/proc/" + std::to_string(pid) + "/ns/net").c_str(), O_RDONLY | O_CLOEXEC);
        if (ns >= 0 && ::setns(ns, CLONE_NEWNET) == 0)
            fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
        if (ns >= 0)
            ::close(ns);
    });
    t.join();
    return fd;
}

inline sockaddr_in loopback(int port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

// A directory of the test's own, removed with everything below it.
struct Dir {
    std::string path = boardbox::BoxProcess::temp_path("rfs");
    Dir() { ::mkdir(path.c_str(), 0700); }
    ~Dir() { remove(path); }
    std::string file(const std::string &name) const { return path + "/" + name; }

    static void remove(const std::string &dir)
    {
        if (DIR *d = ::opendir(dir.c_str())) {
            while (dirent *e = ::readdir(d)) {
                std::string name = e->d_name;
                if (name == "." || name == "..")
                    continue;
                struct stat st;
                std::string p = dir + "/" + name;
                if (::lstat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
                    remove(p);
                else
                    ::unlink(p.c_str());
            }
            ::closedir(d);
        }
        ::rmdir(dir.c_str());
    }
};

// The box of the reflector. svxreflector runs under a shell that starts it
// again, once, when the test writes a line to its FIFO.
class Reflector
{
  public:
    // `codec`: the reflector's CODECS setting, "" for its default (Opus).
    Reflector(const Dir &dir, const std::string &site, const std::vector<std::string> &nodes,
              const std::string &codec = "")
        : conf_(dir.file("svxreflector.conf")), fifo_(dir.file("restart"))
    {
        std::ofstream c(conf_);
        c << "[GLOBAL]\nLISTEN_PORT=" << reflector_port << "\n";
        if (!codec.empty())
            c << "CODECS=" << codec << "\n";
        c << "[USERS]\n";
        for (const std::string &n : nodes)
            c << n << "=sites\n";
        c << "[PASSWORDS]\nsites=\"" << key << "\"\n";
        c.close();
        ::mkfifo(fifo_.c_str(), 0600);
        site_ = site + ":" + reflector_address;
    }
    int start()
    {
        return box_.start({"--site", site_},
                          {"/bin/sh", "-c",
                           "\"$0\" --config=\"$1\"; echo \"svxreflector ended\"; read go < \"$2\"; "
                           "exec \"$0\" --config=\"$1\"",
                           svxreflector, conf_, fifo_});
    }
    // Ends svxreflector (the box stays) and waits until the shell saw it end.
    bool kill_reflector()
    {
        pid_t pid = descendant(box_.pid(), "svxreflector");
        if (pid <= 0 || ::kill(pid, SIGKILL) != 0)
            return false;
        return box_.wait_for_line("svxreflector ended", ms(10000));
    }
    void restart_reflector()
    {
        int fd = ::open(fifo_.c_str(), O_WRONLY | O_CLOEXEC);
        if (fd >= 0) {
            ssize_t r = ::write(fd, "go\n", 3);
            (void)r;
            ::close(fd);
        }
    }
    boardbox::BoxProcess &box() { return box_; }

  private:
    std::string conf_, fifo_, site_;
    boardbox::BoxProcess box_;
};

// One site: a box with a GM360 head, gatesimd as its server joined to the
// reflector, and gwlinkd. Or, with `gatesimd_at`, only a gateway of another
// site's box.
class Site
{
  public:
    struct Options {
        std::string site, address;
        std::string node; // the reflector node; "" for no gatesimd
        std::string node_key = key;
        std::string gatesimd_at = "127.0.0.1"; // the gateway's server
        std::string capture = "silence";
        int talkgroup = 7;
        int buffers = 4;
    };

    Site(const Dir &dir, Options o) : o_(std::move(o))
    {
        cfg_ = dir.file("cfg-" + o_.address);
        ::mkdir(cfg_.c_str(), 0700);
        config_format::config_record rec = config_format::default_record();
        rec.remote_ip = inet_addr(o_.gatesimd_at.c_str());
        rec.remote_port = 5555;
        rec.radio_type = config_format::radio_gm360;
        rec.buffers = o_.buffers;
        uint8_t image[config_format::record_size];
        config_format::encode(rec, image);
        write(cfg_ + "/main.cfg", image, sizeof image);
        uint8_t codec[4];
        bytes::put_le32(codec, 1); // A-law: the relay's codec
        write(cfg_ + "/codec.cfg", codec, sizeof codec);
        control_ = dir.file("box-" + o_.address + ".sock");
        gatesimd_control_ = dir.file("gsd-" + o_.address + ".sock");
        playback_ = dir.file("speaker-" + o_.address + ".wav");
    }

    int start()
    {
        std::vector<std::string> opts{"--site",     o_.site + ":" + o_.address,
                                      "--tty1",     "gm360",
                                      "--control",  control_,
                                      "--config",   cfg_,
                                      "--capture",  o_.capture,
                                      "--playback", playback_};
        if (!o_.node.empty()) {
            std::vector<std::string> also{"--also",
                                          "--",
                                          bin("gatesimd"),
                                          "--control",
                                          gatesimd_control_,
                                          "--reflector",
                                          std::string(reflector_address) + ":" +
                                              std::to_string(reflector_port),
                                          "--reflector-node",
                                          o_.node,
                                          "--reflector-key",
                                          o_.node_key,
                                          "--talkgroup",
                                          std::to_string(o_.talkgroup)};
            opts.insert(opts.end(), also.begin(), also.end());
        }
        if (box_.start(opts, {bin("gwlinkd")}) != 0)
            return -1;
        return control().connect(control_);
    }

    // The gateway logged in to its server and the head is set up.
    bool gateway_up(ms timeout) { return box_.wait_for_line("FRONT_INIT", timeout); }
    bool logged_in(size_t n, ms timeout)
    {
        return wait_count(box_, "gatesimd: reflector: logged in", n, timeout);
    }

    // The head's PTT line.
    int ptt(bool on) { return on ? client_.set_inputs(front_ptt, 0) : client_.set_inputs(0, front_ptt); }

    // A command on gatesimd's control socket: the reply, up to and with its
    // "ok" or "error" line.
    std::string command(const std::string &line)
    {
        int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::snprintf(a.sun_path, sizeof a.sun_path, "%s", gatesimd_control_.c_str());
        std::string reply;
        timeval tv{5, 0};
        if (fd >= 0 && ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) == 0 &&
            ::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0) {
            std::string l = line + "\n";
            if (::write(fd, l.data(), l.size()) == static_cast<ssize_t>(l.size())) {
                auto done = [&] {
                    size_t start = 0, nl;
                    while ((nl = reply.find('\n', start)) != std::string::npos) {
                        if (reply.compare(start, 2, "ok") == 0 || reply.compare(start, 5, "error") == 0)
                            return true;
                        start = nl + 1;
                    }
                    return false;
                };
                char buf[4096];
                ssize_t n;
                while (!done() && (n = ::read(fd, buf, sizeof buf)) > 0)
                    reply.append(buf, static_cast<size_t>(n));
            }
        }
        if (fd >= 0)
            ::close(fd);
        return reply;
    }

    // Samples the loudspeaker played from sample `from` on (the box records
    // 16-bit mono after a 44-byte header).
    std::vector<int16_t> played(size_t from = 0) const
    {
        std::string data = read_file(playback_);
        std::vector<int16_t> out;
        for (size_t off = 44 + 2 * from; off + 2 <= data.size(); off += 2)
            out.push_back(
                static_cast<int16_t>(bytes::get_le16(reinterpret_cast<const uint8_t *>(data.data()) + off)));
        return out;
    }
    size_t played_count() const
    {
        struct stat st;
        return ::stat(playback_.c_str(), &st) == 0 && st.st_size > 44
                   ? static_cast<size_t>(st.st_size - 44) / 2
                   : 0;
    }

    boardbox::BoxProcess &box() { return box_; }
    boardbox::Client &control() { return client_; }
    const Options &options() const { return o_; }

  private:
    static void write(const std::string &path, const uint8_t *p, size_t n)
    {
        std::ofstream f(path, std::ios::binary);
        f.write(reinterpret_cast<const char *>(p), static_cast<std::streamsize>(n));
    }

    Options o_;
    std::string cfg_, control_, gatesimd_control_, playback_;
    boardbox::BoxProcess box_;
    boardbox::Client client_;
};

// An XML gateway's link to the gatesimd of a site's box, made on the box's
// loopback: it logs in and keeps every document the site sends.
class XmlListener
{
  public:
    ~XmlListener()
    {
        if (fd_ >= 0)
            ::shutdown(fd_, SHUT_RDWR);
        if (reader_.joinable())
            reader_.join();
        if (fd_ >= 0)
            ::close(fd_);
    }
    bool connect(Site &site, const std::string &user = "user", const std::string &password = "qzv")
    {
        pid_t pid = descendant(site.box().pid(), "gatesimd");
        fd_ = pid > 0 ? socket_in_netns(pid, SOCK_STREAM) : -1;
        sockaddr_in a = loopback(5556);
        if (fd_ < 0 || ::connect(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0)
            return false;
        std::string login =
            "<LoginReq><Credentials user=\"" + user + "\" passwd=\"" + password + "\" /></LoginReq>";
        std::string frame(8, '\0');
        bytes::put_le32(reinterpret_cast<uint8_t *>(&frame[0]), static_cast<uint32_t>(login.size()));
        frame += login;
        if (::send(fd_, frame.data(), frame.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(frame.size()))
            return false;
        reader_ = std::thread([this] {
            std::string in;
            char buf[4096];
            ssize_t n;
            while ((n = ::recv(fd_, buf, sizeof buf, 0)) > 0) {
                in.append(buf, static_cast<size_t>(n));
                while (in.size() >= 8) {
                    uint32_t len = bytes::get_le32(reinterpret_cast<const uint8_t *>(in.data()));
                    if (in.size() < 8 + len)
                        break;
                    std::lock_guard<std::mutex> g(m_);
                    docs_.push_back(in.substr(8, len));
                    in.erase(0, 8 + len);
                }
            }
        });
        return wait_for("<LoginPosResp", ms(10000));
    }
    // True once a received document holds every one of `parts`.
    bool wait_for(std::initializer_list<std::string> parts, ms timeout)
    {
        return wait_until(
            [&] {
                std::lock_guard<std::mutex> g(m_);
                for (const std::string &d : docs_) {
                    bool all = true;
                    for (const std::string &p : parts)
                        all = all && d.find(p) != std::string::npos;
                    if (all)
                        return true;
                }
                return false;
            },
            timeout);
    }
    bool wait_for(const std::string &text, ms timeout) { return wait_for({text}, timeout); }

  private:
    int fd_ = -1;
    std::thread reader_;
    std::mutex m_;
    std::vector<std::string> docs_;
};

// A gateway gives its link up after 15 s without a byte from its server, and
// gatesimd sends nothing unless something happens: like a site server that
// reports its status, this sends each site's gateways a squelch event every
// few seconds while it lives.
class StatusEvents
{
  public:
    explicit StatusEvents(std::vector<Site *> sites) : sites_(std::move(sites))
    {
        thread_ = std::thread([this] {
            std::unique_lock<std::mutex> g(m_);
            while (!cv_.wait_for(g, ms(5000), [this] { return stop_; }))
                for (Site *s : sites_)
                    s->command("sql 0");
        });
    }
    ~StatusEvents()
    {
        {
            std::lock_guard<std::mutex> g(m_);
            stop_ = true;
        }
        cv_.notify_all();
        thread_.join();
    }

  private:
    std::vector<Site *> sites_;
    std::mutex m_;
    std::condition_variable cv_;
    bool stop_ = false;
    std::thread thread_;
};

// The frequency of the first stretch of `length` samples whose every 20 ms
// block peaks above `threshold`, from its rising zero crossings; 0 when there
// is none.
inline double tone_hz(const std::vector<int16_t> &pcm, size_t length = 1600, int threshold = 1000,
                      int rate = 8000)
{
    const size_t block = static_cast<size_t>(rate / 50);
    size_t run = 0;
    for (size_t b = 0; b + block <= pcm.size(); b += block) {
        int peak = 0;
        for (size_t i = b; i < b + block; i++)
            peak = std::max(peak, std::abs(static_cast<int>(pcm[i])));
        run = peak > threshold ? run + block : 0;
        if (run >= length + 2 * block) {
            // Past the onset, whose first blocks may still be rising.
            size_t start = b + block - length;
            int rising = 0;
            for (size_t i = start + 1; i < start + length; i++)
                rising += pcm[i - 1] < 0 && pcm[i] >= 0;
            return rising * static_cast<double>(rate) / static_cast<double>(length);
        }
    }
    return 0;
}

// A real SvxLink node (Debian's svxlink-server) in a box of its own: a simplex
// logic linked to a ReflectorLogic, its receiver and transmitter UDP audio
// devices on the box's loopback (16 kHz, 16-bit mono), its squelch a VOX.
class SvxLinkNode
{
  public:
    static constexpr int rate = 16000;
    static constexpr int rx_port = 12000, tx_port = 12001;
    static constexpr const char *svxlink = "/usr/bin/svxlink";

    SvxLinkNode(const Dir &dir, const std::string &site, const std::string &callsign,
                const std::string &address)
        : conf_(dir.file("svxlink.conf")), site_(site + ":" + address)
    {
        std::ofstream c(conf_);
        c << "[GLOBAL]\nLOGICS=SimplexLogic,ReflectorLogic\nLINKS=NodeLink\nCARD_SAMPLE_RATE=" << rate
          << "\nCARD_CHANNELS=1\n"
          << "[SimplexLogic]\nTYPE=Simplex\nRX=Rx1\nTX=Tx1\nCALLSIGN=" << callsign
          << "\nEVENT_HANDLER=/usr/share/svxlink/events.tcl\nDEFAULT_LANG=en_US\nRGR_SOUND_DELAY=-1\n"
             "SHORT_IDENT_INTERVAL=0\nLONG_IDENT_INTERVAL=0\nFX_GAIN_NORMAL=0\nFX_GAIN_LOW=-12\n"
          << "[ReflectorLogic]\nTYPE=Reflector\nHOST=" << reflector_address << "\nPORT=" << reflector_port
          << "\nCALLSIGN=\"" << callsign << "\"\nAUTH_KEY=\"" << key << "\"\n"
          << "[NodeLink]\nCONNECT_LOGICS=SimplexLogic:91:SK,ReflectorLogic:92:RF\nDEFAULT_ACTIVE=1\nTIMEOUT="
             "0\n"
          << "[Rx1]\nTYPE=Local\nAUDIO_DEV=udp:127.0.0.1:" << rx_port
          << "\nAUDIO_CHANNEL=0\nSQL_DET=VOX\nVOX_FILTER_DEPTH=20\nVOX_THRESH=1000\nSQL_START_DELAY=0\n"
             "SQL_DELAY=0\nSQL_HANGTIME=200\nDTMF_DEC_TYPE=NONE\n"
          << "[Tx1]\nTYPE=Local\nAUDIO_DEV=udp:127.0.0.1:" << tx_port
          << "\nAUDIO_CHANNEL=0\nPTT_TYPE=NONE\nTIMEOUT=0\nTX_DELAY=0\nPREEMPHASIS=0\n";
    }
    ~SvxLinkNode()
    {
        stop_ = true;
        if (listener_.joinable())
            listener_.join();
        for (int fd : {rx_, tx_})
            if (fd >= 0)
                ::close(fd);
        box_.stop();
    }

    // Started and logged in to the reflector, with its audio sockets open.
    bool start(ms timeout)
    {
        if (box_.start({"--site", site_}, {svxlink, "--config=" + conf_}) != 0 ||
            !box_.wait_for_line("ReflectorLogic: Using audio codec", timeout))
            return false;
        pid_t pid = -1;
        wait_until([&] { return (pid = descendant(box_.pid(), "svxlink")) > 0; }, timeout);
        rx_ = socket_in_netns(pid, SOCK_DGRAM);
        tx_ = socket_in_netns(pid, SOCK_DGRAM);
        sockaddr_in a = loopback(rx_port);
        if (rx_ >= 0)
            ::connect(rx_, reinterpret_cast<sockaddr *>(&a), sizeof a);
        a = loopback(tx_port);
        timeval tv{0, 50000};
        if (tx_ >= 0 && (::setsockopt(tx_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0 ||
                         ::bind(tx_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0)) {
            ::close(tx_);
            tx_ = -1;
        }
        if (rx_ < 0 || tx_ < 0)
            return false;
        listener_ = std::thread([this] {
            int16_t buf[4096];
            while (!stop_) {
                ssize_t n = ::recv(tx_, buf, sizeof buf, 0);
                if (n <= 0)
                    continue;
                std::lock_guard<std::mutex> g(m_);
                transmitted_.insert(transmitted_.end(), buf, buf + n / 2);
            }
        });
        return true;
    }

    // A tone into the node's receiver (its VOX opens), then silence until the
    // squelch has closed again. Paced at 20 ms a block.
    void receive_tone(double hz, int amplitude, ms duration)
    {
        auto next = Clock::now();
        size_t blocks = static_cast<size_t>(duration.count() / 20);
        for (size_t b = 0; b < blocks + 50; b++) {
            int16_t block[rate / 50];
            for (size_t i = 0; i < sizeof block / sizeof block[0]; i++, sample_++)
                block[i] = b < blocks
                               ? static_cast<int16_t>(amplitude * std::sin(2 * M_PI * hz * sample_ / rate))
                               : 0;
            ssize_t r = ::send(rx_, block, sizeof block, 0);
            (void)r;
            next += ms(20);
            std::this_thread::sleep_until(next);
        }
    }

    // What the node's transmitter sent, at 16 kHz.
    std::vector<int16_t> transmitted()
    {
        std::lock_guard<std::mutex> g(m_);
        return transmitted_;
    }
    size_t transmitted_count()
    {
        std::lock_guard<std::mutex> g(m_);
        return transmitted_.size();
    }
    boardbox::BoxProcess &box() { return box_; }

  private:
    std::string conf_, site_;
    boardbox::BoxProcess box_;
    int rx_ = -1, tx_ = -1;
    uint64_t sample_ = 0;
    std::atomic<bool> stop_{false};
    std::thread listener_;
    std::mutex m_;
    std::vector<int16_t> transmitted_;
};

} // namespace refsite
