// The Front46 panel at the far end of "/dev/ttyS1" (`--tty1 front46`).
//
// Frames both ways are a big-endian length L (4-1296: the bytes that follow),
// the payload and a big-endian CRC-16/XMODEM of the payload. The panel checks
// every frame the gateway writes: a length outside 4-1296 or a bad CRC is
// counted and the rest of that read dropped (the gateway pauses after each
// frame, so the next read starts a frame again); a frame still incomplete
// 0.5 s after its start is dropped.
// Polls (00 04 73 07 2D ED) are counted with their spacing; every other good
// frame is a display frame and kept.
//
// What the panel sends, with correct CRCs unless asked otherwise:
//   PTT source report  00 07 | 1sss0000 | 00 pressed, 04 released | 00 00 C0 | CRC
//   key event          00 0D | nine 00 | code | 01 pressed, 00 released | CRC   (15 bytes)
//   dial event         00 0E | nine 00 | 02 | value | change | CRC            (16 bytes)
// Everything it sends goes out from the line's tick (about every 10 ms), in
// order of the time it is due, so a frame split into pieces reaches the
// gateway in reads at least that far apart, and a key may be pressed while a
// PTT source is held; nothing is written between the pieces of a split frame.
//
// Control socket, {"cmd": "front46" (or "tty1"), "op": ...}:
//   "state"                         counters, poll spacing (min/mean/max/last ms),
//                                   PTT sources held, last display frame, baud
//   "ptt", "source" 0-7, "on"       a PTT source report; optional "hold_ms":
//                                   released again that much later
//   "key", "name" or "code"         press, hold "hold_ms" (default 100), release;
//                                   "action": "press" or "release" sends only one
//   "dial", "change" (-128..127)    turns the dial: value += change (wraps)
//   "inject", "kind"                "bad_crc" (a P1 press with its CRC spoiled),
//                                   "length3", "length1297"; optional "then": a
//                                   key name whose press and release follow in
//                                   the same write (the gateway must drop them)
//   "send", "hex"                   raw bytes ("frame": true wraps them as the
//                                   payload of a good frame)
//   ("key", "inject", "send" and "ptt" also take "pieces" N and "pause_ms" M:
//    the bytes go out in N pieces M ms apart, M rounded up to the tick)
//   "displays"                      the kept display frames (at most 1024) as hex
//   "clear"                         forget frames and counters
// Key names: P1 P2 P3 P4 UP DOWN OK BACK DIAL.
#include "sim/tty_peer.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <deque>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

#include "base/crc16_xmodem.h"

namespace
{

using Bytes = std::vector<uint8_t>;

constexpr uint16_t MIN_LENGTH = 4;
constexpr uint16_t MAX_LENGTH = 1296;
constexpr double STALE_SECONDS = 0.5;
constexpr size_t MAX_KEPT_FRAMES = 1024;
constexpr size_t MAX_PIECES = 1298;
const Bytes POLL{0x00, 0x04, 0x73, 0x07, 0x2D, 0xED};

struct Key {
    const char *name;
    uint8_t code;
};
constexpr Key KEYS[] = {{"P1", 0xA0},   {"P2", 0xA1}, {"P3", 0xA2},   {"P4", 0xA3},  {"UP", 0x87},
                        {"DOWN", 0x88}, {"OK", 0x5C}, {"BACK", 0x8C}, {"DIAL", 0x5B}};

int key_code(const std::string &name)
{
    std::string n;
    for (char c : name)
        if (c != ' ')
            n += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    for (const Key &k : KEYS)
        if (n == k.name)
            return k.code;
    return -1;
}

std::string hex(const uint8_t *d, size_t n)
{
    std::string s;
    char h[4];
    for (size_t i = 0; i < n; i++) {
        std::snprintf(h, sizeof h, i ? " %02X" : "%02X", d[i]);
        s += h;
    }
    return s;
}

std::string hex(const Bytes &b)
{
    return hex(b.data(), b.size());
}

bool parse_hex(const std::string &text, Bytes &out)
{
    out.clear();
    int high = -1;
    for (char c : text) {
        if (c == ' ' || c == ':' || c == '-')
            continue;
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return false;
        int v = std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : std::tolower(c) - 'a' + 10;
        if (high < 0) {
            high = v;
        } else {
            out.push_back(static_cast<uint8_t>(high << 4 | v));
            high = -1;
        }
    }
    return high < 0;
}

Bytes frame(const Bytes &payload)
{
    const size_t l = payload.size() + 2;
    Bytes f(2 + l);
    f[0] = static_cast<uint8_t>(l >> 8);
    f[1] = static_cast<uint8_t>(l);
    std::copy(payload.begin(), payload.end(), f.begin() + 2);
    const uint16_t crc = crc16::xmodem(payload.data(), payload.size());
    f[l] = static_cast<uint8_t>(crc >> 8);
    f[l + 1] = static_cast<uint8_t>(crc);
    return f;
}

Bytes ptt_frame(int source, bool pressed)
{
    return frame({static_cast<uint8_t>(0x80 | (source & 7) << 4), static_cast<uint8_t>(pressed ? 0x00 : 0x04),
                  0x00, 0x00, 0xC0});
}

Bytes key_frame(uint8_t code, bool pressed)
{
    Bytes p(11, 0);
    p[9] = code;
    p[10] = pressed ? 1 : 0;
    return frame(p);
}

Bytes dial_frame(int8_t value, int8_t change)
{
    Bytes p(12, 0);
    p[9] = 2;
    p[10] = static_cast<uint8_t>(value);
    p[11] = static_cast<uint8_t>(change);
    return frame(p);
}

// Poll spacing in milliseconds.
struct Spacing {
    uint64_t count = 0;
    double min = 0, max = 0, sum = 0, last = 0;
    void add(double ms)
    {
        min = count ? std::min(min, ms) : ms;
        max = count ? std::max(max, ms) : ms;
        sum += ms;
        last = ms;
        count++;
    }
    nlohmann::json json() const
    {
        auto r = [](double v) { return std::round(v * 100) / 100; };
        return {{"intervals", count},
                {"min", r(min)},
                {"mean", r(count ? sum / static_cast<double>(count) : 0)},
                {"max", r(max)},
                {"last", r(last)}};
    }
};

class Front46Panel : public boardbox::TtyPeer
{
  public:
    explicit Front46Panel(boardbox::PeerHost &host) : host_(host) { host_.log("panel ready"); }

    void received(const uint8_t *data, size_t count) override
    {
        std::lock_guard<std::mutex> lock(m_);
        if (rx_.empty())
            rx_started_ = host_.now();
        rx_.insert(rx_.end(), data, data + count);
        parse();
    }

    void tick() override
    {
        std::lock_guard<std::mutex> lock(m_);
        const double now = host_.now();
        if (!rx_.empty() && now - rx_started_ > STALE_SECONDS) {
            incomplete_++;
            host_.log("incomplete frame dropped: " + hex(rx_.data(), std::min<size_t>(rx_.size(), 16)));
            rx_.clear();
        }
        // Everything due goes out in one write, in the order it was queued.
        Bytes out;
        while (!tx_.empty() && tx_.front().due <= now) {
            out.insert(out.end(), tx_.front().bytes.begin(), tx_.front().bytes.end());
            if (!tx_.front().note.empty())
                host_.log(tx_.front().note);
            if (tx_.front().ptt_source >= 0)
                ptt_[tx_.front().ptt_source] = tx_.front().ptt_on;
            tx_.pop_front();
        }
        if (!out.empty())
            host_.send(out.data(), out.size());
    }

    nlohmann::json control(const nlohmann::json &req) override
    {
        std::lock_guard<std::mutex> lock(m_);
        try {
            return control_locked(req);
        } catch (const nlohmann::json::exception &e) {
            // A field of the wrong type.
            return {{"ok", false}, {"error", std::string("bad front46 request: ") + e.what()}};
        }
    }

  private:
    struct Out {
        double due;
        Bytes bytes;
        std::string note;
        int ptt_source; // -1, or the source whose state this write sets
        bool ptt_on;
        uint64_t group; // the request it belongs to
    };

    nlohmann::json control_locked(const nlohmann::json &req)
    {
        const std::string op = req.value("op", "state");
        if (op == "state")
            return state();
        if (op == "displays") {
            nlohmann::json list = nlohmann::json::array();
            for (const Bytes &f : kept_)
                list.push_back(hex(f));
            return {{"displays", displays_}, {"frames", list}};
        }
        if (op == "clear") {
            kept_.clear();
            polls_ = displays_ = bad_crc_ = bad_length_ = incomplete_ = skipped_ = 0;
            spacing_ = Spacing();
            last_poll_ = -1;
            return nlohmann::json::object();
        }

        int pieces = 1, pause_ms = 0;
        std::string error;
        if (!split_options(req, pieces, pause_ms, error))
            return {{"ok", false}, {"error", error}};

        if (op == "ptt") {
            int source = req.value("source", -1);
            if (source < 0 || source > 7 || !req.contains("on") || !req["on"].is_boolean())
                return {{"ok", false}, {"error", "ptt needs a source 0-7 and on true|false"}};
            const bool on = req["on"].get<bool>();
            queue(ptt_frame(source, on), 0, pieces, pause_ms,
                  "ptt source " + std::to_string(source) + (on ? " pressed" : " released"), source, on);
            int hold = req.value("hold_ms", -1);
            if (on && hold >= 0)
                queue(ptt_frame(source, false), hold, 1, 0,
                      "ptt source " + std::to_string(source) + " released", source, false);
            return {{"sent", hex(ptt_frame(source, on))}};
        }
        if (op == "key") {
            int code = req.contains("name") && req["name"].is_string()
                           ? key_code(req["name"].get<std::string>())
                           : req.value("code", -1);
            if (code < 0 || code > 255)
                return {{"ok", false},
                        {"error", "key needs a name (P1 P2 P3 P4 UP DOWN OK BACK DIAL) or a code 0-255"}};
            const std::string action = req.value("action", "click");
            const int hold = req.value("hold_ms", 100);
            if (hold < 0 || hold > 600000)
                return {{"ok", false}, {"error", "hold_ms must be 0-600000"}};
            const uint8_t c = static_cast<uint8_t>(code);
            char what[32];
            std::snprintf(what, sizeof what, "key 0x%02X", code);
            if (action == "press" || action == "click")
                queue(key_frame(c, true), 0, pieces, pause_ms, std::string(what) + " pressed");
            if (action == "release")
                queue(key_frame(c, false), 0, pieces, pause_ms, std::string(what) + " released");
            else if (action == "click")
                queue(key_frame(c, false), hold + (pieces - 1) * std::max(pause_ms, 10) + 1, pieces, pause_ms,
                      std::string(what) + " released after " + std::to_string(hold) + " ms");
            else if (action != "press")
                return {{"ok", false}, {"error", "key action is press, release or click"}};
            return {
                {"code", code}, {"pressed", hex(key_frame(c, true))}, {"released", hex(key_frame(c, false))}};
        }
        if (op == "dial") {
            int change = req.value("change", 0);
            if (change < -128 || change > 127)
                return {{"ok", false}, {"error", "dial change must be -128..127"}};
            dial_ = static_cast<int8_t>(static_cast<uint8_t>(dial_ + change));
            const Bytes f = dial_frame(dial_, static_cast<int8_t>(change));
            queue(f, 0, pieces, pause_ms,
                  "dial value " + std::to_string(dial_) + " change " + std::to_string(change));
            return {{"value", dial_}, {"sent", hex(f)}};
        }
        if (op == "inject") {
            const std::string kind = req.value("kind", "");
            Bytes bad;
            if (kind == "bad_crc") {
                bad = key_frame(0xA0, true);
                bad.back() ^= 0x5A;
            } else if (kind == "length3") {
                bad = {0x00, 0x03, 0xA0, 0x01, 0x00};
            } else if (kind == "length1297") {
                bad.assign(2 + 32, 0xA5);
                bad[0] = 0x05;
                bad[1] = 0x11;
            } else {
                return {{"ok", false}, {"error", "inject kind is bad_crc, length3 or length1297"}};
            }
            if (req.contains("then")) {
                int code = req["then"].is_string() ? key_code(req["then"].get<std::string>()) : -1;
                if (code < 0)
                    return {{"ok", false}, {"error", "then needs a key name"}};
                for (bool pressed : {true, false}) {
                    Bytes k = key_frame(static_cast<uint8_t>(code), pressed);
                    bad.insert(bad.end(), k.begin(), k.end());
                }
            }
            queue(bad, 0, pieces, pause_ms, "injected " + kind);
            return {{"sent", hex(bad)}};
        }
        if (op == "send") {
            Bytes b;
            if (!req.contains("hex") || !req["hex"].is_string() ||
                !parse_hex(req["hex"].get<std::string>(), b) || b.empty())
                return {{"ok", false}, {"error", "send needs hex bytes"}};
            if (req.value("frame", false)) {
                if (b.size() < MIN_LENGTH - 2u || b.size() > MAX_LENGTH - 2u)
                    return {{"ok", false}, {"error", "a frame payload has 2-1294 bytes"}};
                b = frame(b);
            }
            queue(b, 0, pieces, pause_ms, "sent " + std::to_string(b.size()) + " bytes");
            return {{"sent", hex(b)}};
        }
        return {{"ok", false}, {"error", "unknown front46 op \"" + op + "\""}};
    }

    static bool split_options(const nlohmann::json &req, int &pieces, int &pause_ms, std::string &error)
    {
        pieces = req.value("pieces", 1);
        pause_ms = req.value("pause_ms", 10);
        if (pieces < 1 || pieces > static_cast<int>(MAX_PIECES) || pause_ms < 0 || pause_ms > 10000) {
            error = "pieces must be 1-1298 and pause_ms 0-10000";
            return false;
        }
        return true;
    }

    // Queues `bytes` to go out `delay_ms` from now, in `pieces` parts `pause_ms`
    // apart. Writes leave in the order they fall due (the order asked for at
    // the same time), except that nothing comes between the pieces of one
    // request: what falls due meanwhile waits for its last piece.
    void queue(const Bytes &bytes, int delay_ms, int pieces, int pause_ms, const std::string &note,
               int ptt_source = -1, bool ptt_on = false)
    {
        const double start = host_.now() + delay_ms / 1000.0;
        const size_t n = std::min(static_cast<size_t>(pieces), bytes.size());
        const uint64_t group = ++groups_;
        std::vector<Out> group_pieces;
        size_t at = 0;
        for (size_t i = 0; i < n; i++) {
            const size_t size = bytes.size() / n + (i < bytes.size() % n ? 1 : 0);
            // A piece due at the same time as the one before would leave in the
            // same write, so each waits one tick at least.
            const double due = start + static_cast<double>(i) * std::max(pause_ms, 10) / 1000.0;
            group_pieces.push_back(
                {due,
                 Bytes(bytes.begin() + static_cast<long>(at), bytes.begin() + static_cast<long>(at + size)),
                 i == 0 ? note : std::string(), i + 1 == n ? ptt_source : -1, ptt_on, group});
            at += size;
        }
        auto pos =
            std::upper_bound(tx_.begin(), tx_.end(), start, [](double d, const Out &x) { return d < x.due; });
        while (pos != tx_.begin() && pos != tx_.end() && std::prev(pos)->group == pos->group)
            ++pos;
        tx_.insert(pos, group_pieces.begin(), group_pieces.end());
    }

    void parse()
    {
        for (;;) {
            if (rx_.size() < 2)
                return;
            const uint16_t l = static_cast<uint16_t>(rx_[0] << 8 | rx_[1]);
            if (l < MIN_LENGTH || l > MAX_LENGTH) {
                bad_length_++;
                skipped_ += rx_.size();
                host_.log("frame length " + std::to_string(l) + " refused, " + std::to_string(rx_.size()) +
                          " bytes dropped");
                rx_.clear();
                return;
            }
            if (rx_.size() < 2u + l)
                return;
            Bytes f(rx_.begin(), rx_.begin() + 2 + l);
            rx_.erase(rx_.begin(), rx_.begin() + 2 + l);
            rx_started_ = host_.now();
            if (crc16::xmodem(f.data() + 2, l) != 0) {
                bad_crc_++;
                skipped_ += rx_.size();
                host_.log("bad CRC: " + hex(f.data(), std::min<size_t>(f.size(), 32)));
                rx_.clear();
                return;
            }
            if (f == POLL) {
                const double now = host_.now();
                if (last_poll_ >= 0)
                    spacing_.add((now - last_poll_) * 1000);
                last_poll_ = now;
                polls_++;
                continue;
            }
            displays_++;
            host_.log("display frame " + std::to_string(f.size()) + " bytes: " +
                      hex(f.data(), std::min<size_t>(f.size(), 24)) + (f.size() > 24 ? " ..." : ""));
            if (kept_.size() >= MAX_KEPT_FRAMES)
                kept_.pop_front();
            kept_.push_back(std::move(f));
        }
    }

    nlohmann::json state() const
    {
        nlohmann::json held = nlohmann::json::array();
        for (int i = 0; i < 8; i++)
            if (ptt_[i])
                held.push_back(i);
        return {
            {"polls", polls_},           {"poll_ms", spacing_.json()},
            {"displays", displays_},     {"last_display", kept_.empty() ? std::string() : hex(kept_.back())},
            {"bad_crc", bad_crc_},       {"bad_length", bad_length_},
            {"incomplete", incomplete_}, {"skipped", skipped_},
            {"ptt_held", held},          {"dial", dial_},
            {"pending", tx_.size()},     {"baud", host_.baud()}};
    }

    boardbox::PeerHost &host_;
    std::mutex m_;
    Bytes rx_;
    double rx_started_ = 0;
    std::deque<Out> tx_;
    std::deque<Bytes> kept_;
    uint64_t polls_ = 0, displays_ = 0, bad_crc_ = 0, bad_length_ = 0, incomplete_ = 0, skipped_ = 0;
    Spacing spacing_;
    double last_poll_ = -1;
    bool ptt_[8] = {};
    int8_t dial_ = 0;
    uint64_t groups_ = 0;
};

boardbox::PeerRegistrar registrar("front46", [](boardbox::PeerHost &host, const std::string &) {
    return std::make_unique<Front46Panel>(host);
});

} // namespace
