#include "tools/gatesimd/reflector/reflector_msg.h"

#include "tools/gatesimd/reflector/be_cursor.h"

namespace reflector
{

namespace
{

// A frame around the message that `fill` writes after the type.
template <class F> std::vector<uint8_t> frame(uint16_t type, F fill)
{
    BeWriter w;
    w.u32(0);
    w.u16(type);
    fill(w);
    std::vector<uint8_t> out = std::move(w.bytes());
    bytes::put_be32(out.data(), static_cast<uint32_t>(out.size() - frame_header_size));
    return out;
}

} // namespace

bool decode_message(const uint8_t *data, size_t size, Message &out)
{
    BeReader r(data, size);
    Message m;
    m.type = r.u16();
    switch (m.type) {
    case msg_proto_ver:
        m.major = r.u16();
        m.minor = r.u16();
        break;
    case msg_auth_challenge:
        m.bytes = r.blob();
        break;
    case msg_auth_response:
        m.text = r.str();
        m.bytes = r.blob();
        break;
    case msg_error:
    case msg_node_joined:
    case msg_node_left:
    case msg_talker_start:
    case msg_talker_stop:
        m.text = r.str();
        break;
    case msg_server_info:
        m.client_id = r.u32();
        m.nodes = r.strings();
        m.codecs = r.strings();
        break;
    case msg_node_list:
        m.nodes = r.strings();
        break;
    default: // heartbeat, auth_ok and types this side does not know
        break;
    }
    if (!r.ok())
        return false;
    out = std::move(m);
    return true;
}

std::vector<uint8_t> build_heartbeat()
{
    return frame(msg_heartbeat, [](BeWriter &) {});
}

std::vector<uint8_t> build_proto_ver(uint16_t major, uint16_t minor)
{
    return frame(msg_proto_ver, [&](BeWriter &w) {
        w.u16(major);
        w.u16(minor);
    });
}

std::vector<uint8_t> build_auth_challenge(const uint8_t challenge[challenge_size])
{
    return frame(msg_auth_challenge, [&](BeWriter &w) { w.blob(challenge, challenge_size); });
}

std::vector<uint8_t> build_auth_response(const std::string &callsign, const uint8_t digest[digest_size])
{
    return frame(msg_auth_response, [&](BeWriter &w) {
        w.str(callsign);
        w.blob(digest, digest_size);
    });
}

std::vector<uint8_t> build_auth_ok()
{
    return frame(msg_auth_ok, [](BeWriter &) {});
}

std::vector<uint8_t> build_error(const std::string &text)
{
    return frame(msg_error, [&](BeWriter &w) { w.str(text); });
}

std::vector<uint8_t> build_server_info(uint32_t client_id, const std::vector<std::string> &nodes,
                                       const std::vector<std::string> &codecs)
{
    return frame(msg_server_info, [&](BeWriter &w) {
        w.u32(client_id);
        w.strings(nodes);
        w.strings(codecs);
    });
}

std::vector<uint8_t> build_node_list(const std::vector<std::string> &nodes)
{
    return frame(msg_node_list, [&](BeWriter &w) { w.strings(nodes); });
}

std::vector<uint8_t> build_callsign_msg(uint16_t type, const std::string &callsign)
{
    return frame(type, [&](BeWriter &w) { w.str(callsign); });
}

std::vector<uint8_t> build_raw(uint16_t type, const std::vector<uint8_t> &fields)
{
    return frame(type, [&](BeWriter &w) { w.raw(fields); });
}

const char *message_name(uint16_t type)
{
    switch (type) {
    case msg_heartbeat:
        return "Heartbeat";
    case msg_proto_ver:
        return "ProtoVer";
    case msg_auth_challenge:
        return "AuthChallenge";
    case msg_auth_response:
        return "AuthResponse";
    case msg_auth_ok:
        return "AuthOk";
    case msg_error:
        return "Error";
    case msg_server_info:
        return "ServerInfo";
    case msg_node_list:
        return "NodeList";
    case msg_node_joined:
        return "NodeJoined";
    case msg_node_left:
        return "NodeLeft";
    case msg_talker_start:
        return "TalkerStart";
    case msg_talker_stop:
        return "TalkerStop";
    default:
        return "unknown";
    }
}

} // namespace reflector
