// Codec: the voice codec interface. One frame is 160 signed 16-bit samples at
// 8000 Hz (20 ms) and becomes one encoded block. The slot order is fixed: the
// player, the recorder and the start-up code call through it.
#pragma once

#include <cstdint>

class Codec
{
  public:
    enum InitType : int32_t { EncoderAndDecoder = 0, EncoderOnly = 1, DecoderOnly = 2 };

    virtual ~Codec() = default;

    Codec(const Codec &) = delete;
    Codec &operator=(const Codec &) = delete;

    virtual int isInitialized() { return initialized; }
    virtual int getEncodedBlockSize() { return encodedBlockSize; }
    virtual int getDecodedBlockSize() { return decodedBlockSize; }
    virtual int getSampleRate() { return sampleRate; }
    virtual int getSampleSize() { return sampleSize; }
    virtual int getSampleSign() { return sampleSign; }
    virtual int getFrameRate() { return frameRate; }

    // out: getEncodedBlockSize() bytes; in: getDecodedBlockSize() samples.
    // 0 on success, -1 when the codec (or its encoding half) is not ready.
    virtual int encode(uint8_t *out, const int16_t *in) = 0;
    // out: getDecodedBlockSize() samples; in: getEncodedBlockSize() bytes.
    virtual int decode(int16_t *out, const uint8_t *in) = 0;
    // With lost non-zero, in is not read and a concealment frame is produced.
    virtual int decodeFrame(int16_t *out, const uint8_t *in, int lost)
    {
        (void)lost;
        return decode(out, in);
    }

    virtual int resetEncoder() { return 0; }
    virtual int resetDecoder() { return 0; }
    virtual const char *getName() { return "unknown"; }
    virtual int getPayloadType() = 0;
    // Writes the codec's description lines to standard output.
    virtual void printInfo();

  protected:
    Codec() = default;

    int32_t initialized = 0;
    int32_t encodedBlockSize = 0;
    int32_t decodedBlockSize = 0;
    int32_t sampleRate = 0;
    int32_t sampleSize = 0;
    int32_t sampleSign = 0;
    int32_t frameRate = 0;
    InitType initType = EncoderAndDecoder;
};
