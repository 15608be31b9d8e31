#include "tools/gatesimd/reflector/reflector_udp.h"

#include "tools/gatesimd/reflector/be_cursor.h"

namespace reflector
{

bool decode_udp(const uint8_t *data, size_t size, UdpMessage &out)
{
    BeReader r(data, size);
    UdpMessage m;
    m.type = r.u16();
    m.client_id = r.u16();
    m.seq = r.u16();
    if (m.type == udp_audio)
        m.audio = r.blob();
    if (!r.ok() || m.audio.size() > max_udp_audio)
        return false;
    out = std::move(m);
    return true;
}

std::vector<uint8_t> build_udp(uint16_t type, uint16_t client_id, uint16_t seq)
{
    BeWriter w;
    w.u16(type);
    w.u16(client_id);
    w.u16(seq);
    return std::move(w.bytes());
}

std::vector<uint8_t> build_udp_audio(uint16_t client_id, uint16_t seq, const uint8_t *audio, size_t size)
{
    BeWriter w;
    w.u16(udp_audio);
    w.u16(client_id);
    w.u16(seq);
    w.blob(audio, size);
    return std::move(w.bytes());
}

} // namespace reflector
