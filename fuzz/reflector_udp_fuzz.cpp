// The reflector's datagrams as the node takes them apart: the header and the
// audio's length, then the audio through each codec the node speaks and the
// rate converter down to the site's 8 kHz. Nothing may come out longer than
// one packet can hold.
#include "tools/gatesimd/reflector/rate_converter.h"
#include "tools/gatesimd/reflector/reflector_codec.h"
#include "tools/gatesimd/reflector/reflector_udp.h"

#include <cstdint>
#include <memory>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static std::unique_ptr<reflector::ReflectorCodec> codecs[] = {
        reflector::make_codec("OPUS"), reflector::make_codec("GSM"), reflector::make_codec("SPEEX")};
    static reflector::RateConverter down(reflector::codec_rate, 8000);
    reflector::UdpMessage m;
    if (!reflector::decode_udp(data, size, m))
        return 0;
    if (m.audio.size() > reflector::max_udp_audio || m.audio.size() + reflector::udp_header_size > size)
        __builtin_trap();
    if (m.type != reflector::udp_audio)
        return 0;
    for (auto &c : codecs) {
        std::vector<int16_t> pcm, site;
        if (c->decode(m.audio.data(), m.audio.size(), pcm) && pcm.empty() && c.get() != codecs[1].get())
            __builtin_trap();
        // 120 ms of Opus, 16 Speex frames, 46 GSM frames.
        if (pcm.size() > 46 * 160)
            __builtin_trap();
        down.process(pcm.data(), pcm.size(), site);
        if (m.seq % 7 == 0)
            c->end_of_stream();
    }
    return 0;
}
