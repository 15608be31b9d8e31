// The binary RoIP packet protocol, shared by the gateway and libgatesim.
#include "wire/roip_proto.h"

#include "base/byteorder.h"

#include <algorithm>
#include <cstring>

namespace proto
{

using bytes::get_le16;
using bytes::get_le32;
using bytes::put_le16;
using bytes::put_le32;

namespace
{

int32_t get_i32(const uint8_t *p)
{
    return static_cast<int32_t>(get_le32(p));
}

void put_i32(uint8_t *p, int32_t v)
{
    put_le32(p, static_cast<uint32_t>(v));
}

// Copies at most `size` characters of a C string into a zeroed fixed field.
void put_name(uint8_t *p, const char *s, size_t size)
{
    std::memset(p, 0, size);
    if (!s)
        return;
    size_t n = strnlen(s, size);
    std::memcpy(p, s, n);
}

Bytes with_type(uint32_t type, size_t body)
{
    Bytes b(type_size + body, 0);
    put_le32(b.data(), type);
    return b;
}

} // namespace

int short_body_size(uint32_t type)
{
    switch (type) {
    case packettype_versioninfo:
        return static_cast<int>(version_info_size);
    case packettype_deny:
        return 4;
    case packettype_ack:
        return 0;
    case packettype_loginreq:
        return static_cast<int>(login_request_size);
    case packettype_loginres:
        return static_cast<int>(login_result_size);
    case packettype_setptt:
    case packettype_unlocksql:
        return 4;
    case packettype_gpio_get:
    case packettype_gpio_state_req:
        return 0;
    case packettype_gpio_state:
        return 4;
    case packettype_front_state:
        return 1;
    case packettype_front_frames:
        return static_cast<int>(front_frames_size);
    case packettype_async_setptt:
        return static_cast<int>(async_setptt_size);
    case packettype_async_gpiochanged:
        return static_cast<int>(gpio_changed_size);
    case packettype_async_unlocksql:
        return 4;
    case packettype_upgradestatus:
        return static_cast<int>(upgrade_status_size);
    default:
        return -1;
    }
}

// ---- Fixed-size records ----

void encode(uint8_t *out, const VersionInfo &v)
{
    put_le32(out, v.ver_proto);
    put_le32(out + 4, v.ver_config);
    put_le32(out + 8, v.ver_fw);
    put_le32(out + 12, v.build);
}

bool decode(const uint8_t *in, size_t n, VersionInfo &v)
{
    if (!in || n < version_info_size)
        return false;
    v.ver_proto = get_le32(in);
    v.ver_config = get_le32(in + 4);
    v.ver_fw = get_le32(in + 8);
    v.build = get_le32(in + 12);
    return true;
}

void encode(uint8_t *out, const LoginResult &r)
{
    put_i32(out, r.priv_level);
    put_le32(out + 4, r.priv_gpiow);
    put_le32(out + 8, r.priv_rctl);
    put_i32(out + 12, r.voip_port);
    put_i32(out + 16, r.voip_sync_num);
    put_i32(out + 20, r.codec_type);
    put_name(out + 24, r.device_name, sizeof r.device_name - 1);
    out[24 + 63] = 0;
    std::memcpy(out + 88, r.rtype, sizeof r.rtype);
    std::memcpy(out + 92, r.reserved, sizeof r.reserved);
}

bool decode(const uint8_t *in, size_t n, LoginResult &r)
{
    if (!in || n < login_result_size)
        return false;
    r.priv_level = get_i32(in);
    r.priv_gpiow = get_le32(in + 4);
    r.priv_rctl = get_le32(in + 8);
    r.voip_port = get_i32(in + 12);
    r.voip_sync_num = get_i32(in + 16);
    r.codec_type = get_i32(in + 20);
    std::memcpy(r.device_name, in + 24, sizeof r.device_name);
    // A server that fills all 64 bytes must not make readers run off the field.
    r.device_name[sizeof r.device_name - 1] = 0;
    std::memcpy(r.rtype, in + 88, sizeof r.rtype);
    std::memcpy(r.reserved, in + 92, sizeof r.reserved);
    return true;
}

void encode(uint8_t *out, const LoginRequest &r)
{
    std::memcpy(out, r.user, name_size);
    std::memcpy(out + name_size, r.passwd, name_size);
    put_le32(out + 2 * name_size, r.syncnum);
}

bool decode(const uint8_t *in, size_t n, LoginRequest &r)
{
    if (!in || n < login_request_size)
        return false;
    std::memcpy(r.user, in, name_size);
    std::memcpy(r.passwd, in + name_size, name_size);
    r.syncnum = get_le32(in + 2 * name_size);
    return true;
}

void encode(uint8_t *out, const ExtHeader &h)
{
    put_le32(out, h.len);
    put_le32(out + 4, h.req);
    put_le32(out + 8, h.rsv);
}

bool decode(const uint8_t *in, size_t n, ExtHeader &h)
{
    if (!in || n < ext_header_size)
        return false;
    h.len = get_le32(in);
    h.req = get_le32(in + 4);
    h.rsv = get_le32(in + 8);
    return true;
}

bool decode(const uint8_t *in, size_t n, AsyncSetPtt &e)
{
    if (!in || n < async_setptt_size)
        return false;
    e.ptt = get_i32(in);
    std::memcpy(e.login, in + 4, name_size);
    e.login[name_size - 1] = 0;
    return true;
}

bool decode(const uint8_t *in, size_t n, GpioChanged &e)
{
    if (!in || n < gpio_changed_size)
        return false;
    e.bitmap = get_le32(in);
    e.mask = get_le32(in + 4);
    return true;
}

bool decode(const uint8_t *in, size_t n, UpgradeStatus &e)
{
    if (!in || n < upgrade_status_size)
        return false;
    e.status = get_i32(in);
    e.arg1 = get_i32(in + 4);
    e.arg2 = get_i32(in + 8);
    return true;
}

bool decode(const uint8_t *in, size_t n, FrontFrames &f)
{
    if (!in || n < front_frames_size)
        return false;
    std::memcpy(f.frame1, in, front_frame_size);
    std::memcpy(f.frame2, in + front_frame_size, front_frame_size);
    f.len1 = get_le32(in + 128);
    f.len2 = get_le32(in + 132);
    f.mode = get_le32(in + 136);
    return true;
}

bool decode(const uint8_t *in, size_t n, DmButton &b)
{
    if (!in || n < dm_button_payload_size)
        return false;
    b.key = in[0];
    b.second = in[1];
    b.mode = get_le32(in + 2);
    return true;
}

// ---- Extended payload readers ----

bool decode_crypto_key(const uint8_t *payload, size_t len, CryptoKey &k)
{
    if (!payload || len != crypto_key_payload_size)
        return false;
    uint32_t mode = get_le32(payload);
    uint32_t key_len = get_le32(payload + 8);
    if (mode == 0 || key_len > crypto_key_max)
        return false;
    k.mode = mode;
    k.unused = get_le32(payload + 4);
    k.key_len = key_len;
    std::memcpy(k.key, payload + 12, crypto_key_max);
    return true;
}

bool decode_dm_status(const uint8_t *payload, size_t len, DmStatus &s)
{
    if (!payload || len < dm_status_min_payload)
        return false;
    s.a = get_le32(payload);
    s.b = payload[8];
    s.data = payload + dm_status_min_payload;
    s.len = len - dm_status_min_payload;
    return true;
}

bool decode_polar_status(const uint8_t *payload, size_t len, PolarStatus &s)
{
    if (!payload || len != polar_status_payload_size)
        return false;
    std::memcpy(s.name, payload, 8);
    std::memcpy(s.text, payload + 8, 8);
    s.value1 = get_le32(payload + 16);
    s.value2 = get_le32(payload + 20);
    return true;
}

bool decode_xml_text(const uint8_t *payload, size_t len, XmlText &x)
{
    if (!payload || len < xml_head_size)
        return false;
    uint32_t n = get_le32(payload + 8);
    if (static_cast<uint64_t>(n) + xml_head_size != len)
        return false;
    x.a = get_le32(payload);
    x.b = get_le32(payload + 4);
    x.text.assign(reinterpret_cast<const char *>(payload + xml_head_size), n);
    return true;
}

bool decode_xml_action_result(const uint8_t *payload, size_t len, uint32_t &a, uint32_t &b)
{
    if (!payload || len != xml_head_size)
        return false;
    a = get_le32(payload);
    b = get_le32(payload + 4);
    return true;
}

bool decode_tunnel_ext(const uint8_t *data, size_t n, ExtHeader &h, const uint8_t *&payload)
{
    ExtHeader tmp;
    if (!decode(data, n, tmp))
        return false;
    if (static_cast<uint64_t>(tmp.len) + ext_header_size != n)
        return false;
    h = tmp;
    payload = data + ext_header_size;
    return true;
}

// ---- Builders ----

Bytes build_version_info(const VersionInfo &v, uint32_t first_word)
{
    Bytes b = with_type(first_word, version_info_size);
    encode(b.data() + type_size, v);
    return b;
}

Bytes build_deny(int32_t reason)
{
    return build_short(packettype_deny, static_cast<uint32_t>(reason));
}

Bytes build_ack()
{
    return with_type(packettype_ack, 0);
}

Bytes build_login_request(const char *user, const char *passwd, uint32_t syncnum)
{
    Bytes b = with_type(packettype_loginreq, login_request_size);
    put_name(b.data() + 4, user, name_size);
    put_name(b.data() + 4 + name_size, passwd, name_size);
    put_le32(b.data() + 4 + 2 * name_size, syncnum);
    return b;
}

Bytes build_login_result(const LoginResult &r)
{
    Bytes b = with_type(packettype_loginres, login_result_size);
    encode(b.data() + type_size, r);
    return b;
}

Bytes build_short(uint32_t type, uint32_t value)
{
    Bytes b = with_type(type, 4);
    put_le32(b.data() + 4, value);
    return b;
}

Bytes build_setptt(int32_t ptt)
{
    return build_short(packettype_setptt, static_cast<uint32_t>(ptt));
}

Bytes build_unlocksql(int32_t value)
{
    return build_short(packettype_unlocksql, static_cast<uint32_t>(value));
}

Bytes build_gpio_get()
{
    return with_type(packettype_gpio_get, 0);
}

Bytes build_gpio_state(uint32_t value)
{
    return build_short(packettype_gpio_state, value);
}

Bytes build_gpio_state_req()
{
    return with_type(packettype_gpio_state_req, 0);
}

Bytes build_tunnel(uint32_t type, uint8_t channel, const uint8_t *data, size_t n)
{
    if (n > tunnel_max_data || (n > 0 && !data))
        return {};
    Bytes b = with_type(type, tunnel_header_size + n);
    b[4] = channel;
    put_le16(b.data() + 5, static_cast<uint16_t>(n));
    if (n > 0)
        std::memcpy(b.data() + 7, data, n);
    return b;
}

Bytes build_front_state(uint8_t value)
{
    Bytes b = with_type(packettype_front_state, 1);
    b[4] = value;
    return b;
}

Bytes build_front_frames(const uint8_t *frame1, const uint8_t *frame2, size_t len, uint32_t mode)
{
    if (len > front_frame_size || (len > 0 && (!frame1 || !frame2)))
        return {};
    Bytes b = with_type(packettype_front_frames, front_frames_size);
    uint8_t *p = b.data() + 4;
    if (len > 0) {
        std::memcpy(p, frame1, len);
        std::memcpy(p + front_frame_size, frame2, len);
    }
    put_le32(p + 128, static_cast<uint32_t>(len));
    put_le32(p + 132, static_cast<uint32_t>(len));
    put_le32(p + 136, mode);
    return b;
}

Bytes build_async_setptt(int32_t ptt, const char *login)
{
    Bytes b = with_type(packettype_async_setptt, async_setptt_size);
    put_i32(b.data() + 4, ptt);
    // At most 31 characters, so the field is always terminated.
    put_name(b.data() + 8, login, name_size - 1);
    return b;
}

Bytes build_async_gpiochanged(uint32_t bitmap, uint32_t mask)
{
    Bytes b = with_type(packettype_async_gpiochanged, gpio_changed_size);
    put_le32(b.data() + 4, bitmap);
    put_le32(b.data() + 8, mask);
    return b;
}

Bytes build_async_unlocksql(int32_t sql)
{
    return build_short(packettype_async_unlocksql, static_cast<uint32_t>(sql));
}

Bytes build_upgradestatus(int32_t status, int32_t arg1, int32_t arg2)
{
    Bytes b = with_type(packettype_upgradestatus, upgrade_status_size);
    put_i32(b.data() + 4, status);
    put_i32(b.data() + 8, arg1);
    put_i32(b.data() + 12, arg2);
    return b;
}

Bytes build_ext_header(uint32_t req, uint32_t len, uint32_t rsv)
{
    Bytes b = with_type(packettype_extproto, ext_header_size);
    encode(b.data() + type_size, ExtHeader{len, req, rsv});
    return b;
}

Bytes build_ext(uint32_t req, const uint8_t *payload, size_t len, uint32_t rsv)
{
    if (len > UINT32_MAX || (len > 0 && !payload))
        return {};
    Bytes b = with_type(packettype_extproto, ext_header_size + len);
    encode(b.data() + type_size, ExtHeader{static_cast<uint32_t>(len), req, rsv});
    if (len > 0)
        std::memcpy(b.data() + type_size + ext_header_size, payload, len);
    return b;
}

Bytes build_tunnel_ext(uint32_t req, const uint8_t *payload, size_t len, uint32_t rsv)
{
    if (len + ext_header_size > tunnel_max_data || (len > 0 && !payload))
        return {};
    Bytes b = with_type(packettype_serial_senddata, tunnel_header_size + ext_header_size + len);
    b[4] = tunnel_channel_ext;
    put_le16(b.data() + 5, static_cast<uint16_t>(len + ext_header_size));
    encode(b.data() + 7, ExtHeader{static_cast<uint32_t>(len), req, rsv});
    if (len > 0)
        std::memcpy(b.data() + 7 + ext_header_size, payload, len);
    return b;
}

Bytes build_crypto_request(uint32_t value)
{
    uint8_t p[4];
    put_le32(p, value);
    return build_ext(ext_crypto_req, p, sizeof p);
}

Bytes build_crypto_key_payload(uint32_t mode, const uint8_t *key, size_t key_len)
{
    Bytes p(crypto_key_payload_size, 0);
    put_le32(p.data(), mode);
    put_le32(p.data() + 8, static_cast<uint32_t>(key_len));
    if (key)
        std::memcpy(p.data() + 12, key, std::min(key_len, crypto_key_max));
    return p;
}

Bytes build_dm_button(uint8_t key, uint8_t second, uint32_t mode)
{
    uint8_t p[dm_button_payload_size];
    p[0] = key;
    p[1] = second;
    put_le32(p + 2, mode);
    return build_ext(ext_dm_button, p, sizeof p);
}

Bytes build_dm_status_request()
{
    return build_ext_header(ext_dm_status_req, 0);
}

Bytes build_dm_status_payload(uint32_t a, uint8_t b, const uint8_t *data, size_t n)
{
    if (n > 0 && !data)
        n = 0;
    Bytes p(dm_status_min_payload + n, 0);
    put_le32(p.data(), a);
    p[8] = b;
    if (n > 0)
        std::memcpy(p.data() + dm_status_min_payload, data, n);
    return p;
}

Bytes build_polar_status_payload(const std::string &name, const std::string &text, uint32_t v1, uint32_t v2)
{
    Bytes p(polar_status_payload_size, ' ');
    std::memcpy(p.data(), name.data(), std::min<size_t>(name.size(), 8));
    std::memcpy(p.data() + 8, text.data(), std::min<size_t>(text.size(), 8));
    put_le32(p.data() + 16, v1);
    put_le32(p.data() + 20, v2);
    return p;
}

Bytes build_xml_text_payload(uint32_t a, uint32_t b, const std::string &text)
{
    Bytes p(xml_head_size + text.size(), 0);
    put_le32(p.data(), a);
    put_le32(p.data() + 4, b);
    put_le32(p.data() + 8, static_cast<uint32_t>(text.size()));
    if (!text.empty())
        std::memcpy(p.data() + xml_head_size, text.data(), text.size());
    return p;
}

Bytes build_xml_action_result_payload(uint32_t a, uint32_t b)
{
    Bytes p(xml_head_size, 0);
    put_le32(p.data(), a);
    put_le32(p.data() + 4, b);
    return p;
}

} // namespace proto
