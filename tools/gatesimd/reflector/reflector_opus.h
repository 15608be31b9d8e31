// Opus through libopus, mono at the reflector's rate, 20 ms a packet.
#pragma once

#include "tools/gatesimd/reflector/reflector_codec.h"

struct OpusEncoder;
struct OpusDecoder;

namespace reflector
{

class ReflectorOpus : public ReflectorCodec
{
  public:
    // The longest packet Opus makes: 120 ms.
    static constexpr int max_packet_samples = codec_rate * 120 / 1000;

    ReflectorOpus();
    ~ReflectorOpus() override;
    ReflectorOpus(const ReflectorOpus &) = delete;
    ReflectorOpus &operator=(const ReflectorOpus &) = delete;

    bool ok() const { return enc_ != nullptr && dec_ != nullptr; }
    const char *name() const override { return "OPUS"; }
    bool encode(const int16_t *pcm, std::vector<uint8_t> &packet) override;
    bool decode(const uint8_t *data, size_t size, std::vector<int16_t> &pcm) override;
    void end_of_stream() override;

  private:
    OpusEncoder *enc_ = nullptr;
    OpusDecoder *dec_ = nullptr;
};

} // namespace reflector
