// The DM3000 control head at the far end of "/dev/ttyS1" (`--tty1 dm3000`).
//
// The gateway paints the head's 132 x 32 display with 529-byte frames: four
// pages of 132 columns (one byte per column of eight rows, top row in bit 0),
// then a flags byte 0x18-0x1F. The head decodes each frame into its picture;
// a frame whose last byte is no flags byte is counted and dropped, and a
// partial frame that stays incomplete for 100 ms is dropped so the next write
// starts a frame again. Key bytes (head keys, microphone keys, volume
// 0x80-0xBF) go out one per 50 ms, so the gateway reads each as its own chunk.
// The PTT line is GPIO input 0x200, active low.
//
// Control socket, {"cmd": "dm3000", "op": ...}:
//   "state"                  counters, flags, line speed, PTT, lit pixels
//   "display"                the picture: "rows" (32 strings of 132 '#' or
//                            '.'), "frames", "flags"
//   "save", "path",          the picture as a file: "pbm" (default) or "png"
//   ["format", "scale"]      (PNG scaled 1-16 times, default 4)
//   "key", "code" | "codes"  key bytes (0-255) to send
//   "volume", "level"        volume 0-63 (byte 0x80 + level)
//   "ptt", "on"              PTT line pressed (true: low) or released
//   "clear"                  forget the counters (the picture stays)
#include "base/pbm.h"
#include "sim/tty_peer.h"

#include <zlib.h>

#include <cstdio>
#include <deque>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

namespace
{

using Bytes = std::vector<uint8_t>;

constexpr int WIDTH = 132;
constexpr int HEIGHT = 32;
constexpr size_t FRAME_SIZE = WIDTH * HEIGHT / 8 + 1; // 529
constexpr uint32_t PTT_LINE = 0x200;
constexpr double PARTIAL_TIMEOUT = 0.1; // seconds
constexpr double KEY_SPACING = 0.05;    // seconds

void put_be32(Bytes &b, uint32_t v)
{
    for (int s = 24; s >= 0; s -= 8)
        b.push_back(static_cast<uint8_t>(v >> s));
}

void png_chunk(Bytes &out, const char *type, const Bytes &data)
{
    put_be32(out, static_cast<uint32_t>(data.size()));
    Bytes body(type, type + 4);
    body.insert(body.end(), data.begin(), data.end());
    out.insert(out.end(), body.begin(), body.end());
    put_be32(out, static_cast<uint32_t>(crc32(0, body.data(), static_cast<uInt>(body.size()))));
}

// An 8-bit greyscale PNG, lit pixels dark on a pale ground like the head's LCD.
bool png(const std::vector<uint8_t> &pixels, int scale, Bytes &out)
{
    const uint32_t w = WIDTH * scale, h = HEIGHT * scale;
    Bytes raw;
    raw.reserve((w + 1) * h);
    for (uint32_t y = 0; y < h; y++) {
        raw.push_back(0); // no filter
        for (uint32_t x = 0; x < w; x++)
            raw.push_back(pixels[(y / scale) * WIDTH + x / scale] ? 0x20 : 0xD8);
    }
    uLongf zlen = compressBound(static_cast<uLong>(raw.size()));
    Bytes z(zlen);
    if (compress(z.data(), &zlen, raw.data(), static_cast<uLong>(raw.size())) != Z_OK)
        return false;
    z.resize(zlen);
    out = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    Bytes ihdr;
    put_be32(ihdr, w);
    put_be32(ihdr, h);
    ihdr.insert(ihdr.end(), {8, 0, 0, 0, 0}); // 8-bit greyscale
    png_chunk(out, "IHDR", ihdr);
    png_chunk(out, "IDAT", z);
    png_chunk(out, "IEND", {});
    return true;
}

class Dm3000Head : public boardbox::TtyPeer
{
  public:
    explicit Dm3000Head(boardbox::PeerHost &host) : host_(host), picture_(WIDTH * HEIGHT, 0)
    {
        host_.set_inputs(0, PTT_LINE);
        host_.log("dm3000 head ready");
    }

    void received(const uint8_t *data, size_t count) override
    {
        std::lock_guard<std::mutex> lock(m_);
        last_byte_ = host_.now();
        buf_.insert(buf_.end(), data, data + count);
        size_t used = 0;
        while (buf_.size() - used >= FRAME_SIZE) {
            take_frame(buf_.data() + used);
            used += FRAME_SIZE;
        }
        buf_.erase(buf_.begin(), buf_.begin() + static_cast<long>(used));
    }

    void tick() override
    {
        std::lock_guard<std::mutex> lock(m_);
        const double now = host_.now();
        if (!buf_.empty() && now - last_byte_ >= PARTIAL_TIMEOUT) {
            partial_++;
            host_.log("dm3000: dropped a partial frame of " + std::to_string(buf_.size()) + " bytes");
            buf_.clear();
        }
        if (!keys_.empty() && now >= next_key_) {
            const uint8_t k = keys_.front();
            keys_.pop_front();
            host_.send(&k, 1);
            keys_sent_++;
            next_key_ = now + KEY_SPACING;
        }
    }

    nlohmann::json control(const nlohmann::json &req) override
    {
        const std::string op = req.value("op", "state");
        std::lock_guard<std::mutex> lock(m_);
        if (op == "state") {
            size_t lit = 0;
            for (uint8_t p : picture_)
                lit += p;
            return {{"frames", frames_},
                    {"bad_frames", bad_frames_},
                    {"partial_frames", partial_},
                    {"flags", flags_},
                    {"lit", lit},
                    {"ptt", ptt_},
                    {"keys_pending", keys_.size()},
                    {"keys_sent", keys_sent_},
                    {"baud", host_.baud()}};
        }
        if (op == "display") {
            nlohmann::json rows = nlohmann::json::array();
            for (int r = 0; r < HEIGHT; r++) {
                std::string row(WIDTH, '.');
                for (int c = 0; c < WIDTH; c++)
                    if (picture_[r * WIDTH + c])
                        row[c] = '#';
                rows.push_back(row);
            }
            return {{"rows", rows}, {"frames", frames_}, {"flags", flags_}};
        }
        if (op == "save")
            return save(req);
        if (op == "key") {
            std::vector<int> codes;
            if (req.contains("codes") && req["codes"].is_array()) {
                for (const auto &c : req["codes"])
                    codes.push_back(c.is_number_integer() ? c.get<int>() : -1);
            } else {
                codes.push_back(req.value("code", -1));
            }
            for (int c : codes)
                if (c < 0 || c > 255)
                    return {{"ok", false}, {"error", "key needs code(s) 0-255"}};
            for (int c : codes)
                queue_key(static_cast<uint8_t>(c));
            return {{"keys_pending", keys_.size()}};
        }
        if (op == "volume") {
            int level = req.value("level", -1);
            if (level < 0 || level > 63)
                return {{"ok", false}, {"error", "volume needs a level 0-63"}};
            queue_key(static_cast<uint8_t>(0x80 + level));
            return {{"keys_pending", keys_.size()}};
        }
        if (op == "ptt") {
            ptt_ = req.value("on", false);
            if (ptt_)
                host_.set_inputs(PTT_LINE, 0);
            else
                host_.set_inputs(0, PTT_LINE);
            host_.log(std::string("dm3000: PTT ") + (ptt_ ? "pressed" : "released"));
            return {{"ptt", ptt_}};
        }
        if (op == "clear") {
            frames_ = bad_frames_ = partial_ = keys_sent_ = 0;
            return nlohmann::json::object();
        }
        return {{"ok", false}, {"error", "unknown dm3000 op \"" + op + "\""}};
    }

  private:
    void take_frame(const uint8_t *f)
    {
        const uint8_t flags = f[FRAME_SIZE - 1];
        if (flags < 0x18 || flags > 0x1F) {
            bad_frames_++;
            char b[80];
            std::snprintf(b, sizeof b, "dm3000: frame dropped, last byte 0x%02X is no flags byte", flags);
            host_.log(b);
            return;
        }
        for (int r = 0; r < HEIGHT; r++)
            for (int c = 0; c < WIDTH; c++)
                picture_[r * WIDTH + c] = (f[(r / 8) * WIDTH + c] >> (r % 8)) & 1;
        flags_ = flags - 0x18;
        frames_++;
        host_.log("dm3000: frame " + std::to_string(frames_) + ", flags " + std::to_string(flags_));
    }

    void queue_key(uint8_t k)
    {
        keys_.push_back(k);
        char b[40];
        std::snprintf(b, sizeof b, "dm3000: key 0x%02X queued", k);
        host_.log(b);
    }

    nlohmann::json save(const nlohmann::json &req)
    {
        const std::string path = req.value("path", "");
        const std::string format = req.value("format", "pbm");
        if (path.empty())
            return {{"ok", false}, {"error", "save needs a path"}};
        if (format == "pbm") {
            pbm::Image img;
            img.width = WIDTH;
            img.height = HEIGHT;
            img.pixels = picture_;
            if (!pbm::save(path, img))
                return {{"ok", false}, {"error", "cannot write " + path}};
            return {{"path", path}, {"frames", frames_}};
        }
        if (format == "png") {
            int scale = req.value("scale", 4);
            if (scale < 1 || scale > 16)
                return {{"ok", false}, {"error", "scale must be 1-16"}};
            Bytes data;
            if (!png(picture_, scale, data))
                return {{"ok", false}, {"error", "cannot compress the picture"}};
            std::ofstream f(path, std::ios::binary | std::ios::trunc);
            if (!f || !f.write(reinterpret_cast<const char *>(data.data()), static_cast<long>(data.size())))
                return {{"ok", false}, {"error", "cannot write " + path}};
            return {{"path", path}, {"frames", frames_}};
        }
        return {{"ok", false}, {"error", "format must be pbm or png"}};
    }

    boardbox::PeerHost &host_;
    std::mutex m_;
    Bytes buf_;
    double last_byte_ = 0;
    std::vector<uint8_t> picture_;
    int flags_ = 0;
    std::deque<uint8_t> keys_;
    double next_key_ = 0;
    bool ptt_ = false;
    uint64_t frames_ = 0, bad_frames_ = 0, partial_ = 0, keys_sent_ = 0;
};

boardbox::PeerRegistrar registrar("dm3000", [](boardbox::PeerHost &host, const std::string &) {
    return std::make_unique<Dm3000Head>(host);
});

} // namespace
