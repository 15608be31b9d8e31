// CodecSpeex: Speex narrowband through libspeex. 160 samples per frame; the
// encoded block size follows from the bit rate (20 bytes at 8000 bit/s).
#pragma once

#include "audio/codec.h"

#include <speex/speex.h>
#include <speex/speex_bits.h>

class CodecSpeex : public Codec
{
  public:
    // initType 0, 1 or 2 (both halves, encoder only, decoder only). The bit
    // rate is requested from the encoder; a decoder-only codec takes it as the
    // rate of what it will receive. enhancement non-zero turns on the
    // decoder's perceptual enhancement; complexity 1-10 is applied, anything
    // else keeps the library's default.
    CodecSpeex(int initType, int bitRate, int enhancement, int complexity);
    ~CodecSpeex() override;

    int encode(uint8_t *out, const int16_t *in) override;
    int decode(int16_t *out, const uint8_t *in) override;
    int decodeFrame(int16_t *out, const uint8_t *in, int lost) override;
    int resetEncoder() override;
    int resetDecoder() override;
    const char *getName() override { return "speex"; }
    int getPayloadType() override { return 97; }
    void printInfo() override;

    // Bytes of one frame at an effective bit rate: the 8 kHz frame share of
    // the rate, rounded up to whole bytes; 0 for rates that give no bytes.
    static int blockSizeForBitRate(int bitRate);

  private:
    bool hasEncoder() const { return initType == EncoderAndDecoder || initType == EncoderOnly; }
    bool hasDecoder() const { return initType == EncoderAndDecoder || initType == DecoderOnly; }
    void release();

    SpeexBits encoderBits{};
    SpeexBits decoderBits{};
    void *encoder = nullptr;
    void *decoder = nullptr;
    // The fixed-point library may work on its input in place: encode from a copy.
    spx_int16_t scratch[160] = {};
};
