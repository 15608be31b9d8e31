// The serial framings of the MTETRA, NX5xxx and NX700 radios as their
// emulators in the box need them: building the frames a radio sends, and
// splitting what the gateway writes into frames, each marked valid or not.
//
//   MTETRA  FF, body without FF, FF; 3 to 1024 bytes in all.
//   NX5     FF, id (not FF), AB, AB, L (le16, at most 1013), two bytes,
//           L payload bytes, checksum (le16): the sum of the little-endian
//           words from offset 8 while the word starts below 8 + L, so for an
//           odd L the last word's high byte is the checksum's first byte.
//   NX700   'D' (0x44), L (be16, at most 508), L payload bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace boardbox
{
namespace radio
{

using Bytes = std::vector<uint8_t>;

constexpr uint8_t MTETRA_FLAG = 0xFF;
constexpr size_t MTETRA_MAX_FRAME = 1024;
constexpr size_t NX5_HEADER = 8;
constexpr size_t NX5_MAX_PAYLOAD = 1013;
constexpr uint8_t NX700_START = 0x44;
constexpr size_t NX700_MAX_PAYLOAD = 508;

// Builders. Each takes what varies and returns the whole frame.
Bytes mtetra_frame(const Bytes &body); // the caller keeps FF out of the body
Bytes mtetra_ptt_frame(bool pressed);
// The checksum field's value for a frame whose bytes from offset 8 are
// `payload` (the checksum's own first byte takes part for an odd length).
uint16_t nx5_checksum(const Bytes &payload);
Bytes nx5_frame(const Bytes &payload, uint8_t id = 0x01, uint16_t extra = 0x0000);
Bytes nx5_ptt_frame(bool pressed);
Bytes nx700_frame(const Bytes &payload);
Bytes nx700_ptt_frame(bool pressed);
Bytes nx700_volume_frame(bool up);

// One piece of the received stream: a frame, or bytes the framing rejects.
struct Piece {
    Bytes bytes;
    bool valid = false;
    std::string error; // why the piece is not a frame; empty when valid
};

// Splits a byte stream under one framing. Rejected bytes that follow each
// other become one piece, closed when a frame starts or a frame is finished.
class FrameSplitter
{
  public:
    virtual ~FrameSplitter() = default;
    // One byte received at `now` (seconds); finished pieces are appended to `out`.
    void feed(uint8_t b, double now, std::vector<Piece> &out);
    // Time passes without bytes: rejected bytes are closed into a piece after
    // a quiet tenth of a second, and framings with an inter-byte time-out
    // drop a frame that stopped.
    void idle(double now, std::vector<Piece> &out);
    // Rejected bytes not yet closed into a piece, then a frame begun but not
    // finished, in the order they came.
    Bytes pending() const;

  protected:
    static constexpr double QUIET = 0.1;

    virtual void take(uint8_t b, double now, std::vector<Piece> &out) = 0;
    virtual void timed_out(double now, std::vector<Piece> &out)
    {
        (void)now;
        (void)out;
    }
    void reject(const uint8_t *data, size_t count, const char *why);
    void reject(uint8_t b, const char *why) { reject(&b, 1, why); }
    void close_rejected(std::vector<Piece> &out);
    // Outside a frame, `first` starts one and any other byte is rejected;
    // false inside a frame (the byte is not taken).
    bool hunt(uint8_t b, uint8_t first, std::vector<Piece> &out);
    // A frame begins with `b`; rejected bytes before it become a piece.
    void start(uint8_t b, std::vector<Piece> &out);
    // The frame being assembled becomes a piece.
    void finish(bool valid, std::string why, std::vector<Piece> &out);

    Bytes frame_; // the frame being assembled
    double last_byte_ = 0;

  private:
    Bytes rejected_;
    std::string rejected_why_;
};

std::unique_ptr<FrameSplitter> make_mtetra_splitter();
std::unique_ptr<FrameSplitter> make_nx5_splitter();
// A frame that stops for more than `gap` seconds between two bytes is rejected.
std::unique_ptr<FrameSplitter> make_nx700_splitter(double gap = 0.1);

// Upper-case hexadecimal bytes separated by blanks.
std::string to_hex(const uint8_t *data, size_t count);
inline std::string to_hex(const Bytes &b)
{
    return to_hex(b.data(), b.size());
}
// Pairs of hexadecimal digits, blanks, ':' and ',' allowed between pairs.
bool parse_hex(const std::string &text, Bytes &out);

} // namespace radio
} // namespace boardbox
