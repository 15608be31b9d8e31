#include "audio/codec_alaw.h"

#include <cstring>

int16_t alaw_decode(uint8_t code)
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

uint8_t alaw_encode(int sample)
{
    int v;
    unsigned mask;
    if (sample < 0) {
        // The magnitude is -x (not -x-1), so x and -x differ only in the sign bit.
        v = -sample;
        if (v > 32767)
            return 0x2A;
        mask = 0x55;
    } else {
        v = sample;
        mask = 0xD5;
    }
    if (v < 256)
        return static_cast<uint8_t>((static_cast<unsigned>(v) >> 4) ^ mask);
    unsigned seg;
    if (v < 512)
        seg = 1;
    else if (v < 1024)
        seg = 2;
    else if (v < 2048)
        seg = 3;
    else if (v < 4096)
        seg = 4;
    else if (v < 8192)
        seg = 5;
    else if (v < 16384)
        seg = 6;
    else
        seg = 7;
    const unsigned mantissa = (static_cast<unsigned>(v) >> (seg + 3)) & 0x0Fu;
    return static_cast<uint8_t>(((seg << 4) | mantissa) ^ mask);
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
    for (int i = 0; i < encodedBlockSize; ++i)
        out[i] = alaw_encode(in[i]);
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
    for (int i = 0; i < encodedBlockSize; ++i)
        out[i] = alaw_decode(src[i]);
    return 0;
}

int CodecAlaw::resetDecoder()
{
    if (lastFrame)
        memset(lastFrame.get(), 0, static_cast<size_t>(encodedBlockSize));
    return 0;
}
