// CodecAlaw: G.711 A-law, one code byte per sample, and the two conversion
// functions that the audio device also uses for its own sample format.
#pragma once

#include "audio/codec.h"

#include <cstdint>
#include <memory>

int16_t alaw_decode(uint8_t code);
// Takes a sample in the 16-bit range.
uint8_t alaw_encode(int sample);

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
