// GSM 06.10 as SvxLink carries it: a byte stream of 33-byte frames of 160
// samples at the reflector's rate; a frame may span two packets.
#pragma once

#include "audio/codec_gsm.h"
#include "tools/gatesimd/reflector/reflector_codec.h"

namespace reflector
{

class ReflectorGsm : public ReflectorCodec
{
  public:
    ReflectorGsm() : gsm_(Codec::EncoderAndDecoder, 0, 0) {}
    bool ok() { return gsm_.isInitialized() != 0; }
    const char *name() const override { return "GSM"; }
    bool encode(const int16_t *pcm, std::vector<uint8_t> &packet) override;
    bool decode(const uint8_t *data, size_t size, std::vector<int16_t> &pcm) override;
    void end_of_stream() override { partial_.clear(); }

  private:
    CodecGsm gsm_;
    std::vector<uint8_t> partial_;
};

} // namespace reflector
