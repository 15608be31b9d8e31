// The binary RoIP packet protocol, shared by the gateway (client) and libgatesim
// (server). Everything here is plain data plus explicit little-endian encoders
// and decoders; nothing touches a socket.
//
// The stream has no frame length: every message starts with a u32 type word and
// the receiver sizes the rest from the type. Builders return whole messages
// (type word included); decoders take the bytes that follow the type word (or,
// for extended messages, the payload after the 12-byte rest of the header) and
// fail on a short buffer instead of reading past it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace proto
{

// Short message type words.
constexpr uint32_t packettype_versioninfo = 0;
constexpr uint32_t packettype_deny = 1;
constexpr uint32_t packettype_ack = 2;
constexpr uint32_t packettype_loginreq = 3;
constexpr uint32_t packettype_loginres = 4;
constexpr uint32_t packettype_setptt = 5;
constexpr uint32_t packettype_unlocksql = 16;
constexpr uint32_t packettype_gpio_get = 102;
constexpr uint32_t packettype_gpio_state = 103;
constexpr uint32_t packettype_gpio_state_req = 108;
constexpr uint32_t packettype_serial_senddata = 203;
constexpr uint32_t packettype_serial_senddata2 = 204;
constexpr uint32_t packettype_front_state = 205;
constexpr uint32_t packettype_front_frames = 207;
constexpr uint32_t packettype_async_setptt = 501;
constexpr uint32_t packettype_async_gpiochanged = 502;
constexpr uint32_t packettype_async_unlocksql = 503;
constexpr uint32_t packettype_upgradestatus = 504;
constexpr uint32_t packettype_extproto = 0xDEADBABEu;

// Extended message types (`req`).
constexpr uint32_t ext_sbl = 1001;
constexpr uint32_t packettype_disable_async = 1002;
constexpr uint32_t ext_crypto_req = 1003;
constexpr uint32_t ext_crypto_key = 1004;
constexpr uint32_t ext_dm_status_req = 2001;
constexpr uint32_t ext_dm_button = 2002;
constexpr uint32_t ext_dm_status = 2003;
constexpr uint32_t packettype_polar_status_req = 2031;
constexpr uint32_t ext_polar_status = 2033;
constexpr uint32_t packettype_xml_status_req = 2101;
constexpr uint32_t packettype_xml_action = 2102;
constexpr uint32_t ext_xml_status = 2103;
constexpr uint32_t ext_xml_action_result = 2104;

enum DenyReason : int32_t {
    deny_nopriv = 1,      // not logged in, or level below 1
    deny_unsupported = 2, // known request that is not served
    deny_no_ptt_handler = 3,
};

// Tunnel channel byte that marks an embedded extended message.
constexpr uint8_t tunnel_channel_ext = 0xFF;

// Sizes in bytes.
constexpr size_t type_size = 4;
constexpr size_t name_size = 32;           // user, password, login fields
constexpr size_t version_info_size = 16;   // body of type 0
constexpr size_t login_request_size = 68;  // body of type 3
constexpr size_t login_result_size = 120;  // body of type 4
constexpr size_t async_setptt_size = 36;   // body of 501
constexpr size_t gpio_changed_size = 8;    // body of 502
constexpr size_t upgrade_status_size = 12; // body of 504
constexpr size_t front_frame_size = 64;
constexpr size_t front_frames_size = 140; // body of 207
constexpr size_t ext_header_size = 12;    // len, req, rsv after the magic
constexpr size_t tunnel_header_size = 3;  // channel, u16 n after the type word
constexpr size_t crypto_key_payload_size = 44;
constexpr size_t crypto_key_max = 32;
constexpr size_t dm_status_min_payload = 9;
constexpr size_t dm_button_payload_size = 6;
constexpr size_t polar_status_payload_size = 24;
constexpr size_t xml_head_size = 12; // a, b, n before the text of 2102/2103
constexpr size_t blocked_item_size = 36;
constexpr size_t blocked_max_items = 128;         // 4608 bytes
constexpr uint32_t server_max_ext_len = 0x100000; // larger requests close the connection
constexpr size_t tunnel_max_data = 0xFFFF;

// The fixed body size after the type word of a short message, or -1 for a type
// that has no fixed body (tunnel, extended) or is unknown. Both directions.
int short_body_size(uint32_t type);

// The gateway's classification of a received type word: 203 and everything from
// 501 up to (excluding) the extended magic is an event, the rest a response.
inline bool is_event(uint32_t type)
{
    return type == packettype_serial_senddata || (type >= 501 && type < packettype_extproto);
}

// Version words: major in bits 16..23, minor in bits 0..7 as the gateway reads
// them; the server fills the whole 16-bit halves.
inline uint32_t version_word(uint16_t major, uint16_t minor)
{
    return (static_cast<uint32_t>(major) << 16) | minor;
}
inline unsigned version_major(uint32_t word)
{
    return (word >> 16) & 0xFFu;
}
inline unsigned version_minor(uint32_t word)
{
    return word & 0xFFu;
}

struct VersionInfo {
    uint32_t ver_proto = 0;
    uint32_t ver_config = 0;
    uint32_t ver_fw = 0;
    uint32_t build = 0;
};

struct LoginResult {
    int32_t priv_level = 0;
    uint32_t priv_gpiow = 0;
    uint32_t priv_rctl = 0;
    int32_t voip_port = 0;
    int32_t voip_sync_num = 0;
    int32_t codec_type = 0;
    char device_name[64] = {}; // always NUL-terminated after decoding
    uint8_t rtype[4] = {};     // the gateway reads bytes 0 and 1
    uint8_t reserved[28] = {};
};

struct LoginRequest {
    char user[name_size] = {}; // may lack a terminator when 32 characters long
    char passwd[name_size] = {};
    uint32_t syncnum = 0;
};

struct ExtHeader {
    uint32_t len = 0; // payload bytes after the header
    uint32_t req = 0;
    uint32_t rsv = 0;
};

struct AsyncSetPtt {
    int32_t ptt = 0;
    char login[name_size] = {}; // always NUL-terminated after decoding (31 characters)
};

struct GpioChanged {
    uint32_t bitmap = 0;
    uint32_t mask = 0;
};

struct UpgradeStatus {
    int32_t status = 0;
    int32_t arg1 = 0;
    int32_t arg2 = 0;
};

struct CryptoKey {
    uint32_t mode = 0;
    uint32_t unused = 0;
    uint32_t key_len = 0;
    uint8_t key[crypto_key_max] = {};
};

struct FrontFrames {
    uint8_t frame1[front_frame_size] = {};
    uint8_t frame2[front_frame_size] = {};
    uint32_t len1 = 0;
    uint32_t len2 = 0;
    uint32_t mode = 0;
};

struct DmButton {
    uint8_t key = 0;
    uint8_t second = 0;
    uint32_t mode = 0;
};

// Borrowed views into a payload buffer; valid while that buffer is.
struct DmStatus {
    uint32_t a = 0;
    uint8_t b = 0;
    const uint8_t *data = nullptr;
    size_t len = 0;
};

struct PolarStatus {
    char name[8] = {}; // space-padded, not terminated
    char text[8] = {};
    uint32_t value1 = 0;
    uint32_t value2 = 0;
};

struct XmlText {
    uint32_t a = 0;
    uint32_t b = 0;
    std::string text;
};

// ---- Fixed-size records (bodies after the type word) ----

void encode(uint8_t *out, const VersionInfo &v); // 16 bytes
bool decode(const uint8_t *in, size_t n, VersionInfo &v);
void encode(uint8_t *out, const LoginResult &r); // 120 bytes
bool decode(const uint8_t *in, size_t n, LoginResult &r);
void encode(uint8_t *out, const LoginRequest &r); // 68 bytes
bool decode(const uint8_t *in, size_t n, LoginRequest &r);
void encode(uint8_t *out, const ExtHeader &h); // 12 bytes
bool decode(const uint8_t *in, size_t n, ExtHeader &h);
bool decode(const uint8_t *in, size_t n, AsyncSetPtt &e);
bool decode(const uint8_t *in, size_t n, GpioChanged &e);
bool decode(const uint8_t *in, size_t n, UpgradeStatus &e);
bool decode(const uint8_t *in, size_t n, FrontFrames &f);
bool decode(const uint8_t *in, size_t n, DmButton &b);

// ---- Extended payload readers (payload after the 12-byte header) ----

// 1004: `len` must be 44, key_len at most 32 and the mode non-zero.
bool decode_crypto_key(const uint8_t *payload, size_t len, CryptoKey &k);
// 2003: at least 9 bytes; the status data is the rest after byte 9.
bool decode_dm_status(const uint8_t *payload, size_t len, DmStatus &s);
// 2033: exactly 24 bytes.
bool decode_polar_status(const uint8_t *payload, size_t len, PolarStatus &s);
// 2102/2103: at least 12 bytes and `len` = n + 12.
bool decode_xml_text(const uint8_t *payload, size_t len, XmlText &x);
// 2104: exactly 12 bytes.
bool decode_xml_action_result(const uint8_t *payload, size_t len, uint32_t &a, uint32_t &b);
// Tunnel data on channel 0xFF: an extended header without magic and its payload.
// Requires n >= 12 and n == len + 12; `payload` points into `data`.
bool decode_tunnel_ext(const uint8_t *data, size_t n, ExtHeader &h, const uint8_t *&payload);

// ---- Whole-message builders (type word included) ----

using Bytes = std::vector<uint8_t>;

Bytes build_version_info(const VersionInfo &v, uint32_t first_word = packettype_versioninfo);
Bytes build_deny(int32_t reason);
Bytes build_ack();
// user and password are copied with a 32-byte bound (a 32-character value has
// no terminator on the wire).
Bytes build_login_request(const char *user, const char *passwd, uint32_t syncnum = 0);
Bytes build_login_result(const LoginResult &r);
Bytes build_setptt(int32_t ptt);
Bytes build_unlocksql(int32_t value);
Bytes build_short(uint32_t type, uint32_t value);
Bytes build_gpio_get();
Bytes build_gpio_state(uint32_t value);
Bytes build_gpio_state_req();
// Type 203 (or 204) tunnel: empty result if the data does not fit a u16 length.
Bytes build_tunnel(uint32_t type, uint8_t channel, const uint8_t *data, size_t n);
Bytes build_front_state(uint8_t value);
// Empty result when len is above 64.
Bytes build_front_frames(const uint8_t *frame1, const uint8_t *frame2, size_t len, uint32_t mode);
Bytes build_async_setptt(int32_t ptt, const char *login);
Bytes build_async_gpiochanged(uint32_t bitmap, uint32_t mask);
Bytes build_async_unlocksql(int32_t sql);
Bytes build_upgradestatus(int32_t status, int32_t arg1, int32_t arg2);

// Extended message: magic, len, req, rsv, payload.
Bytes build_ext(uint32_t req, const uint8_t *payload, size_t len, uint32_t rsv = 0);
// The 16-byte extended header alone (for payloads sent in pieces).
Bytes build_ext_header(uint32_t req, uint32_t len, uint32_t rsv = 0);
// Tunnelled extended message: 203, channel 0xFF, n = len + 12, len, req, rsv,
// payload. Empty result if it does not fit the 16-bit tunnel length.
Bytes build_tunnel_ext(uint32_t req, const uint8_t *payload, size_t len, uint32_t rsv = 0);

Bytes build_crypto_request(uint32_t value);
Bytes build_crypto_key_payload(uint32_t mode, const uint8_t *key, size_t key_len); // 44 bytes
Bytes build_dm_button(uint8_t key, uint8_t second, uint32_t mode);
Bytes build_dm_status_request();
Bytes build_dm_status_payload(uint32_t a, uint8_t b, const uint8_t *data, size_t n);
// Name and text are cut to 8 bytes and padded with spaces.
Bytes build_polar_status_payload(const std::string &name, const std::string &text, uint32_t v1, uint32_t v2);
Bytes build_xml_text_payload(uint32_t a, uint32_t b, const std::string &text);
Bytes build_xml_action_result_payload(uint32_t a, uint32_t b);

} // namespace proto
