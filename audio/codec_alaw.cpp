#include "audio/codec_alaw.h"

#include <cstring>

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
    const int n = encodedBlockSize;
    for (int i = 0; i < n; ++i)
        out[i] = alaw_decode(src[i]);
    return 0;
}

int CodecAlaw::resetDecoder()
{
    if (lastFrame)
        memset(lastFrame.get(), 0, static_cast<size_t>(encodedBlockSize));
    return 0;
}
