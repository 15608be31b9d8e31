// The GM360 control head at the far end of "/dev/ttyS1" (`--tty1 gm360`).
//
// It checks every frame the gateway writes and acknowledges a good one with
// 0x50, keeps the 14-character display that display frames write, and holds
// its request line (GPIO input 0x800) low while idle. A key press (PTT key,
// volume knob, any other key) is queued as a key frame F4 24 k s 00 c and the
// request line raised; the gateway's poll is answered with the next queued key
// frame (or the "no key" frame 0xFF when none is left) and the line dropped
// once the queue is empty.
//
// Control socket, {"cmd": "gm360", "op": ...}:
//   "state"                      display text, counters, PTT, knob, request line
//   "key", "code", "state"       one key frame (code and state 0-255)
//   "press", "code"              a press and a release of a key
//   "ptt", "on"                  the PTT key pressed (true) or released (false)
//   "knob", "position"           the volume knob (0-255; the gateway uses >> 2)
//   "ack_delay", "ms"            acknowledge frames (not polls) this much later;
//                                a frame that arrives while its predecessor is
//                                still unacknowledged counts as an overlap
//   "frames"                     the frames received so far, as hex strings
//   "clear"                      forget the received frames and counters
#include "sim/tty_peer.h"

#include <cstdio>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace
{

using Bytes = std::vector<uint8_t>;

constexpr uint32_t REQUEST_LINE = 0x800;
constexpr uint8_t ACK = 0x50;
constexpr size_t DISPLAY_CHARS = 14;
constexpr size_t MAX_KEPT_FRAMES = 4096;
constexpr uint8_t KEY_PTT = 0x00;
constexpr uint8_t KEY_VOLUME = 0x10;
constexpr uint8_t KEY_NONE = 0xFF;

// The same framing the gateway uses: 0xF<n> header with n body bytes, or 0xFF
// with two body bytes, a length L and L-1 more; a check byte makes the sum 0xFF.
class FrameReader
{
  public:
    enum Result { NONE, FRAME, BAD };
    Result feed(uint8_t b)
    {
        if (!inside_ || buf_.size() > 62) {
            buf_.clear();
            inside_ = (b & 0xF0) == 0xF0;
            if (!inside_)
                return NONE;
            buf_.push_back(b);
            sum_ = b;
            length_next_ = (b & 0x0F) == 0x0F;
            expected_ = length_next_ ? 2 : (b & 0x0F);
            return NONE;
        }
        buf_.push_back(b);
        sum_ = static_cast<uint8_t>(sum_ + b);
        if (expected_ > 0) {
            expected_--;
            return NONE;
        }
        if (length_next_) {
            length_next_ = false;
            expected_ = b - 1u;
            if (b < 2 || b > 33)
                inside_ = false;
            return NONE;
        }
        inside_ = false;
        return sum_ == 0xFF ? FRAME : BAD;
    }
    const Bytes &frame() const { return buf_; }

  private:
    Bytes buf_;
    bool inside_ = false;
    bool length_next_ = false;
    size_t expected_ = 0;
    uint8_t sum_ = 0;
};

Bytes key_frame(uint8_t code, uint8_t state)
{
    Bytes f{0xF4, 0x24, code, state, 0x00, 0x00};
    uint8_t sum = 0;
    for (size_t i = 0; i + 1 < f.size(); i++)
        sum = static_cast<uint8_t>(sum + f[i]);
    f.back() = static_cast<uint8_t>(~sum);
    return f;
}

std::string hex(const Bytes &b)
{
    std::string s;
    char h[4];
    for (size_t i = 0; i < b.size(); i++) {
        std::snprintf(h, sizeof h, i ? " %02X" : "%02X", b[i]);
        s += h;
    }
    return s;
}

bool is_poll(const Bytes &f)
{
    return f == Bytes{0xF2, 0x36, 0x00, 0xD7};
}

bool is_display(const Bytes &f)
{
    return f.size() == 21 && f[0] == 0xFF && f[1] == 0x34 && f[2] == 0x00 && f[3] == 0x11 && f[4] == 0x00 &&
           f[5] == 0x00;
}

class Gm360Head : public boardbox::TtyPeer
{
  public:
    explicit Gm360Head(boardbox::PeerHost &host) : host_(host)
    {
        // Idle: the request line is low (the box's inputs start high).
        host_.set_inputs(REQUEST_LINE, 0);
        host_.log("control head ready, display \"" + display_ + "\"");
    }

    void received(const uint8_t *data, size_t count) override
    {
        Bytes out;
        std::lock_guard<std::mutex> lock(m_);
        for (size_t i = 0; i < count; i++) {
            FrameReader::Result r = reader_.feed(data[i]);
            if (r == FrameReader::BAD) {
                bad_frames_++;
                host_.log("bad check byte: " + hex(reader_.frame()));
                continue;
            }
            if (r != FrameReader::FRAME)
                continue;
            const Bytes &f = reader_.frame();
            frames_++;
            if (kept_.size() < MAX_KEPT_FRAMES)
                kept_.push_back(f);
            if (ack_due_ >= 0)
                overlaps_++;
            if (is_poll(f) || ack_delay_ <= 0) {
                out.push_back(ACK);
                acks_++;
            } else {
                ack_due_ = host_.now() + ack_delay_;
            }
            if (is_poll(f)) {
                polls_++;
                Bytes k = keys_.empty() ? key_frame(KEY_NONE, 0) : keys_.front();
                if (!keys_.empty())
                    keys_.pop_front();
                out.insert(out.end(), k.begin(), k.end());
                host_.log("poll answered with " + hex(k));
                if (keys_.empty() && line_high_) {
                    line_high_ = false;
                    lower_line_ = true;
                }
            } else if (is_display(f)) {
                display_.assign(f.begin() + 6, f.begin() + 6 + DISPLAY_CHARS);
                displays_++;
                host_.log("display \"" + display_ + "\"");
            }
        }
        if (!out.empty())
            host_.send(out.data(), out.size());
        if (lower_line_) {
            lower_line_ = false;
            host_.set_inputs(REQUEST_LINE, 0);
        }
    }

    void tick() override
    {
        std::lock_guard<std::mutex> lock(m_);
        if (ack_due_ >= 0 && host_.now() >= ack_due_) {
            ack_due_ = -1;
            acks_++;
            host_.send(&ACK, 1);
        }
        if (!keys_.empty() && !line_high_) {
            line_high_ = true;
            host_.set_inputs(0, REQUEST_LINE);
        }
    }

    nlohmann::json control(const nlohmann::json &req) override
    {
        const std::string op = req.value("op", "state");
        std::lock_guard<std::mutex> lock(m_);
        if (op == "state") {
            return {{"display", display_},
                    {"frames", frames_},
                    {"acks", acks_},
                    {"polls", polls_},
                    {"displays", displays_},
                    {"bad_frames", bad_frames_},
                    {"ptt", ptt_},
                    {"knob", knob_},
                    {"keys_pending", keys_.size()},
                    {"request_line", line_high_},
                    {"baud", host_.baud()},
                    {"overlaps", overlaps_}};
        }
        if (op == "key") {
            int code = req.value("code", -1), state = req.value("state", -1);
            if (code < 0 || code > 255 || state < 0 || state > 255)
                return {{"ok", false}, {"error", "key needs code and state 0-255"}};
            queue_key(static_cast<uint8_t>(code), static_cast<uint8_t>(state));
            return {{"keys_pending", keys_.size()}};
        }
        if (op == "press") {
            int code = req.value("code", -1);
            if (code < 0 || code > 255)
                return {{"ok", false}, {"error", "press needs a code 0-255"}};
            queue_key(static_cast<uint8_t>(code), 1);
            queue_key(static_cast<uint8_t>(code), 0);
            return {{"keys_pending", keys_.size()}};
        }
        if (op == "ptt") {
            ptt_ = req.value("on", false);
            queue_key(KEY_PTT, ptt_ ? 1 : 0);
            return {{"ptt", ptt_}};
        }
        if (op == "knob") {
            int pos = req.value("position", -1);
            if (pos < 0 || pos > 255)
                return {{"ok", false}, {"error", "knob needs a position 0-255"}};
            knob_ = pos;
            queue_key(KEY_VOLUME, static_cast<uint8_t>(pos));
            return {{"knob", knob_}};
        }
        if (op == "ack_delay") {
            int delay = req.value("ms", -1);
            if (delay < 0 || delay > 5000)
                return {{"ok", false}, {"error", "ack_delay needs ms 0-5000"}};
            ack_delay_ = delay / 1000.0;
            return nlohmann::json::object();
        }
        if (op == "frames") {
            nlohmann::json list = nlohmann::json::array();
            for (const Bytes &f : kept_)
                list.push_back(hex(f));
            return {{"frames", list}};
        }
        if (op == "clear") {
            kept_.clear();
            frames_ = acks_ = polls_ = displays_ = bad_frames_ = overlaps_ = 0;
            return nlohmann::json::object();
        }
        return {{"ok", false}, {"error", "unknown gm360 op \"" + op + "\""}};
    }

  private:
    void queue_key(uint8_t code, uint8_t state)
    {
        keys_.push_back(key_frame(code, state));
        host_.log("key " + hex(keys_.back()) + " queued");
    }

    boardbox::PeerHost &host_;
    std::mutex m_;
    FrameReader reader_;
    std::string display_ = std::string(DISPLAY_CHARS, ' ');
    std::deque<Bytes> keys_;
    std::vector<Bytes> kept_;
    bool line_high_ = false;
    bool lower_line_ = false;
    bool ptt_ = false;
    int knob_ = 0;
    uint64_t frames_ = 0, acks_ = 0, polls_ = 0, displays_ = 0, bad_frames_ = 0, overlaps_ = 0;
    double ack_delay_ = 0; // seconds
    double ack_due_ = -1;  // box time of the pending acknowledgement, or -1
};

boardbox::PeerRegistrar registrar("gm360", [](boardbox::PeerHost &host, const std::string &) {
    return std::make_unique<Gm360Head>(host);
});

} // namespace
