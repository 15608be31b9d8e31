#include "sim/serial_radio.h"

#include <algorithm>

namespace boardbox
{

namespace
{

using nlohmann::json;
using radio::Bytes;

constexpr size_t MAX_KEPT_BYTES = 8u << 20;
constexpr size_t MAX_KEPT_PIECES = 65536;
constexpr size_t MAX_REPLY_BYTES = 65536;
constexpr size_t MAX_REPLY_PIECES = 1000;
constexpr double MAX_NOISE_SECONDS = 600;
constexpr size_t MAX_OVERLONG = 4096;
constexpr size_t LOGGED_BYTES = 48;

json fail(const std::string &why)
{
    return {{"ok", false}, {"error", why}};
}

std::string shown(const Bytes &b)
{
    if (b.size() <= LOGGED_BYTES)
        return radio::to_hex(b);
    return radio::to_hex(b.data(), LOGGED_BYTES) + " ... (" + std::to_string(b.size()) + " bytes)";
}

// A non-negative integer field, or `fallback` when absent; false when present
// but not a number in 0..max.
bool get_count(const json &req, const char *key, size_t max, size_t fallback, size_t &out)
{
    out = fallback;
    if (!req.contains(key))
        return true;
    const json &v = req[key];
    if (!v.is_number_integer() && !v.is_number_unsigned())
        return false;
    if (v.is_number_integer() && v.get<long long>() < 0)
        return false;
    unsigned long long n = v.get<unsigned long long>();
    if (n > max)
        return false;
    out = static_cast<size_t>(n);
    return true;
}

} // namespace

SerialRadio::SerialRadio(PeerHost &host, std::string kind, unsigned speed,
                         std::unique_ptr<radio::FrameSplitter> splitter)
    : host_(host), kind_(std::move(kind)), speed_(speed), splitter_(std::move(splitter))
{
    last_tick_ = host_.now();
    host_.log(kind_ + " radio ready, " + std::to_string(speed_) + " baud");
}

void SerialRadio::received(const uint8_t *data, size_t count)
{
    std::lock_guard<std::mutex> lock(m_);
    received_total_ += count;
    size_t keep = std::min(count, MAX_KEPT_BYTES - received_.size());
    received_.insert(received_.end(), data, data + keep);
    std::vector<radio::Piece> pieces;
    double now = host_.now();
    for (size_t i = 0; i < count; i++)
        splitter_->feed(data[i], now, pieces);
    record(pieces);
}

void SerialRadio::record(std::vector<radio::Piece> &pieces)
{
    for (radio::Piece &p : pieces) {
        if (p.valid) {
            frames_++;
            host_.log("frame " + shown(p.bytes));
        } else {
            rejected_++;
            host_.log("rejected (" + p.error + "): " + shown(p.bytes));
        }
        if (pieces_.size() < MAX_KEPT_PIECES)
            pieces_.push_back(std::move(p));
    }
}

unsigned SerialRadio::line_speed() const
{
    unsigned b = host_.baud();
    return b ? b : speed_;
}

void SerialRadio::tick()
{
    Bytes out;
    {
        std::lock_guard<std::mutex> lock(m_);
        double now = host_.now();
        std::vector<radio::Piece> pieces;
        splitter_->idle(now, pieces);
        record(pieces);

        unsigned baud = host_.baud();
        if (baud != last_baud_) {
            last_baud_ = baud;
            host_.log("line set to " + std::to_string(baud) + " baud" +
                      (baud == speed_ ? "" : " (the radio runs at " + std::to_string(speed_) + ")"));
        }

        // Ten bits a byte; a short frame leaves at once, a long stream at the
        // line's pace.
        double rate = line_speed() / 10.0;
        budget_ = std::min(budget_ + rate * (now - last_tick_), rate * 0.02 + 64);
        last_tick_ = now;
        while (!queue_.empty() && budget_ >= 1) {
            Chunk &c = queue_.front();
            if (c.due < 0)
                c.due = now + c.gap;
            if (now < c.due)
                break;
            size_t left = c.noise ? c.noise : c.bytes.size() - c.offset;
            size_t n = std::min(left, static_cast<size_t>(budget_));
            if (c.noise) {
                for (size_t i = 0; i < n; i++) {
                    // xorshift32: the same seed gives the same noise.
                    c.rng ^= c.rng << 13;
                    c.rng ^= c.rng >> 17;
                    c.rng ^= c.rng << 5;
                    out.push_back(static_cast<uint8_t>(c.rng >> 24));
                }
                c.noise -= n;
            } else {
                out.insert(out.end(), c.bytes.begin() + c.offset, c.bytes.begin() + c.offset + n);
                c.offset += n;
            }
            budget_ -= n;
            if (n == left)
                queue_.pop_front();
        }
        sent_ += out.size();
    }
    // Outside the lock: a line nobody reads can hold a write up to a second.
    if (!out.empty())
        host_.send(out.data(), out.size());
}

json SerialRadio::queue(const Bytes &bytes, const json &req, const std::string &what)
{
    size_t split = 0, gap_ms = 0;
    if (!get_count(req, "split", bytes.size(), 0, split))
        return fail("split must be a byte index 0-" + std::to_string(bytes.size()));
    if (!get_count(req, "gap_ms", 60000, 0, gap_ms))
        return fail("gap_ms must be 0-60000");
    if (split > 0 && split < bytes.size() && gap_ms > 0) {
        queue_.push_back({Bytes(bytes.begin(), bytes.begin() + static_cast<long>(split)), 0, 0, 1, 0, -1});
        queue_.push_back(
            {Bytes(bytes.begin() + static_cast<long>(split), bytes.end()), 0, 0, 1, gap_ms / 1000.0, -1});
        host_.log("sends " + what + ": " + shown(bytes) + ", " + std::to_string(gap_ms) + " ms after byte " +
                  std::to_string(split));
    } else {
        queue_.push_back({bytes, 0, 0, 1, split == 0 ? gap_ms / 1000.0 : 0, -1});
        host_.log("sends " + what + ": " + shown(bytes) +
                  (split == 0 && gap_ms > 0 ? ", " + std::to_string(gap_ms) + " ms after what goes before" : ""));
    }
    return {{"hex", radio::to_hex(bytes)}, {"count", bytes.size()}};
}

json SerialRadio::enqueue_noise(const json &req)
{
    const size_t per_second = line_speed() / 10;
    size_t count = 0, seed = 0;
    if (req.contains("seconds")) {
        double seconds = req["seconds"].is_number() ? req["seconds"].get<double>() : 0;
        if (seconds <= 0 || seconds > MAX_NOISE_SECONDS)
            return fail("seconds must be above 0 and at most 600");
        count = static_cast<size_t>(seconds * per_second);
    } else if (!get_count(req, "count", static_cast<size_t>(MAX_NOISE_SECONDS * per_second), 0, count) ||
               count == 0) {
        return fail("noise needs a count (1 to ten minutes at the line's speed) or seconds");
    }
    if (!get_count(req, "seed", 0xFFFFFFFFu, 1, seed))
        return fail("seed must be 0-4294967295");
    queue_.push_back({Bytes(), 0, count, seed ? static_cast<uint32_t>(seed) : 1u, 0, -1});
    host_.log("sends " + std::to_string(count) + " bytes of noise (seed " + std::to_string(seed) + ")");
    return {{"count", count}, {"seconds", static_cast<double>(count) / static_cast<double>(per_second)}};
}

bool SerialRadio::bad_checksum_frame(const Bytes &, Bytes &, std::string &error)
{
    error = kind_ + " frames carry no checksum";
    return false;
}

bool SerialRadio::model_control(const std::string &, const json &, json &)
{
    return false;
}

json SerialRadio::state()
{
    size_t queued = 0;
    for (const Chunk &c : queue_)
        queued += c.noise ? c.noise : c.bytes.size() - c.offset;
    json s = {{"model", kind_},
              {"baud", host_.baud()},
              {"expected_baud", speed_},
              {"received", received_total_},
              {"frames", frames_},
              {"rejected", rejected_},
              {"pending", radio::to_hex(splitter_->pending())},
              {"sent", sent_},
              {"queued", queued},
              {"ptt", ptt_}};
    model_state(s);
    return s;
}

json SerialRadio::control(const json &req)
{
    std::lock_guard<std::mutex> lock(m_);
    try {
        return control_locked(req);
    } catch (const json::exception &e) {
        return fail(std::string("a field has the wrong type: ") + e.what());
    }
}

json SerialRadio::control_locked(const json &req)
{
    const std::string op = req.value("op", "state");
    if (op == "state")
        return state();
    if (op == "received" || op == "frames") {
        size_t since = 0;
        bool bytes = op == "received";
        size_t kept = bytes ? received_.size() : pieces_.size();
        if (!get_count(req, "since", kept, 0, since))
            return fail("since must be an index 0-" + std::to_string(kept));
        size_t end = std::min(kept, since + (bytes ? MAX_REPLY_BYTES : MAX_REPLY_PIECES));
        if (bytes)
            return {{"hex", radio::to_hex(received_.data() + since, end - since)},
                    {"next", end},
                    {"total", received_total_}};
        json list = json::array();
        for (size_t i = since; i < end; i++)
            list.push_back({{"hex", radio::to_hex(pieces_[i].bytes)},
                            {"valid", pieces_[i].valid},
                            {"error", pieces_[i].error}});
        return {{"frames", list}, {"next", end}};
    }
    if (op == "clear") {
        received_.clear();
        pieces_.clear();
        received_total_ = frames_ = rejected_ = sent_ = 0;
        return json::object();
    }
    if (op == "stop") {
        queue_.clear();
        return json::object();
    }
    if (op == "noise")
        return enqueue_noise(req);
    if (op == "ptt") {
        if (!req.contains("on") || !req["on"].is_boolean())
            return fail("ptt needs \"on\": true or false");
        ptt_ = req["on"].get<bool>();
        return queue(ptt_frame(ptt_), req, ptt_ ? "PTT pressed" : "PTT released");
    }
    if (op == "overlong") {
        size_t length = 0;
        if (!get_count(req, "length", MAX_OVERLONG, default_overlong_length(), length))
            return fail("length must be 0-" + std::to_string(MAX_OVERLONG));
        return queue(overlong_frame(length), req, "an over-long frame");
    }
    if (op == "send" || op == "frame" || op == "bad_checksum") {
        Bytes payload;
        if (!req.contains("hex") || !req["hex"].is_string() || !radio::parse_hex(req["hex"], payload))
            return fail(op + " needs \"hex\": pairs of hexadecimal digits");
        if (op == "send") {
            if (payload.empty())
                return fail("send needs at least one byte");
            return queue(payload, req, "bytes");
        }
        Bytes frame;
        std::string error;
        bool built = op == "frame" ? build_frame(payload, req, frame, error)
                                   : bad_checksum_frame(payload, frame, error);
        if (!built)
            return fail(error);
        return queue(frame, req, op == "frame" ? "a frame" : "a frame with a wrong checksum");
    }
    json reply = json::object();
    if (model_control(op, req, reply))
        return reply;
    return fail("unknown " + kind_ + " op \"" + op + "\"");
}

} // namespace boardbox
