// The reflector's datagrams on UDP, both directions: a header of three
// big-endian u16 (type, the client id the reflector gave at login, a sequence
// number counted per sender), then the type's fields. Audio carries a u16
// length and the encoded bytes of the reflector's codec.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace reflector
{

constexpr uint16_t udp_heartbeat = 1;
constexpr uint16_t udp_audio = 101;
constexpr uint16_t udp_flush_samples = 102;
constexpr uint16_t udp_all_samples_flushed = 103;

constexpr size_t udp_header_size = 6;
// An Opus packet is at most 1275 bytes; GSM and Speex packets are far smaller.
constexpr size_t max_udp_audio = 1500;

struct UdpMessage {
    uint16_t type = 0;
    uint16_t client_id = 0;
    uint16_t seq = 0;
    std::vector<uint8_t> audio; // udp_audio only
};

// False when the datagram is shorter than its header or, for audio, than its
// announced length, or the audio is longer than max_udp_audio. Other types
// decode to the header; bytes after the fields are ignored.
bool decode_udp(const uint8_t *data, size_t size, UdpMessage &out);
std::vector<uint8_t> build_udp(uint16_t type, uint16_t client_id, uint16_t seq);
std::vector<uint8_t> build_udp_audio(uint16_t client_id, uint16_t seq, const uint8_t *audio, size_t size);

} // namespace reflector
