#include "audio/codec_alaw.h"

#include <cstring>

namespace
{

// The conversions proper, inlined into the frame loops (the exported names may
// be interposed in a position-independent build, which stops inlining).
inline int16_t decodeSample(uint8_t code)
{
    const unsigned a = code ^ 0x55u;
    const unsigned m = a & 0x7Fu;
    const unsigned seg = m >> 4;
    const unsigned mantissa = m & 0x0Fu;
    int t;
    if (seg == 0)
        t = static_cast<int>((mantissa << 4) | 8u);
    else
        t = static_cast<int>(((mantissa << 4) + 0x108u) << (seg - 1));
    return static_cast<int16_t>((a & 0x80u) ? t : -t);
}

inline uint8_t encodeSample(int sample)
{
    int v;
    unsigned mask;
    if (sample < 0) {
        // Full scale, and anything beyond the 16-bit range, in one code.
        if (sample < -32767)
            return 0x2A;
        // The magnitude is -x (not -x-1), so x and -x differ only in the sign bit.
        v = -sample;
        mask = 0x55;
    } else {
        v = sample > 32767 ? 32767 : sample;
        mask = 0xD5;
    }
    // Segment = position of the highest set bit above bit 7 (0 below 256);
    // one count-leading-zeros instruction on the ARM9 and on the PC.
    const unsigned u = static_cast<unsigned>(v);
    const unsigned seg = 24u - static_cast<unsigned>(__builtin_clz(u | 0xFFu));
    const unsigned shift = seg ? seg + 3 : 4;
    return static_cast<uint8_t>(((seg << 4) | ((u >> shift) & 0x0Fu)) ^ mask);
}

} // namespace

int16_t alaw_decode(uint8_t code)
{
    return decodeSample(code);
}

uint8_t alaw_encode(int sample)
{
    return encodeSample(sample);
}

CodecAlaw::CodecAlaw(int blockSize)
{
    if (blockSize < 1)
        return;
    lastFrame.reset(new uint8_t[blockSize]());
    encodedBlockSize = blockSize;
    decodedBlockSize = blockSize;
    sampleRate = 8000;
    sampleSize = 2;
    sampleSign = 1;
    frameRate = 50;
    initType = EncoderAndDecoder;
    initialized = 1;
}

int CodecAlaw::encode(uint8_t *out, const int16_t *in)
{
    if (!initialized)
        return -1;
    const int n = encodedBlockSize;
    for (int i = 0; i < n; ++i)
        out[i] = encodeSample(in[i]);
    return 0;
}

int CodecAlaw::decode(int16_t *out, const uint8_t *in)
{
    return decodeFrame(out, in, 0);
}

int CodecAlaw::decodeFrame(int16_t *out, const uint8_t *in, int lost)
{
    if (!initialized)
        return -1;
    if (!lost)
        memcpy(lastFrame.get(), in, static_cast<size_t>(encodedBlockSize));
    const uint8_t *src = lastFrame.get();
    const int n = encodedBlockSize;
    for (int i = 0; i < n; ++i)
        out[i] = decodeSample(src[i]);
    return 0;
}

int CodecAlaw::resetDecoder()
{
    if (lastFrame)
        memset(lastFrame.get(), 0, static_cast<size_t>(encodedBlockSize));
    return 0;
}
