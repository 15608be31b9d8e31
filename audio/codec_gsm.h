// CodecGsm: GSM 06.10 full rate through libgsm, 160 samples to 33 bytes.
#pragma once

#include "audio/codec.h"

#include <gsm.h>

class CodecGsm : public Codec
{
  public:
    static constexpr int kFrameBytes = 33;
    static constexpr int kFrameSamples = 160;

    // initType 0, 1 or 2 (both halves, encoder only, decoder only); fast and
    // ltpCut go to the library's GSM_OPT_FAST and GSM_OPT_LTP_CUT options.
    CodecGsm(int initType, int fast, int ltpCut);
    ~CodecGsm() override;

    int encode(uint8_t *out, const int16_t *in) override;
    int decode(int16_t *out, const uint8_t *in) override;
    int decodeFrame(int16_t *out, const uint8_t *in, int lost) override;
    const char *getName() override { return "gsm"; }
    int getPayloadType() override { return 3; }
    void printInfo() override;

    // A GSM 06.10 frame that decodes to silence, played for a lost frame.
    static const uint8_t kSilenceFrame[kFrameBytes];

  private:
    bool hasEncoder() const { return initType == EncoderAndDecoder || initType == EncoderOnly; }
    bool hasDecoder() const { return initType == EncoderAndDecoder || initType == DecoderOnly; }

    int32_t fast;
    int32_t ltpCut;
    gsm encoder = nullptr;
    gsm decoder = nullptr;
};
