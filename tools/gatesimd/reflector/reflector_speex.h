// Speex through libspeex in its wideband mode (320 samples a frame at the
// reflector's 16 kHz), as SvxLink codes it at that rate; a packet may hold
// several frames.
#pragma once

#include "tools/gatesimd/reflector/reflector_codec.h"

#include <speex/speex.h>

namespace reflector
{

class ReflectorSpeex : public ReflectorCodec
{
  public:
    // SvxLink puts four frames in a packet; more than this is no stream.
    static constexpr int max_frames_per_packet = 16;

    ReflectorSpeex();
    ~ReflectorSpeex() override;
    ReflectorSpeex(const ReflectorSpeex &) = delete;
    ReflectorSpeex &operator=(const ReflectorSpeex &) = delete;

    bool ok() const { return enc_ != nullptr && dec_ != nullptr && frame_ == codec_frame; }
    const char *name() const override { return "SPEEX"; }
    bool encode(const int16_t *pcm, std::vector<uint8_t> &packet) override;
    bool decode(const uint8_t *data, size_t size, std::vector<int16_t> &pcm) override;
    void end_of_stream() override;

  private:
    void *enc_ = nullptr;
    void *dec_ = nullptr;
    int frame_ = 0;
    SpeexBits enc_bits_{};
    SpeexBits dec_bits_{};
};

} // namespace reflector
