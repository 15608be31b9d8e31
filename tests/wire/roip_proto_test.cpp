// Wire format of the binary RoIP protocol: builders and readers against literal
// byte vectors, and readers against truncated, oversized and garbage input.
#include "wire/roip_proto.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>

using namespace proto;
using B = std::vector<uint8_t>;

namespace
{

B zeros(size_t n)
{
    return B(n, 0);
}

B cat(std::initializer_list<B> parts)
{
    B out;
    for (const B &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

B text_field(const char *s, size_t size)
{
    B f(size, 0);
    std::memcpy(f.data(), s, std::min(std::strlen(s), size));
    return f;
}

} // namespace

TEST(ShortMessages, VersionInfoIsTypeZeroThenFourWords)
{
    VersionInfo v{version_word(1, 6), version_word(2, 3), version_word(2, 23), 0x01020304};
    B expect = {0, 0, 0, 0, 0x06, 0, 0x01, 0, 0x03, 0, 0x02, 0, 0x17, 0, 0x02, 0, 0x04, 0x03, 0x02, 0x01};
    EXPECT_EQ(build_version_info(v), expect);

    VersionInfo d;
    ASSERT_TRUE(decode(expect.data() + 4, expect.size() - 4, d));
    EXPECT_EQ(d.ver_proto, 0x00010006u);
    EXPECT_EQ(version_major(d.ver_proto), 1u);
    EXPECT_EQ(version_minor(d.ver_proto), 6u);
    EXPECT_EQ(version_minor(d.ver_fw), 23u);
    EXPECT_EQ(d.build, 0x01020304u);
}

TEST(ShortMessages, VersionHalvesAreReadAsLowBytesOnly)
{
    uint32_t w = version_word(0x0102, 0x0305);
    EXPECT_EQ(w, 0x01020305u);
    EXPECT_EQ(version_major(w), 0x02u);
    EXPECT_EQ(version_minor(w), 0x05u);
}

TEST(ShortMessages, DenyAckAndSimpleRequests)
{
    EXPECT_EQ(build_deny(3), (B{1, 0, 0, 0, 3, 0, 0, 0}));
    EXPECT_EQ(build_deny(-2), (B{1, 0, 0, 0, 0xFE, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(build_ack(), (B{2, 0, 0, 0}));
    EXPECT_EQ(build_setptt(1), (B{5, 0, 0, 0, 1, 0, 0, 0}));
    EXPECT_EQ(build_unlocksql(7), (B{16, 0, 0, 0, 7, 0, 0, 0}));
    EXPECT_EQ(build_gpio_get(), (B{102, 0, 0, 0}));
    EXPECT_EQ(build_gpio_state(0), (B{103, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(build_gpio_state_req(), (B{108, 0, 0, 0}));
    EXPECT_EQ(build_short(0x11223344, 0xAABBCCDD), (B{0x44, 0x33, 0x22, 0x11, 0xDD, 0xCC, 0xBB, 0xAA}));
    EXPECT_EQ(build_front_state(0x5A), (B{205, 0, 0, 0, 0x5A}));
}

TEST(ShortMessages, LoginRequestIsSeventyTwoBytes)
{
    B expect = cat({{3, 0, 0, 0}, text_field("user", 32), text_field("qzv", 32), {0, 0, 0, 0}});
    B got = build_login_request("user", "qzv");
    EXPECT_EQ(got.size(), 72u);
    EXPECT_EQ(got, expect);

    LoginRequest r;
    ASSERT_TRUE(decode(got.data() + 4, got.size() - 4, r));
    EXPECT_STREQ(r.user, "user");
    EXPECT_STREQ(r.passwd, "qzv");
    EXPECT_EQ(r.syncnum, 0u);
}

TEST(ShortMessages, LoginRequestNameOfThirtyTwoCharactersHasNoTerminator)
{
    std::string name(40, 'x');
    B got = build_login_request(name.c_str(), "p", 9);
    ASSERT_EQ(got.size(), 72u);
    for (size_t i = 4; i < 36; ++i)
        EXPECT_EQ(got[i], 'x') << i;
    EXPECT_EQ(got[36], 'p');
    EXPECT_EQ(got[37], 0);
    EXPECT_EQ(got[68], 9);
}

TEST(ShortMessages, LoginResultFieldOffsets)
{
    B body = zeros(120);
    body[0] = 1;                      // Priv.level
    body[4] = 0x0F;                   // Priv.gpiow
    body[8] = 1;                      // Priv.rctl
    body[12] = 0x40, body[13] = 0x1F; // VoipPort 8000
    body[16] = 0x39, body[17] = 0x30; // VoipSyncNum 12345
    body[20] = 3;                     // CodecType
    std::memcpy(body.data() + 24, "site-a", 6);
    body[88] = 0x12, body[89] = 0x34, body[90] = 0x56, body[91] = 0x78;
    B msg = cat({{4, 0, 0, 0}, body});

    LoginResult r;
    ASSERT_TRUE(decode(body.data(), body.size(), r));
    EXPECT_EQ(r.priv_level, 1);
    EXPECT_EQ(r.priv_gpiow, 0x0Fu);
    EXPECT_EQ(r.priv_rctl, 1u);
    EXPECT_EQ(r.voip_port, 8000);
    EXPECT_EQ(r.voip_sync_num, 12345);
    EXPECT_EQ(r.codec_type, 3);
    EXPECT_STREQ(r.device_name, "site-a");
    EXPECT_EQ(r.rtype[0], 0x12);
    EXPECT_EQ(r.rtype[1], 0x34);
    EXPECT_EQ(r.rtype[3], 0x78);
    EXPECT_EQ(build_login_result(r), msg);
}

TEST(ShortMessages, LoginResultDeviceNameIsAlwaysTerminated)
{
    B body = zeros(120);
    std::memset(body.data() + 24, 'N', 64);
    LoginResult r;
    ASSERT_TRUE(decode(body.data(), body.size(), r));
    EXPECT_EQ(std::strlen(r.device_name), 63u);

    // The builder never writes more than 63 characters either.
    B out = build_login_result(r);
    EXPECT_EQ(out[4 + 24 + 62], 'N');
    EXPECT_EQ(out[4 + 24 + 63], 0);
}

TEST(ShortMessages, NegativeLoginFieldsKeepTheirSign)
{
    B body = zeros(120);
    body[0] = 0xFF, body[1] = 0xFF, body[2] = 0xFF, body[3] = 0xFF;
    LoginResult r;
    ASSERT_TRUE(decode(body.data(), body.size(), r));
    EXPECT_EQ(r.priv_level, -1);
}

TEST(Events, AsyncSetPttCarriesLoginOfThirtyOneCharacters)
{
    B msg = build_async_setptt(1, "operator");
    B expect = cat({{0xF5, 0x01, 0, 0, 1, 0, 0, 0}, text_field("operator", 32)});
    EXPECT_EQ(msg, expect);

    std::string longname(40, 'L');
    msg = build_async_setptt(0, longname.c_str());
    EXPECT_EQ(msg.size(), 40u);
    EXPECT_EQ(msg[8 + 30], 'L');
    EXPECT_EQ(msg[8 + 31], 0);

    B body = cat({{0, 0, 0, 0}, B(32, 'Z')});
    AsyncSetPtt e;
    ASSERT_TRUE(decode(body.data(), body.size(), e));
    EXPECT_EQ(e.ptt, 0);
    EXPECT_EQ(std::strlen(e.login), 31u);
}

TEST(Events, GpioUnlockAndUpgradeStatus)
{
    B g = build_async_gpiochanged(0x1000, 0xFFFF);
    EXPECT_EQ(g, (B{0xF6, 0x01, 0, 0, 0x00, 0x10, 0, 0, 0xFF, 0xFF, 0, 0}));
    GpioChanged gc;
    ASSERT_TRUE(decode(g.data() + 4, 8, gc));
    EXPECT_EQ(gc.bitmap, 0x1000u);
    EXPECT_EQ(gc.mask, 0xFFFFu);

    EXPECT_EQ(build_async_unlocksql(1), (B{0xF7, 0x01, 0, 0, 1, 0, 0, 0}));

    B u = build_upgradestatus(-1, 2, 3);
    EXPECT_EQ(u, (B{0xF8, 0x01, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 2, 0, 0, 0, 3, 0, 0, 0}));
    UpgradeStatus us;
    ASSERT_TRUE(decode(u.data() + 4, 12, us));
    EXPECT_EQ(us.status, -1);
    EXPECT_EQ(us.arg1, 2);
    EXPECT_EQ(us.arg2, 3);
}

TEST(Events, ClassificationOfTypeWords)
{
    EXPECT_TRUE(is_event(203));
    EXPECT_TRUE(is_event(501));
    EXPECT_TRUE(is_event(505));
    EXPECT_TRUE(is_event(0xDEADBABDu));
    EXPECT_FALSE(is_event(0xDEADBABEu));
    EXPECT_FALSE(is_event(0xFFFFFFFFu));
    EXPECT_FALSE(is_event(204));
    EXPECT_FALSE(is_event(500));
    EXPECT_FALSE(is_event(1));
    EXPECT_FALSE(is_event(2));
}

TEST(Tunnel, SerialDataLayout)
{
    const uint8_t data[] = {0xAA, 0xBB, 0xCC};
    EXPECT_EQ(build_tunnel(203, 0, data, 3), (B{0xCB, 0, 0, 0, 0, 3, 0, 0xAA, 0xBB, 0xCC}));
    EXPECT_EQ(build_tunnel(204, 2, data, 1), (B{0xCC, 0, 0, 0, 2, 1, 0, 0xAA}));
    EXPECT_EQ(build_tunnel(203, 0, nullptr, 0), (B{0xCB, 0, 0, 0, 0, 0, 0}));
}

TEST(Tunnel, LargestDataFitsAndOneMoreIsRefused)
{
    B big(65535, 0x11);
    B msg = build_tunnel(203, 0, big.data(), big.size());
    ASSERT_EQ(msg.size(), 7u + 65535u);
    EXPECT_EQ(msg[5], 0xFF);
    EXPECT_EQ(msg[6], 0xFF);
    big.push_back(0);
    EXPECT_TRUE(build_tunnel(203, 0, big.data(), big.size()).empty());
}

TEST(Tunnel, EmbeddedExtendedMessage)
{
    const uint8_t st[] = {'o', 'k'};
    B payload = build_dm_status_payload(0x01020304, 0x7F, st, 2);
    EXPECT_EQ(payload, (B{4, 3, 2, 1, 0, 0, 0, 0, 0x7F, 'o', 'k'}));

    B msg = build_tunnel_ext(ext_dm_status, payload.data(), payload.size());
    B expect = cat({{0xCB, 0, 0, 0, 0xFF, 23, 0}, {11, 0, 0, 0, 0xD3, 0x07, 0, 0, 0, 0, 0, 0}, payload});
    EXPECT_EQ(msg, expect);

    ExtHeader h;
    const uint8_t *p = nullptr;
    ASSERT_TRUE(decode_tunnel_ext(msg.data() + 7, msg.size() - 7, h, p));
    EXPECT_EQ(h.len, 11u);
    EXPECT_EQ(h.req, ext_dm_status);
    DmStatus s;
    ASSERT_TRUE(decode_dm_status(p, h.len, s));
    EXPECT_EQ(s.a, 0x01020304u);
    EXPECT_EQ(s.b, 0x7F);
    ASSERT_EQ(s.len, 2u);
    EXPECT_EQ(s.data[0], 'o');
}

TEST(Tunnel, EmbeddedLengthMustMatchTunnelLength)
{
    B d = {9, 0, 0, 0, 0xD3, 0x07, 0, 0, 0, 0, 0, 0};
    d.resize(12 + 9, 0);
    ExtHeader h;
    const uint8_t *p = nullptr;
    EXPECT_TRUE(decode_tunnel_ext(d.data(), d.size(), h, p));
    EXPECT_FALSE(decode_tunnel_ext(d.data(), d.size() - 1, h, p)); // n < len + 12
    d.push_back(0);
    EXPECT_FALSE(decode_tunnel_ext(d.data(), d.size(), h, p)); // n > len + 12
    EXPECT_FALSE(decode_tunnel_ext(d.data(), 11, h, p));       // below 12
    B huge = {0xF4, 0xFF, 0xFF, 0xFF, 0xD3, 0x07, 0, 0, 0, 0, 0, 0};
    EXPECT_FALSE(decode_tunnel_ext(huge.data(), huge.size(), h, p)); // len + 12 wraps in 32 bits
}

TEST(Tunnel, DmStatusNeedsNineBytes)
{
    B p(9, 0);
    DmStatus s;
    ASSERT_TRUE(decode_dm_status(p.data(), 9, s));
    EXPECT_EQ(s.len, 0u);
    EXPECT_FALSE(decode_dm_status(p.data(), 8, s));
}

TEST(FrontFramesMessage, FixedFieldsZeroBeyondLength)
{
    uint8_t f1[64], f2[64];
    for (int i = 0; i < 64; ++i) {
        f1[i] = static_cast<uint8_t>(i + 1);
        f2[i] = static_cast<uint8_t>(0x80 + i);
    }
    B msg = build_front_frames(f1, f2, 3, 0x0A0B0C0D);
    ASSERT_EQ(msg.size(), 144u);
    B expect = cat({{207, 0, 0, 0},
                    {1, 2, 3},
                    zeros(61),
                    {0x80, 0x81, 0x82},
                    zeros(61),
                    {3, 0, 0, 0, 3, 0, 0, 0, 0x0D, 0x0C, 0x0B, 0x0A}});
    EXPECT_EQ(msg, expect);

    FrontFrames ff;
    ASSERT_TRUE(decode(msg.data() + 4, 140, ff));
    EXPECT_EQ(ff.len1, 3u);
    EXPECT_EQ(ff.len2, 3u);
    EXPECT_EQ(ff.mode, 0x0A0B0C0Du);
    EXPECT_EQ(ff.frame2[2], 0x82);
    EXPECT_EQ(ff.frame2[3], 0);

    EXPECT_EQ(build_front_frames(f1, f2, 64, 0).size(), 144u);
    EXPECT_TRUE(build_front_frames(f1, f2, 65, 0).empty());
}

TEST(Extended, HeaderAndPayloadLayout)
{
    EXPECT_EQ(build_ext_header(ext_sbl, 72),
              (B{0xBE, 0xBA, 0xAD, 0xDE, 72, 0, 0, 0, 0xE9, 0x03, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(build_crypto_request(1),
              (B{0xBE, 0xBA, 0xAD, 0xDE, 4, 0, 0, 0, 0xEB, 0x03, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0}));
    EXPECT_EQ(build_dm_status_request(),
              (B{0xBE, 0xBA, 0xAD, 0xDE, 0, 0, 0, 0, 0xD1, 0x07, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(build_dm_button(0x21, 0x22, 5),
              (B{0xBE, 0xBA, 0xAD, 0xDE, 6, 0, 0, 0, 0xD2, 0x07, 0, 0, 0, 0, 0, 0, 0x21, 0x22, 5, 0, 0, 0}));
    EXPECT_EQ(build_ext(packettype_disable_async, nullptr, 0, 0x99),
              (B{0xBE, 0xBA, 0xAD, 0xDE, 0, 0, 0, 0, 0xEA, 0x03, 0, 0, 0x99, 0, 0, 0}));

    ExtHeader h;
    B rest = {0x2C, 0, 0, 0, 0xEC, 0x03, 0, 0, 7, 0, 0, 0};
    ASSERT_TRUE(decode(rest.data(), rest.size(), h));
    EXPECT_EQ(h.len, 44u);
    EXPECT_EQ(h.req, ext_crypto_key);
    EXPECT_EQ(h.rsv, 7u);

    DmButton db;
    B bp = {0x21, 0x22, 5, 0, 0, 0};
    ASSERT_TRUE(decode(bp.data(), bp.size(), db));
    EXPECT_EQ(db.key, 0x21);
    EXPECT_EQ(db.second, 0x22);
    EXPECT_EQ(db.mode, 5u);
}

TEST(Extended, CryptoKeyAcceptedOnlyWhenWellFormed)
{
    B p = cat({{2, 0, 0, 0}, {0xEE, 0xEE, 0xEE, 0xEE}, {16, 0, 0, 0}, B(32, 0)});
    for (int i = 0; i < 16; ++i)
        p[12 + i] = static_cast<uint8_t>(0xA0 + i);
    uint8_t key[16];
    for (int i = 0; i < 16; ++i)
        key[i] = static_cast<uint8_t>(0xA0 + i);
    B built = build_crypto_key_payload(2, key, 16);
    built[4] = built[5] = built[6] = built[7] = 0xEE;
    EXPECT_EQ(built, p);

    CryptoKey k;
    ASSERT_TRUE(decode_crypto_key(p.data(), p.size(), k));
    EXPECT_EQ(k.mode, 2u);
    EXPECT_EQ(k.key_len, 16u);
    EXPECT_EQ(k.key[15], 0xAF);

    B k32 = p;
    k32[8] = 32;
    EXPECT_TRUE(decode_crypto_key(k32.data(), k32.size(), k));

    B k33 = p;
    k33[8] = 33;
    EXPECT_FALSE(decode_crypto_key(k33.data(), k33.size(), k));
    B mode0 = p;
    mode0[0] = 0;
    EXPECT_FALSE(decode_crypto_key(mode0.data(), mode0.size(), k));
    EXPECT_FALSE(decode_crypto_key(p.data(), 40, k));
    B longer = p;
    longer.push_back(0);
    EXPECT_FALSE(decode_crypto_key(longer.data(), longer.size(), k));
}

TEST(Extended, PolarStatusIsSpacePadded)
{
    B p = build_polar_status_payload("ab", "0123456789", 1, 0x01000000);
    B expect = {'a', 'b', ' ', ' ', ' ', ' ', ' ', ' ', '0', '1', '2', '3',
                '4', '5', '6', '7', 1,   0,   0,   0,   0,   0,   0,   1};
    EXPECT_EQ(p, expect);
    PolarStatus s;
    ASSERT_TRUE(decode_polar_status(p.data(), p.size(), s));
    EXPECT_EQ(std::string(s.name, 8), "ab      ");
    EXPECT_EQ(s.value2, 0x01000000u);
    EXPECT_FALSE(decode_polar_status(p.data(), 23, s));
}

TEST(Extended, XmlTextLengthMustMatch)
{
    B p = build_xml_text_payload(1, 2, "<a/>");
    EXPECT_EQ(p, (B{1, 0, 0, 0, 2, 0, 0, 0, 4, 0, 0, 0, '<', 'a', '/', '>'}));
    XmlText x;
    ASSERT_TRUE(decode_xml_text(p.data(), p.size(), x));
    EXPECT_EQ(x.a, 1u);
    EXPECT_EQ(x.b, 2u);
    EXPECT_EQ(x.text, "<a/>");
    EXPECT_FALSE(decode_xml_text(p.data(), p.size() - 1, x));
    EXPECT_FALSE(decode_xml_text(p.data(), 11, x));
    B wrap = {0, 0, 0, 0, 0, 0, 0, 0, 0xFC, 0xFF, 0xFF, 0xFF};
    EXPECT_FALSE(decode_xml_text(wrap.data(), wrap.size(), x));

    B r = build_xml_action_result_payload(7, 8);
    EXPECT_EQ(r, (B{7, 0, 0, 0, 8, 0, 0, 0, 0, 0, 0, 0}));
    uint32_t a = 0, b = 0;
    ASSERT_TRUE(decode_xml_action_result(r.data(), r.size(), a, b));
    EXPECT_EQ(a, 7u);
    EXPECT_EQ(b, 8u);
    EXPECT_FALSE(decode_xml_action_result(r.data(), 11, a, b));
}

TEST(Sizing, FixedBodySizes)
{
    EXPECT_EQ(short_body_size(0), 16);
    EXPECT_EQ(short_body_size(1), 4);
    EXPECT_EQ(short_body_size(2), 0);
    EXPECT_EQ(short_body_size(3), 68);
    EXPECT_EQ(short_body_size(4), 120);
    EXPECT_EQ(short_body_size(5), 4);
    EXPECT_EQ(short_body_size(16), 4);
    EXPECT_EQ(short_body_size(102), 0);
    EXPECT_EQ(short_body_size(103), 4);
    EXPECT_EQ(short_body_size(108), 0);
    EXPECT_EQ(short_body_size(205), 1);
    EXPECT_EQ(short_body_size(207), 140);
    EXPECT_EQ(short_body_size(501), 36);
    EXPECT_EQ(short_body_size(502), 8);
    EXPECT_EQ(short_body_size(503), 4);
    EXPECT_EQ(short_body_size(504), 12);
    EXPECT_EQ(short_body_size(203), -1);
    EXPECT_EQ(short_body_size(204), -1);
    EXPECT_EQ(short_body_size(0xDEADBABEu), -1);
    EXPECT_EQ(short_body_size(505), -1);
}

TEST(Readers, TruncatedInputIsRefused)
{
    B big(200, 0x5A);
    VersionInfo v;
    LoginResult r;
    LoginRequest lr;
    ExtHeader h;
    AsyncSetPtt sp;
    GpioChanged g;
    UpgradeStatus u;
    FrontFrames f;
    DmButton db;
    EXPECT_FALSE(decode(big.data(), 15, v));
    EXPECT_FALSE(decode(big.data(), 119, r));
    EXPECT_FALSE(decode(big.data(), 67, lr));
    EXPECT_FALSE(decode(big.data(), 11, h));
    EXPECT_FALSE(decode(big.data(), 35, sp));
    EXPECT_FALSE(decode(big.data(), 7, g));
    EXPECT_FALSE(decode(big.data(), 11, u));
    EXPECT_FALSE(decode(big.data(), 139, f));
    EXPECT_FALSE(decode(big.data(), 5, db));
    EXPECT_FALSE(decode(nullptr, 200, v));
    EXPECT_FALSE(decode(nullptr, 200, r));
}

TEST(Readers, OversizedInputReadsOnlyTheRecord)
{
    B big(4096, 0xFF);
    LoginResult r;
    ASSERT_TRUE(decode(big.data(), big.size(), r));
    EXPECT_EQ(std::strlen(r.device_name), 63u);
    AsyncSetPtt sp;
    ASSERT_TRUE(decode(big.data(), big.size(), sp));
    EXPECT_EQ(std::strlen(sp.login), 31u);
}

TEST(Readers, GarbageNeverReadsPastTheBuffer)
{
    std::mt19937 rng(1234);
    for (int round = 0; round < 2000; ++round) {
        size_t n = rng() % 80;
        std::vector<uint8_t> buf(n);
        for (auto &c : buf)
            c = static_cast<uint8_t>(rng());
        const uint8_t *p = buf.empty() ? nullptr : buf.data();
        CryptoKey k;
        DmStatus s;
        PolarStatus ps;
        XmlText x;
        ExtHeader h;
        const uint8_t *pl = nullptr;
        uint32_t a, b;
        if (decode_crypto_key(p, n, k)) {
            EXPECT_LE(k.key_len, 32u);
        }
        if (decode_dm_status(p, n, s)) {
            EXPECT_EQ(s.len + 9, n);
        }
        (void)decode_polar_status(p, n, ps);
        if (decode_xml_text(p, n, x)) {
            EXPECT_EQ(x.text.size() + 12, n);
        }
        if (decode_tunnel_ext(p, n, h, pl)) {
            EXPECT_EQ(h.len + 12u, n);
        }
        (void)decode_xml_action_result(p, n, a, b);
    }
}
