// Binary RoIP readers and builders as the board's processor sees them: input at
// odd addresses, and bytes of 0x80 and above in every text, length and key field
// (plain `char` is unsigned on ARM and signed on x86-64).
#include "tests/odd_buffer.h"
#include "wire/roip_proto.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace proto;
using B = std::vector<uint8_t>;

namespace
{

B high_text(size_t n, uint8_t first)
{
    B t(n);
    for (size_t i = 0; i < n; ++i)
        t[i] = static_cast<uint8_t>(first + i) | 0x80;
    return t;
}

B body_of(const B &msg)
{
    return B(msg.begin() + type_size, msg.end());
}

} // namespace

TEST(RoipProtoOddAddress, VersionInfoWordsWithHighBytes)
{
    const B body = {0xFF, 0x80, 0x81, 0xFE, 0x01, 0x02, 0x03, 0x84,
                    0x17, 0x00, 0x02, 0x00, 0xEF, 0xBE, 0xAD, 0xDE};
    for (size_t off : odd_offsets()) {
        OddBuffer in(body, off);
        VersionInfo v;
        ASSERT_TRUE(decode(in.data(), in.size(), v));
        EXPECT_EQ(v.ver_proto, 0xFE8180FFu) << off;
        EXPECT_EQ(version_major(v.ver_proto), 0x81u);
        EXPECT_EQ(version_minor(v.ver_proto), 0xFFu);
        EXPECT_EQ(v.ver_config, 0x84030201u);
        EXPECT_EQ(version_minor(v.ver_fw), 23u);
        EXPECT_EQ(v.build, 0xDEADBEEFu);
    }
}

TEST(RoipProtoOddAddress, LoginResultNegativeFieldsAndHighDeviceName)
{
    B body(login_result_size, 0);
    const B lead = {0xFE, 0xFF, 0xFF, 0xFF, 0x80, 0x00, 0x00, 0x80, 0x01, 0x00, 0x00, 0x00,
                    0xA0, 0x0F, 0x00, 0x00, 0x39, 0x30, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00};
    std::copy(lead.begin(), lead.end(), body.begin());
    const B name = high_text(64, 0); // no terminator anywhere in the field
    std::copy(name.begin(), name.end(), body.begin() + 24);
    body[88] = 0x81;
    body[89] = 0xFF;
    for (size_t off : odd_offsets()) {
        OddBuffer in(body, off);
        LoginResult r;
        ASSERT_TRUE(decode(in.data(), in.size(), r));
        EXPECT_EQ(r.priv_level, -2) << off;
        EXPECT_EQ(r.priv_gpiow, 0x80000080u);
        EXPECT_EQ(r.priv_rctl, 1u);
        EXPECT_EQ(r.voip_port, 4000);
        EXPECT_EQ(r.voip_sync_num, 12345);
        EXPECT_EQ(r.codec_type, 3);
        EXPECT_EQ(std::strlen(r.device_name), 63u);
        EXPECT_EQ(0, std::memcmp(r.device_name, name.data(), 63));
        EXPECT_EQ(static_cast<uint8_t>(r.device_name[0]), 0x80);
        EXPECT_EQ(r.rtype[0], 0x81);
        EXPECT_EQ(r.rtype[1], 0xFF);
    }
}

TEST(RoipProtoOddAddress, LoginResultRoundTripKeepsHighBytes)
{
    LoginResult r;
    r.priv_level = -1;
    r.voip_port = 0x7FFF8001;
    const B name = high_text(20, 0x10);
    std::memcpy(r.device_name, name.data(), name.size());
    B msg = build_login_result(r);
    ASSERT_EQ(msg.size(), type_size + login_result_size);
    EXPECT_EQ(0, std::memcmp(msg.data() + type_size + 24, name.data(), name.size()));
    EXPECT_EQ(msg[type_size + 24 + name.size()], 0);
    OddBuffer in(body_of(msg), 3);
    LoginResult d;
    ASSERT_TRUE(decode(in.data(), in.size(), d));
    EXPECT_EQ(d.priv_level, -1);
    EXPECT_EQ(d.voip_port, 0x7FFF8001);
    EXPECT_EQ(std::strlen(d.device_name), name.size());
}

TEST(RoipProtoOddAddress, LoginRequestCredentialsWithHighBytes)
{
    B user = high_text(32, 0x40); // fills the field: no terminator on the wire
    B pass = {0xC3, 0xA9, 0xFF, 0x80, 0x7F, 0x01};
    std::string user_s(user.begin(), user.end());
    std::string pass_s(pass.begin(), pass.end());
    B msg = build_login_request(user_s.c_str(), pass_s.c_str(), 0x80000001u);
    ASSERT_EQ(msg.size(), type_size + login_request_size);
    EXPECT_EQ(0, std::memcmp(msg.data() + 4, user.data(), 32));
    EXPECT_EQ(0, std::memcmp(msg.data() + 36, pass.data(), pass.size()));
    EXPECT_EQ(msg[36 + pass.size()], 0);
    EXPECT_EQ(B(msg.end() - 4, msg.end()), (B{0x01, 0x00, 0x00, 0x80}));
    for (size_t off : odd_offsets()) {
        OddBuffer in(body_of(msg), off);
        LoginRequest r;
        ASSERT_TRUE(decode(in.data(), in.size(), r));
        EXPECT_EQ(0, std::memcmp(r.user, user.data(), 32)) << off;
        EXPECT_EQ(0, std::memcmp(r.passwd, pass.data(), pass.size()));
        EXPECT_EQ(r.syncnum, 0x80000001u);
    }
}

TEST(RoipProtoOddAddress, AsyncSetPttLoginWithHighBytesStaysTerminated)
{
    B body = {0xFF, 0xFF, 0xFF, 0xFF};
    B login = high_text(32, 0);
    body.insert(body.end(), login.begin(), login.end());
    for (size_t off : odd_offsets()) {
        OddBuffer in(body, off);
        AsyncSetPtt e;
        ASSERT_TRUE(decode(in.data(), in.size(), e));
        EXPECT_EQ(e.ptt, -1) << off;
        EXPECT_EQ(std::strlen(e.login), 31u);
        EXPECT_EQ(static_cast<uint8_t>(e.login[30]), 0x80 | 30);
    }
    std::string who = "\xE5\xBC\xA0\xE4\xB8\x89";
    B msg = build_async_setptt(1, who.c_str());
    EXPECT_EQ(0, std::memcmp(msg.data() + 8, who.data(), who.size()));
    EXPECT_EQ(msg[8 + who.size()], 0);
}

TEST(RoipProtoOddAddress, SmallEventBodies)
{
    const B gpio = {0x00, 0x80, 0x00, 0x80, 0xFF, 0xFF, 0x00, 0x00};
    const B upg = {0x80, 0xFF, 0xFF, 0xFF, 0x01, 0x00, 0x00, 0x80, 0xFF, 0x7F, 0x00, 0x00};
    for (size_t off : odd_offsets()) {
        OddBuffer g(gpio, off);
        GpioChanged e;
        ASSERT_TRUE(decode(g.data(), g.size(), e));
        EXPECT_EQ(e.bitmap, 0x80008000u) << off;
        EXPECT_EQ(e.mask, 0xFFFFu);
        OddBuffer u(upg, off);
        UpgradeStatus s;
        ASSERT_TRUE(decode(u.data(), u.size(), s));
        EXPECT_EQ(s.status, -128) << off;
        EXPECT_EQ(s.arg1, static_cast<int32_t>(0x80000001u));
        EXPECT_EQ(s.arg2, 0x7FFF);
    }
}

TEST(RoipProtoOddAddress, ExtendedHeaderWithHighLength)
{
    const B hdr = {0x00, 0x00, 0x10, 0x80, 0xEC, 0x03, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF};
    for (size_t off : odd_offsets()) {
        OddBuffer in(hdr, off);
        ExtHeader h;
        ASSERT_TRUE(decode(in.data(), in.size(), h));
        EXPECT_EQ(h.len, 0x80100000u) << off;
        EXPECT_GT(h.len, server_max_ext_len); // unsigned: a server refuses it
        EXPECT_EQ(h.req, ext_crypto_key);
        EXPECT_EQ(h.rsv, 0xFFFFFFFFu);
    }
}

TEST(RoipProtoOddAddress, FrontFramesWithHighBytesAndLengths)
{
    B f1 = high_text(64, 0);
    B f2 = high_text(64, 0x40);
    B msg = build_front_frames(f1.data(), f2.data(), 64, 0x80000002u);
    ASSERT_EQ(msg.size(), type_size + front_frames_size);
    EXPECT_EQ(B(msg.end() - 12, msg.end()), (B{0x40, 0, 0, 0, 0x40, 0, 0, 0, 0x02, 0x00, 0x00, 0x80}));
    for (size_t off : odd_offsets()) {
        OddBuffer in(body_of(msg), off);
        FrontFrames f;
        ASSERT_TRUE(decode(in.data(), in.size(), f));
        EXPECT_EQ(0, std::memcmp(f.frame1, f1.data(), 64)) << off;
        EXPECT_EQ(0, std::memcmp(f.frame2, f2.data(), 64));
        EXPECT_EQ(f.len1, 64u);
        EXPECT_EQ(f.len2, 64u);
        EXPECT_EQ(f.mode, 0x80000002u);
    }
    EXPECT_TRUE(build_front_frames(f1.data(), f2.data(), 0x80, 0).empty());
}

TEST(RoipProtoOddAddress, DmButtonHighKeyCodes)
{
    B msg = build_dm_button(0x80, 0xFF, 0xFFFFFFFEu);
    EXPECT_EQ(msg, (B{0xBE, 0xBA, 0xAD, 0xDE, 0x06, 0,    0,    0,    0xD2, 0x07, 0,
                      0,    0,    0,    0,    0,    0x80, 0xFF, 0xFE, 0xFF, 0xFF, 0xFF}));
    B p(msg.begin() + type_size + ext_header_size, msg.end());
    for (size_t off : odd_offsets()) {
        OddBuffer in(p, off);
        DmButton b;
        ASSERT_TRUE(decode(in.data(), in.size(), b));
        EXPECT_EQ(b.key, 0x80) << off;
        EXPECT_EQ(b.second, 0xFF);
        EXPECT_EQ(b.mode, 0xFFFFFFFEu);
    }
}

TEST(RoipProtoOddAddress, CryptoKeyHighKeyBytesAndLengths)
{
    B key = high_text(32, 0);
    B p = build_crypto_key_payload(0x80000001u, key.data(), key.size());
    ASSERT_EQ(p.size(), crypto_key_payload_size);
    EXPECT_EQ(B(p.begin(), p.begin() + 12), (B{0x01, 0, 0, 0x80, 0, 0, 0, 0, 0x20, 0, 0, 0}));
    for (size_t off : odd_offsets()) {
        OddBuffer in(p, off);
        CryptoKey k;
        ASSERT_TRUE(decode_crypto_key(in.data(), in.size(), k));
        EXPECT_EQ(k.mode, 0x80000001u) << off;
        EXPECT_EQ(k.key_len, 32u);
        EXPECT_EQ(0, std::memcmp(k.key, key.data(), 32));
    }
    // A key length with its top bit set is huge, not negative.
    for (uint32_t bad_len : {0x80000020u, 0xFFFFFFFFu, 0x80u, 33u}) {
        B q = p;
        q[8] = static_cast<uint8_t>(bad_len);
        q[9] = static_cast<uint8_t>(bad_len >> 8);
        q[10] = static_cast<uint8_t>(bad_len >> 16);
        q[11] = static_cast<uint8_t>(bad_len >> 24);
        OddBuffer in(q, 1);
        CryptoKey k;
        EXPECT_FALSE(decode_crypto_key(in.data(), in.size(), k)) << std::hex << bad_len;
    }
}

TEST(RoipProtoOddAddress, TunnelLengthsWithHighBytes)
{
    B data = high_text(0x80, 0);
    B msg = build_tunnel(packettype_serial_senddata, 0x80, data.data(), data.size());
    ASSERT_EQ(msg.size(), 7u + 0x80);
    EXPECT_EQ(B(msg.begin(), msg.begin() + 7), (B{203, 0, 0, 0, 0x80, 0x80, 0x00}));
    EXPECT_EQ(0, std::memcmp(msg.data() + 7, data.data(), data.size()));

    B big(0xFF80, 0xA5);
    msg = build_tunnel(packettype_serial_senddata2, 0, big.data(), big.size());
    ASSERT_EQ(msg.size(), 7u + 0xFF80);
    EXPECT_EQ(msg[5], 0x80);
    EXPECT_EQ(msg[6], 0xFF);
    B too_big(0x10000, 0);
    EXPECT_TRUE(build_tunnel(packettype_serial_senddata, 0, too_big.data(), too_big.size()).empty());
}

TEST(RoipProtoOddAddress, TunnelledExtendedMessageAtOddAddress)
{
    B status = high_text(0x90, 0);
    B payload = build_dm_status_payload(0x80000003u, 0xFE, status.data(), status.size());
    B msg = build_tunnel_ext(ext_dm_status, payload.data(), payload.size(), 0x80);
    ASSERT_EQ(msg.size(), 7u + ext_header_size + payload.size());
    const size_t n = ext_header_size + payload.size();
    EXPECT_EQ(msg[4], tunnel_channel_ext);
    EXPECT_EQ(msg[5], static_cast<uint8_t>(n));
    EXPECT_EQ(msg[6], static_cast<uint8_t>(n >> 8));
    B data(msg.begin() + 7, msg.end());
    for (size_t off : odd_offsets()) {
        OddBuffer in(data, off);
        ExtHeader h;
        const uint8_t *pl = nullptr;
        ASSERT_TRUE(decode_tunnel_ext(in.data(), in.size(), h, pl));
        EXPECT_EQ(h.req, ext_dm_status) << off;
        EXPECT_EQ(h.rsv, 0x80u);
        DmStatus s;
        ASSERT_TRUE(decode_dm_status(pl, h.len, s));
        EXPECT_EQ(s.a, 0x80000003u);
        EXPECT_EQ(s.b, 0xFE);
        ASSERT_EQ(s.len, status.size());
        EXPECT_EQ(0, std::memcmp(s.data, status.data(), status.size()));
    }
    // An embedded length with its top bit set never matches the tunnel length.
    B bad = data;
    bad[3] = 0x80;
    OddBuffer in(bad, 1);
    ExtHeader h;
    const uint8_t *pl = nullptr;
    EXPECT_FALSE(decode_tunnel_ext(in.data(), in.size(), h, pl));
}

TEST(RoipProtoOddAddress, PolarStatusKeepsHighBytesInNameAndText)
{
    std::string name = "\xC4\xD6\xDC\xA0";
    std::string text = "\xFF\xFE\x80\x81\x82\x83\x84\x85\x86"; // cut to 8
    B p = build_polar_status_payload(name, text, 0x80000000u, 0xFFu);
    ASSERT_EQ(p.size(), polar_status_payload_size);
    EXPECT_EQ(B(p.begin(), p.begin() + 16), (B{0xC4, 0xD6, 0xDC, 0xA0, ' ', ' ', ' ', ' ', 0xFF, 0xFE, 0x80,
                                               0x81, 0x82, 0x83, 0x84, 0x85}));
    for (size_t off : odd_offsets()) {
        OddBuffer in(p, off);
        PolarStatus s;
        ASSERT_TRUE(decode_polar_status(in.data(), in.size(), s));
        EXPECT_EQ(0, std::memcmp(s.name, p.data(), 8)) << off;
        EXPECT_EQ(0, std::memcmp(s.text, p.data() + 8, 8));
        EXPECT_EQ(s.value1, 0x80000000u);
        EXPECT_EQ(s.value2, 0xFFu);
    }
}

TEST(RoipProtoOddAddress, XmlTextWithHighBytesAndLengths)
{
    B raw = high_text(0x80, 0x33);
    std::string text(raw.begin(), raw.end());
    B p = build_xml_text_payload(0x80000000u, 0xFFFFFFFFu, text);
    ASSERT_EQ(p.size(), xml_head_size + 0x80);
    EXPECT_EQ(B(p.begin() + 8, p.begin() + 12), (B{0x80, 0, 0, 0}));
    for (size_t off : odd_offsets()) {
        OddBuffer in(p, off);
        XmlText x;
        ASSERT_TRUE(decode_xml_text(in.data(), in.size(), x));
        EXPECT_EQ(x.a, 0x80000000u) << off;
        EXPECT_EQ(x.b, 0xFFFFFFFFu);
        EXPECT_EQ(x.text, text);
    }
    // n with the top byte set, or one that only matches after 32-bit wrap-around.
    for (uint32_t n : {0x80000080u, 0xFFFFFFF4u, 0xFFFFFFFFu}) {
        B q = p;
        q[8] = static_cast<uint8_t>(n);
        q[9] = static_cast<uint8_t>(n >> 8);
        q[10] = static_cast<uint8_t>(n >> 16);
        q[11] = static_cast<uint8_t>(n >> 24);
        OddBuffer in(q, 3);
        XmlText x;
        EXPECT_FALSE(decode_xml_text(in.data(), in.size(), x)) << std::hex << n;
    }
    B r = build_xml_action_result_payload(0xFFFFFF80u, 0x80u);
    OddBuffer in(r, 1);
    uint32_t a = 0, b = 0;
    ASSERT_TRUE(decode_xml_action_result(in.data(), in.size(), a, b));
    EXPECT_EQ(a, 0xFFFFFF80u);
    EXPECT_EQ(b, 0x80u);
}

TEST(RoipProtoOddAddress, TruncatedOddBuffersAreRefused)
{
    B body(login_result_size, 0xFF);
    for (size_t n = 0; n < login_result_size; n += 7) {
        OddBuffer in(B(body.begin(), body.begin() + n), 1);
        LoginResult r;
        EXPECT_FALSE(decode(in.data(), n, r)) << n;
    }
    OddBuffer in(B(11, 0x80), 3);
    ExtHeader h;
    EXPECT_FALSE(decode(in.data(), in.size(), h));
    const uint8_t *pl = nullptr;
    EXPECT_FALSE(decode_tunnel_ext(in.data(), in.size(), h, pl));
    DmStatus s;
    EXPECT_FALSE(decode_dm_status(in.data(), 8, s));
}
