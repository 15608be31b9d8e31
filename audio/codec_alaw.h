// CodecAlaw: G.711 A-law, one code byte per sample, and the two conversion
// functions that the audio device also uses for its own sample format.
#pragma once

#include "audio/codec.h"

#include <cstdint>
#include <memory>

// The conversions are inline: they run once per sample in the codec's and the
// audio device's frame loops, computed, with no tables (one period each way
// every 20 ms on the board's ARM9).

inline int16_t alaw_decode(uint8_t code)
{
    const unsigned a = code ^ 0x55u;
    const unsigned seg = (a >> 4) & 7u;
    // Segment 0: (mantissa << 4) | 8; above: ((mantissa << 4) + 0x108) << (seg - 1).
    unsigned t = ((a & 0x0Fu) << 4) + 8u;
    if (seg)
        t = (t + 0x100u) << (seg - 1);
    // Negated as an int, so that the ARM negates conditionally and the sample
    // needs no sign extension before it is stored.
    int v = static_cast<int>(t);
    if (!(a & 0x80u))
        v = -v;
    return static_cast<int16_t>(v);
}

// Samples beyond the 16-bit range saturate.
inline uint8_t alaw_encode(int sample)
{
    // Magnitude -x (not -x-1), so x and -x differ only in the sign bit.
    const unsigned neg = sample < 0 ? ~0u : 0u;
    unsigned u = (static_cast<unsigned>(sample) ^ neg) - neg;
    // Full scale, and anything beyond, in one code.
    if (u > 32767u)
        u = 32767u;
    // e = leading zeros, 17 (top segment) to 23 (segments 0 and 1 both take
    // bits 4-7 below 512). Then the code is the magnitude shifted down to its
    // five top bits, whose leading 1 carries into the segment field: for
    // segment s >= 1, ((s - 1) << 4) + (u >> (s + 3)) = (s << 4) | mantissa.
    const unsigned e = static_cast<unsigned>(__builtin_clz(u | 0x100u));
    const unsigned code = (u >> (27u - e)) + ((23u - e) << 4);
    // Sign bit set for positive samples: 0xD5 or 0x55 over the code.
    return static_cast<uint8_t>(code ^ 0xD5u ^ (neg << 7));
}

class CodecAlaw : public Codec
{
  public:
    // A block size below 1 leaves the codec uninitialised.
    explicit CodecAlaw(int blockSize);
    ~CodecAlaw() override = default;

    int encode(uint8_t *out, const int16_t *in) override;
    int decode(int16_t *out, const uint8_t *in) override;
    int decodeFrame(int16_t *out, const uint8_t *in, int lost) override;
    int resetDecoder() override;
    const char *getName() override { return "alaw"; }
    int getPayloadType() override { return 8; }

  private:
    // The last good frame, repeated when a frame is lost.
    std::unique_ptr<uint8_t[]> lastFrame;
};
