#include "sim/radio_framing.h"

#include "base/byteorder.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace boardbox
{
namespace radio
{

Bytes mtetra_frame(const Bytes &body)
{
    Bytes f;
    f.reserve(body.size() + 2);
    f.push_back(MTETRA_FLAG);
    f.insert(f.end(), body.begin(), body.end());
    f.push_back(MTETRA_FLAG);
    return f;
}

Bytes mtetra_ptt_frame(bool pressed)
{
    // Byte 1's high nibble 2, bytes 2-3 14 04, byte 4 the key, byte 10 0x20.
    return mtetra_frame({0x20, 0x14, 0x04, static_cast<uint8_t>(pressed ? 1 : 0), 0x00, 0x00, 0x00, 0x00,
                         0x00, 0x20, 0x00, 0x00});
}

uint16_t nx5_checksum(const Bytes &payload)
{
    uint32_t sum = 0;
    size_t i = 0;
    for (; i + 1 < payload.size(); i += 2)
        sum += bytes::get_le16(payload.data() + i);
    if (i < payload.size()) {
        // The last word's high byte is the checksum's own low byte, which is
        // therefore the low byte of the sum so far.
        sum += payload[i];
        uint8_t lo = static_cast<uint8_t>(sum);
        return static_cast<uint16_t>((((sum >> 8) + lo) & 0xFF) << 8 | lo);
    }
    return static_cast<uint16_t>(sum);
}

Bytes nx5_frame(const Bytes &payload, uint8_t id, uint16_t extra)
{
    Bytes f(NX5_HEADER + payload.size() + 2);
    f[0] = 0xFF;
    f[1] = id;
    f[2] = 0xAB;
    f[3] = 0xAB;
    bytes::put_le16(&f[4], static_cast<uint16_t>(payload.size()));
    bytes::put_le16(&f[6], extra);
    std::copy(payload.begin(), payload.end(), f.begin() + NX5_HEADER);
    bytes::put_le16(&f[NX5_HEADER + payload.size()], nx5_checksum(payload));
    return f;
}

Bytes nx5_ptt_frame(bool pressed)
{
    // Frame bytes 8-9 01 70 ('p'), byte 22 0x27, byte 23 the key.
    Bytes payload(18, 0x00);
    payload[0] = 0x01;
    payload[1] = 0x70;
    payload[14] = 0x27;
    payload[15] = pressed ? 1 : 0;
    return nx5_frame(payload);
}

Bytes nx700_frame(const Bytes &payload)
{
    Bytes f(3 + payload.size());
    f[0] = NX700_START;
    bytes::put_be16(&f[1], static_cast<uint16_t>(payload.size()));
    std::copy(payload.begin(), payload.end(), f.begin() + 3);
    return f;
}

Bytes nx700_ptt_frame(bool pressed)
{
    return nx700_frame({0x1A, static_cast<uint8_t>(pressed ? 1 : 0)});
}

Bytes nx700_volume_frame(bool up)
{
    return nx700_frame({static_cast<uint8_t>(up ? 0x10 : 0x11), 0x01});
}

// ---------------------------------------------------------------------------

void FrameSplitter::feed(uint8_t b, double now, std::vector<Piece> &out)
{
    take(b, now, out);
    last_byte_ = now;
}

void FrameSplitter::idle(double now, std::vector<Piece> &out)
{
    timed_out(now, out);
    if (now - last_byte_ > QUIET)
        close_rejected(out);
}

Bytes FrameSplitter::pending() const
{
    Bytes p = rejected_;
    p.insert(p.end(), frame_.begin(), frame_.end());
    return p;
}

void FrameSplitter::reject(const uint8_t *data, size_t count, const char *why)
{
    if (rejected_.empty())
        rejected_why_ = why;
    rejected_.insert(rejected_.end(), data, data + count);
}

void FrameSplitter::close_rejected(std::vector<Piece> &out)
{
    if (rejected_.empty())
        return;
    out.push_back({rejected_, false, rejected_why_});
    rejected_.clear();
}

bool FrameSplitter::hunt(uint8_t b, uint8_t first, std::vector<Piece> &out)
{
    if (!frame_.empty())
        return false;
    if (b == first)
        start(b, out);
    else
        reject(b, "outside a frame");
    return true;
}

void FrameSplitter::start(uint8_t b, std::vector<Piece> &out)
{
    close_rejected(out);
    frame_.assign(1, b);
}

void FrameSplitter::finish(bool valid, std::string why, std::vector<Piece> &out)
{
    close_rejected(out);
    out.push_back({frame_, valid, std::move(why)});
    frame_.clear();
}

namespace
{

class MtetraSplitter : public FrameSplitter
{
    void take(uint8_t b, double, std::vector<Piece> &out) override
    {
        if (frame_.size() >= MTETRA_MAX_FRAME)
            finish(false, "no closing FF within 1024 bytes", out);
        if (hunt(b, MTETRA_FLAG, out))
            return;
        if (b == MTETRA_FLAG && frame_.size() == 1) {
            reject(frame_.data(), 1, "FF directly before an opening FF");
            start(b, out);
            return;
        }
        frame_.push_back(b);
        if (b == MTETRA_FLAG)
            finish(true, "", out);
    }
};

class Nx5Splitter : public FrameSplitter
{
    void take(uint8_t b, double, std::vector<Piece> &out) override
    {
        const size_t n = frame_.size();
        if (hunt(b, 0xFF, out))
            return;
        if ((n == 1 || n == 2 || n == 3) && b == 0xFF) {
            reject(frame_.data(), frame_.size(), "header broken by FF");
            start(b, out);
            return;
        }
        frame_.push_back(b);
        if ((n == 2 || n == 3) && b != 0xAB) {
            reject(frame_.data(), frame_.size(), "header without AB AB");
            frame_.clear();
            return;
        }
        if (n == 5) {
            length_ = bytes::get_le16(&frame_[4]);
            if (length_ > NX5_MAX_PAYLOAD) {
                reject(frame_.data(), frame_.size(), "payload length over 1013");
                frame_.clear();
            }
            return;
        }
        if (n + 1 < NX5_HEADER || n + 1 != NX5_HEADER + length_ + 2)
            return;
        uint32_t sum = 0;
        for (size_t off = NX5_HEADER; off < NX5_HEADER + length_; off += 2)
            sum += bytes::get_le16(&frame_[off]);
        uint16_t field = bytes::get_le16(&frame_[NX5_HEADER + length_]);
        if (field == static_cast<uint16_t>(sum)) {
            finish(true, "", out);
        } else {
            char why[64];
            std::snprintf(why, sizeof why, "checksum %04X, the words sum to %04X", field,
                          static_cast<unsigned>(sum & 0xFFFF));
            finish(false, why, out);
        }
    }

    size_t length_ = 0;
};

class Nx700Splitter : public FrameSplitter
{
  public:
    explicit Nx700Splitter(double gap) : gap_(gap) {}

  private:
    void take(uint8_t b, double now, std::vector<Piece> &out) override
    {
        if (!frame_.empty() && now - last_byte_ > gap_)
            finish(false, "more than 100 ms between two bytes", out);
        if (hunt(b, NX700_START, out))
            return;
        frame_.push_back(b);
        if (frame_.size() < 3)
            return;
        size_t length = bytes::get_be16(&frame_[1]);
        if (length > NX700_MAX_PAYLOAD) {
            reject(frame_.data(), frame_.size(), "payload length over 508");
            frame_.clear();
        } else if (frame_.size() == length + 3) {
            finish(true, "", out);
        }
    }

    void timed_out(double now, std::vector<Piece> &out) override
    {
        if (!frame_.empty() && now - last_byte_ > gap_)
            finish(false, "more than 100 ms between two bytes", out);
    }

    double gap_;
};

} // namespace

std::unique_ptr<FrameSplitter> make_mtetra_splitter()
{
    return std::make_unique<MtetraSplitter>();
}

std::unique_ptr<FrameSplitter> make_nx5_splitter()
{
    return std::make_unique<Nx5Splitter>();
}

std::unique_ptr<FrameSplitter> make_nx700_splitter(double gap)
{
    return std::make_unique<Nx700Splitter>(gap);
}

std::string to_hex(const uint8_t *data, size_t count)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string s;
    s.reserve(count * 3);
    for (size_t i = 0; i < count; i++) {
        if (i)
            s += ' ';
        s += digits[data[i] >> 4];
        s += digits[data[i] & 15];
    }
    return s;
}

bool parse_hex(const std::string &text, Bytes &out)
{
    out.clear();
    int high = -1;
    for (char c : text) {
        if (c == ' ' || c == ':' || c == ',') {
            if (high >= 0)
                return false;
            continue;
        }
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return false;
        int v = std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : (std::toupper(c) - 'A' + 10);
        if (high < 0) {
            high = v;
        } else {
            out.push_back(static_cast<uint8_t>(high << 4 | v));
            high = -1;
        }
    }
    return high < 0;
}

} // namespace radio
} // namespace boardbox
