#include "tools/gatesimd/reflector/reflector_gsm.h"

namespace reflector
{

static_assert(codec_frame % CodecGsm::kFrameSamples == 0, "a packet holds whole GSM frames");

bool ReflectorGsm::encode(const int16_t *pcm, std::vector<uint8_t> &packet)
{
    packet.resize(codec_frame / CodecGsm::kFrameSamples * CodecGsm::kFrameBytes);
    for (int i = 0; i < codec_frame / CodecGsm::kFrameSamples; i++)
        if (gsm_.encode(packet.data() + i * CodecGsm::kFrameBytes, pcm + i * CodecGsm::kFrameSamples) != 0)
            return false;
    return true;
}

bool ReflectorGsm::decode(const uint8_t *data, size_t size, std::vector<int16_t> &pcm)
{
    if (size == 0)
        return false;
    partial_.insert(partial_.end(), data, data + size);
    size_t frames = partial_.size() / CodecGsm::kFrameBytes;
    int16_t out[CodecGsm::kFrameSamples];
    for (size_t i = 0; i < frames; i++) {
        gsm_.decode(out, partial_.data() + i * CodecGsm::kFrameBytes);
        pcm.insert(pcm.end(), out, out + CodecGsm::kFrameSamples);
    }
    partial_.erase(partial_.begin(),
                   partial_.begin() + static_cast<std::ptrdiff_t>(frames * CodecGsm::kFrameBytes));
    return true;
}

} // namespace reflector
