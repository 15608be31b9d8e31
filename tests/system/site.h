// Pieces of a simulated GM360 site for programs that run inside a box: the
// gateway daemon as a child process with its output captured, the server
// emulator library in-process on loopback, and the configuration files.
//
// Everything here refuses to start a product process unless the caller runs
// inside an isolated box (loopback the only network interface).
#pragma once

#include "base/byteorder.h"
#include "gatesim/libgatesim.h"
#include "gateway/config_record.h"
#include "tests/isolated_box.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace site
{

using Clock = std::chrono::steady_clock;
using ms = std::chrono::milliseconds;
using Bytes = std::vector<uint8_t>;

using ::inside_isolated_box;

#ifdef GW_BUILD_DIR
// A program of this build: "gwlinkd", "gatesimd", ...
inline std::string bin(const char *name)
{
    return std::string(GW_BUILD_DIR) + "/bin/" + name;
}
#endif

inline void write_file(const char *path, const uint8_t *data, size_t n)
{
    int fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        return;
    ssize_t w = ::write(fd, data, n);
    (void)w;
    ::close(fd);
}

inline int read_codec_file()
{
    int fd = ::open("/config/codec.cfg", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    uint8_t b[4] = {};
    ssize_t n = ::read(fd, b, sizeof b);
    ::close(fd);
    return n == 4 ? static_cast<int>(bytes::get_le32(b)) : -1;
}

// What the gateway under test finds in "/config": the factory record with
// the server at 127.0.0.1:port and these fields, the codec file, and the
// blocked list when one is given (otherwise "/config/blocked.cfg" is left as
// it is).
struct GatewayConfig {
    int port = 5555;
    int radio_type = config_format::radio_gm360;
    int codec = 1;
    int crypto_mode = 0;
    int buffers = 4;
    std::string user, password; // the factory's when empty
    std::vector<std::string> blocked;
};

inline void write_config(const GatewayConfig &c)
{
    config_format::config_record rec = config_format::default_record();
    rec.remote_ip = inet_addr("127.0.0.1");
    rec.remote_port = c.port;
    rec.radio_type = c.radio_type;
    rec.crypto_mode = c.crypto_mode;
    rec.buffers = c.buffers;
    if (!c.user.empty())
        rec.remote_user = c.user;
    if (!c.password.empty())
        rec.remote_passwd = c.password;
    uint8_t image[config_format::record_size];
    config_format::encode(rec, image);
    write_file("/config/main.cfg", image, sizeof image);
    uint8_t codec[4];
    bytes::put_le32(codec, static_cast<uint32_t>(c.codec));
    write_file("/config/codec.cfg", codec, sizeof codec);
    if (c.blocked.empty())
        return;
    std::vector<uint8_t> items(c.blocked.size() * config_format::blocked_item_size, 0);
    for (size_t i = 0; i < c.blocked.size(); i++)
        std::memcpy(&items[i * config_format::blocked_item_size + config_format::blocked_name_offset],
                    c.blocked[i].data(), c.blocked[i].size());
    write_file("/config/blocked.cfg", items.data(), items.size());
}

// A gateway of `radio_type` (default gm360) talking to 127.0.0.1:port.
inline void write_config(int port, int crypto_mode, int codec, int buffers = 4,
                         int radio_type = config_format::radio_gm360)
{
    GatewayConfig c;
    c.port = port;
    c.crypto_mode = crypto_mode;
    c.codec = codec;
    c.buffers = buffers;
    c.radio_type = radio_type;
    write_config(c);
}

// Size of a file (a recording growing), -1 when there is none.
inline long file_size(const std::string &path)
{
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 ? static_cast<long>(st.st_size) : -1;
}

// Waits for pred() under lock, at most `timeout`.
template <class Pred> bool wait_until(std::mutex &m, std::condition_variable &cv, ms timeout, Pred pred)
{
    std::unique_lock<std::mutex> lock(m);
    return cv.wait_for(lock, timeout, pred);
}

// A program run inside the box, standard output and error captured by line.
class Child
{
  public:
    ~Child() { stop(); }

    int start(const std::vector<std::string> &argv)
    {
        std::string why;
        if (!inside_isolated_box(why)) {
            std::fprintf(stderr, "refusing to start %s: %s\n", argv[0].c_str(), why.c_str());
            return -1;
        }
        int p[2];
        if (::pipe2(p, O_CLOEXEC) != 0)
            return -1;
        pid_ = ::fork();
        if (pid_ < 0)
            return -1;
        if (pid_ == 0) {
            ::dup2(p[1], 1);
            ::dup2(p[1], 2);
            std::vector<char *> args;
            for (const std::string &a : argv)
                args.push_back(const_cast<char *>(a.c_str()));
            args.push_back(nullptr);
            ::execv(args[0], args.data());
            _exit(127);
        }
        ::close(p[1]);
        reader_ = std::thread([this, fd = p[0]] { read_lines(fd); });
        return 0;
    }

    // True once a line containing `text` was seen at or after line `from`.
    bool wait_for_line(const std::string &text, ms timeout = ms(15000), size_t from = 0)
    {
        return wait_until(m_, cv_, timeout, [&] { return find_locked(text, from) >= 0; });
    }
    long find(const std::string &text, size_t from = 0)
    {
        std::lock_guard<std::mutex> lock(m_);
        return find_locked(text, from);
    }
    // Lines containing `text`, at or after line `from`.
    size_t count(const std::string &text, size_t from = 0)
    {
        std::lock_guard<std::mutex> lock(m_);
        size_t n = 0;
        for (size_t i = from; i < lines_.size(); i++)
            n += lines_[i].find(text) != std::string::npos;
        return n;
    }
    size_t line_count()
    {
        std::lock_guard<std::mutex> lock(m_);
        return lines_.size();
    }
    std::vector<std::string> lines()
    {
        std::lock_guard<std::mutex> lock(m_);
        return lines_;
    }
    std::string tail(size_t n = 40)
    {
        std::lock_guard<std::mutex> lock(m_);
        std::string s;
        for (size_t i = lines_.size() > n ? lines_.size() - n : 0; i < lines_.size(); i++)
            s += lines_[i] + "\n";
        return s;
    }

    // The exit status (128+N for signal N), or -1 on time-out.
    int wait_exit(ms timeout)
    {
        if (pid_ <= 0)
            return status_;
        auto deadline = Clock::now() + timeout;
        for (;;) {
            int st;
            pid_t r = ::waitpid(pid_, &st, WNOHANG);
            if (r == pid_) {
                status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
                pid_ = -1;
                if (reader_.joinable())
                    reader_.join();
                return status_;
            }
            if (Clock::now() >= deadline)
                return -1;
            std::this_thread::sleep_for(ms(5));
        }
    }

    int stop()
    {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            if (wait_exit(ms(5000)) < 0) {
                ::kill(pid_, SIGKILL);
                wait_exit(ms(5000));
            }
        }
        if (reader_.joinable())
            reader_.join();
        return status_;
    }

    bool running() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }

  private:
    long find_locked(const std::string &text, size_t from)
    {
        for (size_t i = from; i < lines_.size(); i++)
            if (lines_[i].find(text) != std::string::npos)
                return static_cast<long>(i);
        return -1;
    }
    void read_lines(int fd)
    {
        std::string partial;
        char buf[4096];
        for (;;) {
            ssize_t n = ::read(fd, buf, sizeof buf);
            if (n <= 0)
                break;
            partial.append(buf, static_cast<size_t>(n));
            size_t nl;
            std::lock_guard<std::mutex> lock(m_);
            while ((nl = partial.find('\n')) != std::string::npos) {
                lines_.push_back(partial.substr(0, nl));
                partial.erase(0, nl + 1);
            }
            cv_.notify_all();
        }
        ::close(fd);
        std::lock_guard<std::mutex> lock(m_);
        if (!partial.empty())
            lines_.push_back(partial);
        cv_.notify_all();
    }

    pid_t pid_ = -1;
    int status_ = -1;
    std::thread reader_;
    std::mutex m_;
    std::condition_variable cv_;
    std::vector<std::string> lines_;
};

// How many lines of `c`, from line `from` on, contain `text`.
inline size_t count_lines(Child &c, const std::string &text, size_t from = 0)
{
    size_t n = 0;
    std::vector<std::string> lines = c.lines();
    for (size_t i = from; i < lines.size(); i++)
        if (lines[i].find(text) != std::string::npos)
            n++;
    return n;
}

// G.711 A-law, for building and checking voice frames.
inline int16_t alaw_decode(uint8_t a)
{
    a ^= 0x55;
    int t = (a & 0x0F) << 4;
    int seg = (a & 0x70) >> 4;
    if (seg == 0)
        t += 8;
    else if (seg == 1)
        t += 0x108;
    else {
        t += 0x108;
        t <<= seg - 1;
    }
    return static_cast<int16_t>((a & 0x80) ? t : -t);
}

inline uint8_t alaw_encode(int16_t pcm)
{
    int mask;
    int v = pcm;
    if (v >= 0) {
        mask = 0xD5;
    } else {
        mask = 0x55;
        v = -v - 1;
    }
    static const int seg_end[8] = {0xFF, 0x1FF, 0x3FF, 0x7FF, 0xFFF, 0x1FFF, 0x3FFF, 0x7FFF};
    int seg = 0;
    while (seg < 8 && v > seg_end[seg])
        seg++;
    if (seg >= 8)
        return static_cast<uint8_t>(0x7F ^ mask);
    int aval = seg << 4;
    aval |= (seg < 2) ? ((v >> 4) & 0x0F) : ((v >> (seg + 3)) & 0x0F);
    return static_cast<uint8_t>(aval ^ mask);
}

// Peak amplitude of an A-law payload.
inline int alaw_peak(const uint8_t *p, size_t n)
{
    int peak = 0;
    for (size_t i = 0; i < n; i++)
        peak = std::max(peak, std::abs(static_cast<int>(alaw_decode(p[i]))));
    return peak;
}

// 20 ms of a sine tone as A-law, continuing the phase across frames.
inline void alaw_tone_frame(uint8_t out[160], double hz, double amplitude, uint64_t &sample)
{
    for (int i = 0; i < 160; i++, sample++)
        out[i] = alaw_encode(static_cast<int16_t>(amplitude * std::sin(2 * M_PI * hz * sample / 8000.0)));
}

// libgatesim on loopback, recording what the gateways do.
class Server
{
  public:
    struct Ptt {
        int value;
        Clock::time_point at;
    };
    struct Front {
        unsigned type;
        Bytes body;
    };

    // From protocol 1.6 on the gateways upload their blocked lists.
    Server(int tcp_port, int rtp_port, int codec = 1, int proto_minor = 5) : sim_(libgatesim::create())
    {
        codec_ = codec;
        sim_->set_cb_info_ver([proto_minor](libgatesim::s_info_ver &v) {
            v.proto_major = 1;
            v.proto_minor = static_cast<uint16_t>(proto_minor);
            v.fw_major = 1;
            v.fw_minor = 30;
            v.build = 7;
            return 0;
        });
        sim_->set_cb_login_req([this](libgatesim::s_login_req &r, const std::string &user,
                                      const std::string &, const std::string &) {
            r.codec_type = codec_;
            r.rtype0 = 1;
            r.rtype1 = 0;
            r.priv_level = 1;
            r.device_name = "site server";
            std::lock_guard<std::mutex> lock(m_);
            logins_++;
            last_user_ = user;
            cv_.notify_all();
            return 0;
        });
        sim_->set_cb_set_ptt([this](int ptt) {
            std::lock_guard<std::mutex> lock(m_);
            ptts_.push_back({ptt, Clock::now()});
            cv_.notify_all();
            return 0;
        });
        sim_->set_cb_rtp_recv([this](unsigned char *packet, int len) {
            std::lock_guard<std::mutex> lock(m_);
            rtp_count_++;
            last_rtp_ = Clock::now();
            if (rtp_times_.size() < 200000)
                rtp_times_.push_back(last_rtp_);
            if (len > 12 && alaw_peak(packet + 12, static_cast<size_t>(len - 12)) > loud_threshold) {
                if (loud_count_++ == 0)
                    first_loud_ = last_rtp_;
            }
            cv_.notify_all();
            return 0;
        });
        sim_->set_cb_front([this](unsigned type, const unsigned char *body, int len) {
            std::lock_guard<std::mutex> lock(m_);
            fronts_.push_back({type, Bytes(body, body + len)});
            cv_.notify_all();
            return 0;
        });
        sim_->set_cb_blocked_list([this](const std::string &, const std::vector<std::string> &names) {
            std::lock_guard<std::mutex> lock(m_);
            blocked_lists_.push_back(names);
            cv_.notify_all();
            return 0;
        });
        ok_ = sim_->init("127.0.0.1", tcp_port, 8, rtp_port) == 0;
    }

    bool ok() const { return ok_; }
    libgatesim &sim() { return *sim_; }

    // Arrival of the first voice packet at or after t (under the lock).
    Clock::time_point first_rtp_after(Clock::time_point t)
    {
        auto it = std::lower_bound(rtp_times_.begin(), rtp_times_.end(), t);
        return it == rtp_times_.end() ? Clock::time_point{} : *it;
    }

    template <class Pred> bool wait(ms timeout, Pred pred)
    {
        return wait_until(m_, cv_, timeout, [&] { return pred(*this); });
    }

    // Read under the lock only (inside wait() predicates or after snapshot()).
    int logins_ = 0;
    std::string last_user_;
    std::vector<Ptt> ptts_;
    uint64_t rtp_count_ = 0;
    uint64_t loud_count_ = 0;
    Clock::time_point last_rtp_{};
    std::vector<Clock::time_point> rtp_times_;
    Clock::time_point first_loud_{};
    std::vector<Front> fronts_;
    std::vector<std::vector<std::string>> blocked_lists_;
    static constexpr int loud_threshold = 1000;

    std::mutex m_;

  private:
    std::condition_variable cv_;
    std::atomic<int> codec_{1};
    std::shared_ptr<libgatesim> sim_;
    bool ok_ = false;
};

// Sends A-law tone frames with rtp_send at 50 frames a second while running.
class VoiceSource
{
  public:
    VoiceSource(libgatesim &sim, double hz, double amplitude, ms duration)
        : thread_([this, &sim, hz, amplitude, duration] {
              uint64_t sample = 0;
              auto next = Clock::now();
              auto end = next + duration;
              while (!stop_ && Clock::now() < end) {
                  uint8_t frame[160];
                  alaw_tone_frame(frame, hz, amplitude, sample);
                  if (sim.rtp_send(frame, 160, 8) > 0)
                      sent_++;
                  next += ms(20);
                  std::this_thread::sleep_until(next);
              }
              done_ = true;
          })
    {
    }
    ~VoiceSource()
    {
        stop_ = true;
        thread_.join();
    }
    bool done() const { return done_; }
    uint64_t sent() const { return sent_; }

  private:
    std::atomic<bool> stop_{false};
    std::atomic<bool> done_{false};
    std::atomic<uint64_t> sent_{0};
    std::thread thread_;
};

} // namespace site
