// The reflector's control protocol on TCP, both directions, as SvxReflector
// 19.09 speaks it (protocol 1.0). Every message is one frame: a 4-byte
// big-endian length, then the message: a big-endian u16 type and the type's
// fields. Integers are big-endian; a string is a u16 length and its bytes; a
// list is a u16 count and its items. Plain data and explicit encoders and
// decoders; nothing here touches a socket.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace reflector
{

constexpr uint16_t proto_major = 1;
constexpr uint16_t proto_minor = 0;

// Message types.
constexpr uint16_t msg_heartbeat = 1;
constexpr uint16_t msg_proto_ver = 5;
constexpr uint16_t msg_auth_challenge = 10;
constexpr uint16_t msg_auth_response = 11;
constexpr uint16_t msg_auth_ok = 12;
constexpr uint16_t msg_error = 13;
constexpr uint16_t msg_server_info = 100;
constexpr uint16_t msg_node_list = 101;
constexpr uint16_t msg_node_joined = 102;
constexpr uint16_t msg_node_left = 103;
constexpr uint16_t msg_talker_start = 104;
constexpr uint16_t msg_talker_stop = 105;

constexpr size_t challenge_size = 20;
constexpr size_t digest_size = 20;
constexpr size_t frame_header_size = 4;
// Frame limits of the peer: small until the login is accepted.
constexpr uint32_t max_frame_before_login = 64;
constexpr uint32_t max_frame_after_login = 16384;

// One decoded message. Only the fields of its type are filled.
struct Message {
    uint16_t type = 0;
    uint16_t major = 0, minor = 0;   // proto_ver
    std::vector<uint8_t> bytes;      // auth_challenge: the challenge; auth_response: the digest
    std::string text;                // error: the text; auth_response, node_joined/left,
                                     // talker_start/stop: the callsign
    uint32_t client_id = 0;          // server_info
    std::vector<std::string> nodes;  // server_info, node_list
    std::vector<std::string> codecs; // server_info
};

// Decodes the message inside one frame (the bytes after the length). False
// when it is too short for its type or a length inside runs past its end; an
// unknown type decodes to just its type. Bytes after the fields are ignored, as
// the peer ignores them, so that later fields do not break older readers.
bool decode_message(const uint8_t *data, size_t size, Message &out);

// Whole frames, length included, ready to write.
std::vector<uint8_t> build_heartbeat();
std::vector<uint8_t> build_proto_ver(uint16_t major = proto_major, uint16_t minor = proto_minor);
std::vector<uint8_t> build_auth_challenge(const uint8_t challenge[challenge_size]);
std::vector<uint8_t> build_auth_response(const std::string &callsign, const uint8_t digest[digest_size]);
std::vector<uint8_t> build_auth_ok();
std::vector<uint8_t> build_error(const std::string &text);
std::vector<uint8_t> build_server_info(uint32_t client_id, const std::vector<std::string> &nodes,
                                       const std::vector<std::string> &codecs);
std::vector<uint8_t> build_node_list(const std::vector<std::string> &nodes);
// node_joined, node_left, talker_start, talker_stop: one callsign.
std::vector<uint8_t> build_callsign_msg(uint16_t type, const std::string &callsign);
// Any type with the given field bytes (for peers that send what we do not).
std::vector<uint8_t> build_raw(uint16_t type, const std::vector<uint8_t> &fields);

const char *message_name(uint16_t type);

} // namespace reflector
