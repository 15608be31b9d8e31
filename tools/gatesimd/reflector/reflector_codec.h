// The voice codecs a reflector carries, at its sample rate. The reflector only
// forwards the bytes; the nodes must agree on the codec, which the reflector
// names at login, and on the rate: SvxLink's internal 16 kHz, which is how
// Debian builds it. GSM and Speex frames therefore hold 16 kHz samples there
// (a GSM frame is 10 ms, Speex runs in its wideband mode).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace reflector
{

constexpr int codec_rate = 16000;
// What this side encodes per packet: 20 ms, as one site voice frame.
constexpr int codec_frame = 320;

class ReflectorCodec
{
  public:
    virtual ~ReflectorCodec() = default;
    virtual const char *name() const = 0;
    // One frame of codec_frame samples into one packet.
    virtual bool encode(const int16_t *pcm, std::vector<uint8_t> &packet) = 0;
    // One packet from the reflector: its samples are appended to `pcm`.
    // False, with nothing appended, when it does not decode.
    virtual bool decode(const uint8_t *data, size_t size, std::vector<int16_t> &pcm) = 0;
    // A talker's stream ended: the next packet starts a new one.
    virtual void end_of_stream() = 0;
};

// "OPUS", "GSM" or "SPEEX" (the reflector's names); null for any other name or
// when the library cannot make its coder.
std::unique_ptr<ReflectorCodec> make_codec(const std::string &name);
bool codec_supported(const std::string &name);

} // namespace reflector
