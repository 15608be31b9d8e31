// A flash target (a control head's or a radio's boot loader) at the far end of
// "/dev/ttyS1" or "/dev/ttyS3" (`--tty1 flashtarget`, `--tty3 flashtarget`).
//
// It reads request frames (FF 55 43 4B, big-endian length, 00, command, for
// block commands a block number and 256 bytes, CRC-16/XMODEM over length to
// data), skipping bytes that do not start a frame and frames whose length is
// neither 4 nor 262, and answers each with a 10-byte frame "YEAH" 00 04,
// status, CRC. It keeps the boot loader's state:
//   1 EFM enter   boot set                                   -> 0
//   2 EFM leave   boot no longer set                         -> 0
//  32 RST         boot running = boot set                    -> 0
//   3 RFS         0x8000 | boot running << 8 | boot set << 9
//  16 PRG         stores the block (boot must be running)    -> 0
//  17 VRF         compares with the stored block             -> 0, or 6
// Error statuses: 1 failure injected, 2 bad CRC, 3 length wrong for the
// command, 4 unknown command, 5 block command while the boot is not running,
// 6 block differs or was never programmed.
//
// It answers only while the product's line speed equals the one it was made
// for, so a wrong speed looks like a silent target.
//
// Argument (`flashtarget:KEY=VALUE,...`), the same keys in the "set" request:
//   speed=N      answer only at N baud (default: any speed)
//   efm_fail=N   answer the next N "EFM enter" requests with status 1
//   silent=C     never answer command C (repeatable; "silent=none" clears)
//   noise=N      N noise bytes (partial answer starts among them) before each answer
//   split=N      send answers in pieces of N bytes, one piece per tick (10 ms)
//   bad_crc=C    answers to command C carry a wrong CRC (repeatable; "none")
//   vrf_wrong=B  verifying block B answers status 6 whatever the data (-1 off)
//
// Control socket, {"cmd": "flashtarget" (or "tty1"/"tty3"), "op": ...}:
//   "state"   flashing, boot_running, boot_set, counts per command name, bad_crc,
//             bad_length, skipped bytes, ignored (wrong speed) requests, answers,
//             blocks (number stored), digest (FNV-1a 64 of the stored blocks in
//             block order, hex) and the faults in force
//   "data"    blocks: the stored block numbers in order; data: their bytes
//             concatenated in that order, upper-case hex without spaces
//   "set"     any of the argument's keys (numbers; silent and bad_crc also
//             take arrays)
//   "clear"   forget blocks, counts and state (faults stay)
// "none" turns a fault off (silent and bad_crc: all of them).
#include "sim/tty_peer.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "base/byteorder.h"
#include "base/crc16_xmodem.h"

namespace
{

using Bytes = std::vector<uint8_t>;

constexpr size_t BLOCK = 256;
constexpr uint16_t PLAIN_LENGTH = 4;
constexpr uint16_t BLOCK_LENGTH = 262;
const uint8_t MAGIC[4] = {0xFF, 0x55, 0x43, 0x4B};
constexpr double STALE_SECONDS = 0.5;

constexpr int16_t ST_OK = 0;
constexpr int16_t ST_INJECTED = 1;
constexpr int16_t ST_BAD_CRC = 2;
constexpr int16_t ST_BAD_LENGTH = 3;
constexpr int16_t ST_UNKNOWN = 4;
constexpr int16_t ST_NOT_IN_BOOT = 5;
constexpr int16_t ST_MISMATCH = 6;

std::string command_name(int c)
{
    switch (c) {
    case 1:
        return "efm_enter";
    case 2:
        return "efm_leave";
    case 3:
        return "rfs";
    case 16:
        return "prg";
    case 17:
        return "vrf";
    case 32:
        return "rst";
    }
    return "cmd_" + std::to_string(c);
}

std::string hex(const uint8_t *d, size_t n, bool spaced = true)
{
    std::string s;
    char h[4];
    for (size_t i = 0; i < n; i++) {
        std::snprintf(h, sizeof h, spaced && i ? " %02X" : "%02X", d[i]);
        s += h;
    }
    return s;
}

Bytes answer_frame(int16_t status, bool corrupt)
{
    Bytes a{'Y', 'E', 'A', 'H', 0x00, 0x04, 0, 0, 0, 0};
    bytes::put_be16(&a[6], static_cast<uint16_t>(status));
    uint16_t crc = crc16::xmodem(&a[4], 4);
    if (corrupt)
        crc ^= 0x5A5A;
    bytes::put_be16(&a[8], crc);
    return a;
}

// Noise that contains the start of an answer but never a whole one.
Bytes noise(size_t n)
{
    static const uint8_t pattern[] = {0x00, 'Y', 'E',  'A',  0xFF, 'Y',  'E',
                                      'A',  'H', 0x00, 0x05, 0x55, 0x43, 0x4B};
    Bytes b(n);
    for (size_t i = 0; i < n; i++)
        b[i] = pattern[i % sizeof pattern];
    return b;
}

struct Faults {
    unsigned speed = 0; // 0: any
    long efm_fail = 0;
    std::set<int> silent;
    std::set<int> bad_crc;
    long noise = 0;
    long split = 0;
    long vrf_wrong = -1;
};

// A whole number from `text`, or false.
bool number(const std::string &text, long &v)
{
    if (text.empty())
        return false;
    char *end = nullptr;
    v = std::strtol(text.c_str(), &end, 0);
    return *end == '\0';
}

// One KEY=VALUE; an empty string or the error.
std::string apply(Faults &f, const std::string &key, const std::string &value)
{
    static const std::set<std::string> keys = {"speed", "efm_fail", "silent",   "bad_crc",
                                               "noise", "split",    "vrf_wrong"};
    if (!keys.count(key))
        return "flashtarget: unknown key \"" + key + "\"";
    long v = 0;
    bool none = value == "none";
    if (!none && !number(value, v))
        return "flashtarget: " + key + " needs a number, not \"" + value + "\"";
    if (none) // the fault's off value
        v = key == "vrf_wrong" ? -1 : 0;
    if (key == "speed" && v >= 0 && v <= 10000000)
        f.speed = static_cast<unsigned>(v);
    else if (key == "efm_fail" && v >= 0)
        f.efm_fail = v;
    else if (key == "silent" && none)
        f.silent.clear();
    else if (key == "silent" && v >= 0 && v <= 255)
        f.silent.insert(static_cast<int>(v));
    else if (key == "bad_crc" && none)
        f.bad_crc.clear();
    else if (key == "bad_crc" && v >= 0 && v <= 255)
        f.bad_crc.insert(static_cast<int>(v));
    else if (key == "noise" && v >= 0 && v <= 4096)
        f.noise = v;
    else if (key == "split" && v >= 0 && v <= 10)
        f.split = v;
    else if (key == "vrf_wrong" && v >= -1 && v <= 65535)
        f.vrf_wrong = v;
    else
        return "flashtarget: bad " + key + "=" + value;
    return "";
}

class FlashTarget : public boardbox::TtyPeer
{
  public:
    FlashTarget(boardbox::PeerHost &host, Faults faults) : host_(host), faults_(std::move(faults))
    {
        host_.log(faults_.speed ? "flash target ready at " + std::to_string(faults_.speed) + " baud"
                                : std::string("flash target ready at any speed"));
    }

    void received(const uint8_t *data, size_t count) override
    {
        std::lock_guard<std::mutex> lock(m_);
        rx_.insert(rx_.end(), data, data + count);
        last_rx_ = host_.now();
        parse();
    }

    void tick() override
    {
        std::lock_guard<std::mutex> lock(m_);
        // A frame start whose rest never came (garbage that looked like a
        // header) must not swallow the next request.
        if (!rx_.empty() && host_.now() - last_rx_ > STALE_SECONDS) {
            host_.log("incomplete frame dropped: " + hex(rx_.data(), std::min<size_t>(rx_.size(), 16)));
            skipped_++;
            rx_.erase(rx_.begin());
            last_rx_ = host_.now();
            parse();
        }
        if (pieces_.empty())
            return;
        Bytes p = std::move(pieces_.front());
        pieces_.pop_front();
        host_.send(p.data(), p.size());
    }

    nlohmann::json control(const nlohmann::json &req) override
    {
        const std::string op = req.value("op", "state");
        std::lock_guard<std::mutex> lock(m_);
        if (op == "state")
            return state();
        if (op == "data") {
            nlohmann::json numbers = nlohmann::json::array();
            std::string data;
            for (auto &b : blocks_) {
                numbers.push_back(b.first);
                data += hex(b.second.data(), BLOCK, false);
            }
            return {{"blocks", numbers}, {"data", data}};
        }
        if (op == "set") {
            Faults f = faults_;
            for (auto &item : req.items()) {
                if (item.key() == "cmd" || item.key() == "op")
                    continue;
                std::vector<nlohmann::json> values;
                if (item.value().is_array())
                    values.assign(item.value().begin(), item.value().end());
                else
                    values.push_back(item.value());
                for (auto &v : values) {
                    std::string text = v.is_string() ? v.get<std::string>() : v.dump();
                    std::string e = apply(f, item.key(), text);
                    if (!e.empty())
                        return {{"ok", false}, {"error", e}};
                }
            }
            faults_ = f;
            return state();
        }
        if (op == "clear") {
            blocks_.clear();
            counts_.clear();
            flashing_ = boot_running_ = boot_set_ = false;
            bad_crc_ = bad_length_ = skipped_ = ignored_ = answers_ = 0;
            return state();
        }
        return {{"ok", false}, {"error", "unknown flashtarget op \"" + op + "\""}};
    }

  private:
    void parse()
    {
        for (;;) {
            size_t skip = 0;
            while (skip < rx_.size() && !magic_at(skip))
                skip++;
            if (skip > 0) {
                skipped_ += skip;
                host_.log("skipped " + std::to_string(skip) + " bytes");
                rx_.erase(rx_.begin(), rx_.begin() + static_cast<long>(skip));
            }
            if (rx_.size() < 6)
                return;
            uint16_t length = bytes::get_be16(&rx_[4]);
            if (length != PLAIN_LENGTH && length != BLOCK_LENGTH) {
                bad_length_++;
                host_.log("frame length " + std::to_string(length) + " refused");
                rx_.erase(rx_.begin()); // look for the next magic after this one
                skipped_++;
                continue;
            }
            if (rx_.size() < 6u + length)
                return;
            Bytes frame(rx_.begin(), rx_.begin() + 6 + length);
            rx_.erase(rx_.begin(), rx_.begin() + 6 + length);
            handle(frame);
        }
    }

    // The magic, or as much of it as has arrived, starts at `at`.
    bool magic_at(size_t at) const
    {
        for (size_t i = 0; i < sizeof MAGIC && at + i < rx_.size(); i++)
            if (rx_[at + i] != MAGIC[i])
                return false;
        return true;
    }

    void handle(const Bytes &f)
    {
        const size_t n = f.size();
        const int command = f[7];
        const std::string name = command_name(command);
        std::string what = "request " + name;
        if (n == 6u + BLOCK_LENGTH)
            what += " block " + std::to_string(bytes::get_be16(&f[8]));
        else
            what += " [" + hex(f.data(), n) + "]";
        if (faults_.speed != 0 && host_.baud() != faults_.speed) {
            ignored_++;
            host_.log(what + ": not answered at " + std::to_string(host_.baud()) + " baud");
            return;
        }
        if (crc16::xmodem(&f[4], n - 6) != bytes::get_be16(&f[n - 2])) {
            bad_crc_++;
            host_.log(what + ": bad CRC");
            answer(command, ST_BAD_CRC);
            return;
        }
        counts_[name]++;
        if (faults_.silent.count(command)) {
            host_.log(what + ": not answered (silent)");
            return;
        }
        host_.log(what);
        answer(command, execute(command, f));
    }

    int16_t execute(int command, const Bytes &f)
    {
        const bool block_frame = f.size() == 6u + BLOCK_LENGTH;
        const bool block_command = command == 16 || command == 17;
        if (command != 1 && command != 2 && command != 3 && command != 32 && !block_command)
            return ST_UNKNOWN;
        if (block_frame != block_command)
            return ST_BAD_LENGTH;
        switch (command) {
        case 1:
            if (faults_.efm_fail > 0) {
                faults_.efm_fail--;
                return ST_INJECTED;
            }
            flashing_ = boot_set_ = true;
            return ST_OK;
        case 2:
            flashing_ = boot_set_ = false;
            return ST_OK;
        case 32:
            boot_running_ = boot_set_;
            return ST_OK;
        case 3:
            return static_cast<int16_t>(0x8000 | (boot_running_ ? 0x100 : 0) | (boot_set_ ? 0x200 : 0));
        }
        if (!boot_running_)
            return ST_NOT_IN_BOOT;
        uint16_t number = bytes::get_be16(&f[8]);
        std::array<uint8_t, BLOCK> data;
        std::copy(f.begin() + 10, f.begin() + 10 + BLOCK, data.begin());
        if (command == 16) {
            blocks_[number] = data;
            return ST_OK;
        }
        if (faults_.vrf_wrong == number)
            return ST_MISMATCH;
        auto it = blocks_.find(number);
        return it != blocks_.end() && it->second == data ? ST_OK : ST_MISMATCH;
    }

    void answer(int command, int16_t status)
    {
        const bool corrupt = faults_.bad_crc.count(command) != 0;
        Bytes a = answer_frame(status, corrupt);
        char st[8];
        std::snprintf(st, sizeof st, "0x%04X", static_cast<unsigned>(static_cast<uint16_t>(status)));
        host_.log(std::string("answer ") + st + (corrupt ? " with a bad CRC" : "") + ": " +
                  hex(a.data(), a.size()));
        answers_++;
        Bytes out = noise(static_cast<size_t>(faults_.noise));
        out.insert(out.end(), a.begin(), a.end());
        if (faults_.split <= 0) {
            host_.send(out.data(), out.size());
            return;
        }
        for (size_t i = 0; i < out.size(); i += static_cast<size_t>(faults_.split)) {
            size_t end = std::min(out.size(), i + static_cast<size_t>(faults_.split));
            pieces_.emplace_back(out.begin() + static_cast<long>(i), out.begin() + static_cast<long>(end));
        }
    }

    nlohmann::json state() const
    {
        nlohmann::json counts = nlohmann::json::object();
        for (auto &c : counts_)
            counts[c.first] = c.second;
        uint64_t digest = 0xCBF29CE484222325ull;
        for (auto &b : blocks_)
            for (uint8_t x : b.second)
                digest = (digest ^ x) * 0x100000001B3ull;
        char d[20];
        std::snprintf(d, sizeof d, "%016llX", static_cast<unsigned long long>(digest));
        return {{"flashing", flashing_},
                {"boot_running", boot_running_},
                {"boot_set", boot_set_},
                {"counts", counts},
                {"bad_crc", bad_crc_},
                {"bad_length", bad_length_},
                {"skipped", skipped_},
                {"ignored", ignored_},
                {"answers", answers_},
                {"blocks", blocks_.size()},
                {"digest", d},
                {"baud", host_.baud()},
                {"faults",
                 {{"speed", faults_.speed},
                  {"efm_fail", faults_.efm_fail},
                  {"silent", faults_.silent},
                  {"bad_crc", faults_.bad_crc},
                  {"noise", faults_.noise},
                  {"split", faults_.split},
                  {"vrf_wrong", faults_.vrf_wrong}}}};
    }

    boardbox::PeerHost &host_;
    std::mutex m_;
    Faults faults_;
    Bytes rx_;
    std::deque<Bytes> pieces_;
    std::map<uint16_t, std::array<uint8_t, BLOCK>> blocks_;
    std::map<std::string, uint64_t> counts_;
    bool flashing_ = false, boot_running_ = false, boot_set_ = false;
    uint64_t bad_crc_ = 0, bad_length_ = 0, skipped_ = 0, ignored_ = 0, answers_ = 0;
    double last_rx_ = 0;
};

boardbox::PeerRegistrar
    registrar("flashtarget",
              [](boardbox::PeerHost &host, const std::string &arg) -> std::unique_ptr<boardbox::TtyPeer> {
                  Faults f;
                  size_t start = 0;
                  while (start < arg.size()) {
                      size_t comma = arg.find(',', start);
                      std::string item = arg.substr(start, comma - start);
                      start = comma == std::string::npos ? arg.size() : comma + 1;
                      size_t eq = item.find('=');
                      std::string e = eq == std::string::npos
                                          ? "flashtarget: \"" + item + "\" is not KEY=VALUE"
                                          : apply(f, item.substr(0, eq), item.substr(eq + 1));
                      if (!e.empty()) {
                          host.log(e);
                          std::fprintf(stderr, "boardbox: %s\n", e.c_str());
                          return nullptr;
                      }
                  }
                  return std::make_unique<FlashTarget>(host, std::move(f));
              });

} // namespace
