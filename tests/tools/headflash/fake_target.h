// A flash target on the far end of a socketpair, for the dialogue tests: it
// reads request frames, keeps the programmed blocks and answers as a script
// says.
#pragma once

#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "base/byteorder.h"
#include "base/crc16_xmodem.h"
#include "base/unique_fd.h"

namespace faketarget
{

using B = std::vector<uint8_t>;

struct Script {
    int efm_fail = 0;              // the first N "enter" requests fail
    std::map<int, int> fail_from;  // command -> first failing occurrence (1-based)
    std::map<int, int> close_from; // command -> occurrence after whose answer the target stops reading
    bool closed_from_start = false;
    int silent = -1;         // command never answered
    std::map<int, int> crc;  // command -> answers with a wrong CRC from this occurrence
    size_t noise = 0;        // noise bytes before each answer
    size_t piece = 0;        // answers written in pieces of this size
    size_t flood = 0;        // this many noise bytes instead of the noise above
    int rfs_status = 0x8300; // the query's answer
};

inline B answer_bytes(uint16_t status, bool bad_crc = false)
{
    B a{0x59, 0x45, 0x41, 0x48, 0x00, 0x04, 0, 0, 0, 0};
    bytes::put_be16(&a[6], status);
    bytes::put_be16(&a[8], static_cast<uint16_t>(crc16::xmodem(&a[4], 4) ^ (bad_crc ? 0x0101 : 0)));
    return a;
}

class FakeTarget
{
  public:
    explicit FakeTarget(Script script) : script_(std::move(script))
    {
        int sv[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) == 0) {
            product_.reset(sv[0]);
            target_.reset(sv[1]);
        }
        if (script_.closed_from_start)
            ::shutdown(target_.get(), SHUT_RD);
        thread_ = std::thread([this] { run(); });
    }
    ~FakeTarget()
    {
        ::shutdown(product_.get(), SHUT_RDWR);
        thread_.join();
    }

    int product_fd() const { return product_.get(); }

    std::vector<B> requests()
    {
        std::lock_guard<std::mutex> g(m_);
        return requests_;
    }
    std::vector<int> commands()
    {
        std::vector<int> c;
        for (const B &r : requests())
            c.push_back(r.size() > 7 ? r[7] : -1);
        return c;
    }
    // The stored blocks in block order, concatenated.
    B programmed()
    {
        std::lock_guard<std::mutex> g(m_);
        B out;
        for (auto &b : blocks_)
            out.insert(out.end(), b.second.begin(), b.second.end());
        return out;
    }

  private:
    bool read_exact(uint8_t *p, size_t n)
    {
        while (n > 0) {
            ssize_t r = ::read(target_.get(), p, n);
            if (r <= 0)
                return false;
            p += r;
            n -= static_cast<size_t>(r);
        }
        return true;
    }

    void run()
    {
        for (;;) {
            B f(6);
            if (!read_exact(f.data(), 6))
                return;
            size_t length = bytes::get_be16(&f[4]);
            f.resize(6 + length);
            if (!read_exact(f.data() + 6, length))
                return;
            int command = f[7];
            int n = ++seen_[command];
            {
                std::lock_guard<std::mutex> g(m_);
                requests_.push_back(f);
            }
            if (command == script_.silent)
                continue;
            uint16_t status = execute(command, n, f);
            auto c = script_.crc.find(command);
            B out(script_.flood ? script_.flood : script_.noise);
            for (size_t i = 0; i < out.size(); i++)
                out[i] = static_cast<uint8_t>("YEA\xFF\x80H"[i % 6]);
            B a = answer_bytes(status, c != script_.crc.end() && n >= c->second);
            out.insert(out.end(), a.begin(), a.end());
            auto cl = script_.close_from.find(command);
            if (cl != script_.close_from.end() && n >= cl->second)
                ::shutdown(target_.get(), SHUT_RD); // the product's next write fails
            send(out);
        }
    }

    uint16_t execute(int command, int n, const B &f)
    {
        if (command == 1 && n <= script_.efm_fail)
            return 1;
        auto ff = script_.fail_from.find(command);
        if (ff != script_.fail_from.end() && n >= ff->second)
            return 1;
        if (command == 3)
            return static_cast<uint16_t>(script_.rfs_status);
        if ((command == 16 || command == 17) && f.size() == 268) {
            uint16_t block = bytes::get_be16(&f[8]);
            B data(f.begin() + 10, f.end() - 2);
            std::lock_guard<std::mutex> g(m_);
            if (command == 16)
                blocks_[block] = data;
            else if (blocks_[block] != data)
                return 6;
        }
        return 0;
    }

    void send(const B &out)
    {
        size_t step = script_.piece ? script_.piece : out.size();
        for (size_t i = 0; i < out.size(); i += step) {
            size_t n = std::min(step, out.size() - i);
            if (::write(target_.get(), out.data() + i, n) != static_cast<ssize_t>(n))
                return;
            if (script_.piece)
                std::this_thread::sleep_for(std::chrono::milliseconds(1)); // a slow line
        }
    }

    Script script_;
    UniqueFd product_, target_;
    std::thread thread_;
    std::mutex m_;
    std::vector<B> requests_;
    std::map<int, int> seen_;
    std::map<uint16_t, B> blocks_;
};

} // namespace faketarget
