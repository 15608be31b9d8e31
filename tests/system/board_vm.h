// The ARM926 test machine of scripts/board-vm, driven from a program inside
// a box: qemu as a child process, its console and the guest agent on Unix
// sockets, and what the guest's simulated devices recorded.
#pragma once

#include "tests/system/site.h"

#include <sys/socket.h>
#include <sys/un.h>

#include <map>
#include <sstream>

namespace board_vm
{

using site::Clock;
using site::ms;

// Lines arriving on a stream socket, kept and waited for.
class LineStream
{
  public:
    ~LineStream() { close(); }

    // Connects to a Unix socket, retrying until it exists or `timeout` passed.
    bool connect(const std::string &path, ms timeout)
    {
        auto deadline = Clock::now() + timeout;
        for (;;) {
            int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_un a{};
            a.sun_family = AF_UNIX;
            std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
            if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0) {
                fd_ = fd;
                reader_ = std::thread([this] { read_lines(); });
                return true;
            }
            if (fd >= 0)
                ::close(fd);
            if (Clock::now() >= deadline)
                return false;
            std::this_thread::sleep_for(ms(20));
        }
    }

    void close()
    {
        if (fd_ >= 0)
            ::shutdown(fd_, SHUT_RDWR);
        if (reader_.joinable())
            reader_.join();
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }

    bool send(const std::string &text)
    {
        std::lock_guard<std::mutex> g(send_lock_);
        size_t done = 0;
        while (done < text.size()) {
            ssize_t n = ::send(fd_, text.data() + done, text.size() - done, MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            done += static_cast<size_t>(n);
        }
        return true;
    }

    // The index of the first line at or after `from` containing `text`, or -1.
    long wait_for(const std::string &text, ms timeout, size_t from = 0)
    {
        long at = -1;
        std::unique_lock<std::mutex> g(m_);
        cv_.wait_for(g, timeout, [&] { return (at = find_locked(text, from)) >= 0; });
        return at;
    }
    // Waits until pred(lines) holds.
    template <class Pred> bool wait(ms timeout, Pred pred)
    {
        std::unique_lock<std::mutex> g(m_);
        return cv_.wait_for(g, timeout, [&] { return pred(lines_); });
    }
    std::vector<std::string> lines()
    {
        std::lock_guard<std::mutex> g(m_);
        return lines_;
    }
    size_t size()
    {
        std::lock_guard<std::mutex> g(m_);
        return lines_.size();
    }

  private:
    long find_locked(const std::string &text, size_t from)
    {
        for (size_t i = from; i < lines_.size(); i++)
            if (lines_[i].find(text) != std::string::npos)
                return static_cast<long>(i);
        return -1;
    }
    void read_lines()
    {
        std::string partial;
        char buf[8192];
        for (;;) {
            ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
            if (n <= 0)
                break;
            partial.append(buf, static_cast<size_t>(n));
            size_t nl;
            std::lock_guard<std::mutex> g(m_);
            while ((nl = partial.find('\n')) != std::string::npos) {
                std::string line = partial.substr(0, nl);
                if (!line.empty() && line.back() == '\r')
                    line.pop_back();
                lines_.push_back(line);
                partial.erase(0, nl + 1);
            }
            cv_.notify_all();
        }
    }

    int fd_ = -1;
    std::thread reader_;
    std::mutex send_lock_;
    std::mutex m_;
    std::condition_variable cv_;
    std::vector<std::string> lines_;
};

// The guest agent of tests/kernel/board_init.c: shell commands and file reads.
class Agent
{
  public:
    struct Result {
        int status = -1; // -1: no answer in time
        std::string output;
    };

    bool connect(const std::string &path, ms timeout) { return stream_.connect(path, timeout); }
    void close() { stream_.close(); }

    // Asks until the agent answers (it starts with the guest's init).
    bool wait_ready(ms timeout)
    {
        auto deadline = Clock::now() + timeout;
        while (Clock::now() < deadline)
            if (sh("true", ms(1000)).status == 0)
                return true;
        return false;
    }

    Result sh(const std::string &command, ms timeout = ms(60000)) { return ask("sh " + command, timeout); }
    Result read(const std::string &path, ms timeout = ms(60000)) { return ask("read " + path, timeout); }

  private:
    Result ask(const std::string &request, ms timeout)
    {
        Result r;
        int id = ++last_id_;
        std::string tag = "@" + std::to_string(id) + " ";
        size_t from = stream_.size();
        if (!stream_.send(std::to_string(id) + " " + request + "\n"))
            return r;
        long end = stream_.wait_for(tag + "x ", timeout, from);
        if (end < 0)
            return r;
        std::vector<std::string> lines = stream_.lines();
        for (size_t i = from; i <= static_cast<size_t>(end); i++) {
            const std::string &l = lines[i];
            if (l.compare(0, tag.size(), tag) != 0)
                continue;
            if (l.compare(tag.size(), 2, "d ") == 0)
                r.output += unhex(l.substr(tag.size() + 2));
            else if (l.compare(tag.size(), 2, "x ") == 0)
                r.status = std::atoi(l.c_str() + tag.size() + 2);
        }
        return r;
    }
    static std::string unhex(const std::string &h)
    {
        std::string out;
        for (size_t i = 0; i + 1 < h.size(); i += 2)
            out.push_back(static_cast<char>(std::stoi(h.substr(i, 2), nullptr, 16)));
        return out;
    }

    LineStream stream_;
    int last_id_ = 0;
};

// Frequency and level of a stretch of 8000 Hz audio: zero crossings with
// linear interpolation, and the RMS in dB below full scale.
struct ToneMeasure {
    double hz = 0;
    double dbfs = -100;
};

inline ToneMeasure measure_tone(const std::vector<int16_t> &s)
{
    ToneMeasure m;
    if (s.size() < 800)
        return m;
    double sum = 0, first = -1, last = -1;
    int crossings = 0;
    for (size_t i = 0; i < s.size(); i++) {
        sum += static_cast<double>(s[i]) * s[i];
        if (i > 0 && s[i - 1] < 0 && s[i] >= 0) {
            double t = static_cast<double>(i - 1) + static_cast<double>(-s[i - 1]) / (s[i] - s[i - 1]);
            if (first < 0)
                first = t;
            else
                crossings++;
            last = t;
        }
    }
    double rms = std::sqrt(sum / static_cast<double>(s.size()));
    m.dbfs = rms > 0 ? 20 * std::log10(rms / 32768.0) : -100;
    if (crossings > 0 && last > first)
        m.hz = crossings * 8000.0 / (last - first);
    return m;
}

// Little-endian 32-bit words of a byte string.
inline std::vector<uint32_t> words_of(const std::string &bytes)
{
    std::vector<uint32_t> w(bytes.size() / 4);
    for (size_t i = 0; i < w.size(); i++)
        w[i] = bytes::get_le32(reinterpret_cast<const uint8_t *>(bytes.data()) + 4 * i);
    return w;
}

// The loudspeaker samples of words sent to the codec: the A-law code in bits 12-19.
inline std::vector<int16_t> speaker_samples(const std::vector<uint32_t> &words)
{
    std::vector<int16_t> s;
    s.reserve(words.size());
    for (uint32_t w : words)
        s.push_back(site::alaw_decode(static_cast<uint8_t>(w >> 12)));
    return s;
}

// "KEY VALUE" lines of a sysfs attribute.
inline std::map<std::string, std::string> key_values(const std::string &text)
{
    std::map<std::string, std::string> kv;
    std::istringstream in(text);
    std::string k, v;
    while (in >> k >> v)
        kv[k] = v;
    return kv;
}

} // namespace board_vm
