#include "voice/voice_crypto.h"

#include "aes_reference.h"

#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>
#include <vector>

namespace
{

using Bytes = std::vector<uint8_t>;

const uint8_t kKeyA[16] = {0x2b, 0x7e, 0x15, 0x16, 0x28, 0xae, 0xd2, 0xa6,
                           0xab, 0xf7, 0x15, 0x88, 0x09, 0xcf, 0x4f, 0x3c};
const uint8_t kKeyB[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};

// A plain RTP packet with an n-byte payload.
Bytes plainPacket(size_t n, uint8_t seed = 1)
{
    Bytes p(12 + n);
    const uint8_t header[12] = {0x80, 0x08, 0x00, 0x07, 0x00, 0x00, 0x04, 0x60, 0xCA, 0xFE, 0xBA, 0xBE};
    std::copy(header, header + 12, p.begin());
    for (size_t i = 0; i < n; ++i)
        p[12 + i] = static_cast<uint8_t>(seed + i * 13);
    return p;
}

CryptoContext contextWithKey(const uint8_t *key)
{
    EXPECT_EQ(crypt_setkey(key, 16, 1), 0);
    CryptoContext ctx;
    EXPECT_EQ(crypt_getctx(&ctx), 0);
    return ctx;
}

int wrap(const CryptoContext &ctx, const Bytes &in, Bytes &out, size_t cap = 1024)
{
    out.assign(cap, 0xEE);
    size_t len = cap;
    const int rc = wrap_packet(&ctx, out.data(), &len, in.data(), in.size());
    if (rc == 0)
        out.resize(len);
    return rc;
}

int unwrap(const CryptoContext &ctx, const Bytes &in, Bytes &out, size_t cap = 1024)
{
    out.assign(cap, 0xEE);
    size_t len = cap;
    const int rc = unwrap_packet(&ctx, out.data(), &len, in.data(), in.size());
    if (rc == 0)
        out.resize(len);
    return rc;
}

Bytes aesBlock(const uint8_t *key, const uint8_t *in)
{
    Bytes out(16);
    EXPECT_TRUE(ref::openssl(key, in, out.data(), true));
    return out;
}

TEST(VoiceKey, ModeOneWithSixteenBytesInstallsTheKey)
{
    ASSERT_EQ(crypt_setkey(kKeyA, 16, 1), 0);
    CryptoContext ctx;
    ASSERT_EQ(crypt_getctx(&ctx), 0);
    EXPECT_EQ(ctx.mode, 1u);
    EXPECT_EQ(Bytes(ctx.key, ctx.key + 16), Bytes(kKeyA, kKeyA + 16));
}

TEST(VoiceKey, ModeZeroSwitchesOffAndKeepsTheKey)
{
    ASSERT_EQ(crypt_setkey(kKeyA, 16, 1), 0);
    ASSERT_EQ(crypt_setkey(nullptr, 0, 0), 0);
    CryptoContext ctx;
    ASSERT_EQ(crypt_getctx(&ctx), 0);
    EXPECT_EQ(ctx.mode, 0u);
    EXPECT_EQ(Bytes(ctx.key, ctx.key + 16), Bytes(kKeyA, kKeyA + 16));
}

TEST(VoiceKey, BadLengthsAndModesChangeNothing)
{
    ASSERT_EQ(crypt_setkey(kKeyA, 16, 1), 0);
    EXPECT_EQ(crypt_setkey(kKeyB, 15, 1), -1);
    EXPECT_EQ(crypt_setkey(kKeyB, 17, 1), -1);
    EXPECT_EQ(crypt_setkey(kKeyB, 16, 2), -1);
    EXPECT_EQ(crypt_setkey(kKeyB, 16, -1), -1);
    EXPECT_EQ(crypt_setkey(nullptr, 16, 1), -1);
    CryptoContext ctx;
    ASSERT_EQ(crypt_getctx(&ctx), 0);
    EXPECT_EQ(ctx.mode, 1u);
    EXPECT_EQ(Bytes(ctx.key, ctx.key + 16), Bytes(kKeyA, kKeyA + 16));
    // The round keys are still those of key A.
    Bytes wrapped;
    const Bytes plain = plainPacket(160);
    ASSERT_EQ(wrap(ctx, plain, wrapped), 0);
    EXPECT_EQ(Bytes(wrapped.begin() + 15, wrapped.begin() + 31), aesBlock(kKeyA, plain.data() + 12));
    EXPECT_EQ(crypt_getctx(nullptr), -1);
}

TEST(WrapPacket, AlawPacketBecomes175BytesOfAesBlocks)
{
    const CryptoContext ctx = contextWithKey(kKeyA);
    const Bytes plain = plainPacket(160);
    Bytes wrapped;
    ASSERT_EQ(wrap(ctx, plain, wrapped), 0);
    ASSERT_EQ(wrapped.size(), 175u);
    EXPECT_EQ(wrapped[0], 0x80);
    EXPECT_EQ(wrapped[1], 0x77);
    EXPECT_EQ(Bytes(wrapped.begin() + 2, wrapped.begin() + 12), Bytes(plain.begin() + 2, plain.begin() + 12));
    EXPECT_EQ(Bytes(wrapped.begin() + 12, wrapped.begin() + 15), (Bytes{0x00, 0xA0, 0x08}));
    for (int k = 0; k < 10; ++k)
        EXPECT_EQ(Bytes(wrapped.begin() + 15 + 16 * k, wrapped.begin() + 31 + 16 * k),
                  aesBlock(kKeyA, plain.data() + 12 + 16 * k))
            << k;
    EXPECT_EQ(wrapped_packet_size(172), 175u);
}

TEST(WrapPacket, GsmPacketPadsTheLastBlockWithZeros)
{
    const CryptoContext ctx = contextWithKey(kKeyA);
    const Bytes plain = plainPacket(33);
    Bytes wrapped;
    ASSERT_EQ(wrap(ctx, plain, wrapped), 0);
    ASSERT_EQ(wrapped.size(), 63u);
    EXPECT_EQ(wrapped[12], 0x00);
    EXPECT_EQ(wrapped[13], 0x21);
    EXPECT_EQ(wrapped[14], 0x08);
    uint8_t last[16] = {plain[12 + 32]};
    EXPECT_EQ(Bytes(wrapped.begin() + 47, wrapped.end()), aesBlock(kKeyA, last));
    EXPECT_EQ(wrapped_packet_size(45), 63u);
}

TEST(WrapPacket, KnownPacketGivesTheKnownWrap)
{
    const CryptoContext ctx = contextWithKey(kKeyA);
    Bytes plain(45);
    for (size_t i = 0; i < plain.size(); ++i)
        plain[i] = static_cast<uint8_t>(i * 37 + 11);
    plain[0] = 0x80;
    plain[1] = 0x08;
    Bytes wrapped;
    ASSERT_EQ(wrap(ctx, plain, wrapped), 0);
    EXPECT_EQ(wrapped, ref::fromHex("8077557a9fc4e90e33587da200210895c209e0a799eac0324d7cf672b507990e"
                                    "09a2e72feede786e02b9971f5a13add96b2771789f62162509eaf181aaf34d"));
    Bytes back;
    ASSERT_EQ(unwrap(ctx, wrapped, back), 0);
    EXPECT_EQ(back, plain);
}

TEST(WrapPacket, SpeexPacketIs47Bytes)
{
    const CryptoContext ctx = contextWithKey(kKeyA);
    Bytes wrapped;
    ASSERT_EQ(wrap(ctx, plainPacket(20), wrapped), 0);
    EXPECT_EQ(wrapped.size(), 47u);
    EXPECT_EQ(wrapped_packet_size(32), 47u);
}

TEST(WrapPacket, MarkerAndPayloadTypeByteTravelInsideTheWrap)
{
    const CryptoContext ctx = contextWithKey(kKeyA);
    Bytes plain = plainPacket(160);
    plain[1] = 0x88;
    Bytes wrapped, back;
    ASSERT_EQ(wrap(ctx, plain, wrapped), 0);
    EXPECT_EQ(wrapped[14], 0x88);
    ASSERT_EQ(unwrap(ctx, wrapped, back), 0);
    EXPECT_EQ(back, plain);
}

TEST(WrapPacket, KeyOffCopiesThePacketUnchanged)
{
    contextWithKey(kKeyA);
    CryptoContext off;
    const Bytes plain = plainPacket(160);
    Bytes out;
    ASSERT_EQ(wrap(off, plain, out), 0);
    EXPECT_EQ(out, plain);
    EXPECT_EQ(wrap(off, plain, out, 171), -1);
}

TEST(WrapPacket, AlreadyWrappedPacketIsNotWrappedTwice)
{
    const CryptoContext ctx = contextWithKey(kKeyA);
    Bytes once, twice;
    ASSERT_EQ(wrap(ctx, plainPacket(160), once), 0);
    ASSERT_EQ(wrap(ctx, once, twice), 0);
    EXPECT_EQ(twice, once);
}

TEST(WrapPacket, RefusesShortInputSmallOutputAndUnknownModes)
{
    CryptoContext ctx = contextWithKey(kKeyA);
    Bytes out;
    const Bytes three = plainPacket(3);
    for (size_t n = 0; n < 15; ++n)
        EXPECT_EQ(wrap(ctx, Bytes(three.begin(), three.begin() + n), out), -1) << n;
    EXPECT_EQ(wrap(ctx, plainPacket(3), out), 0);
    EXPECT_EQ(out.size(), 31u);
    EXPECT_EQ(wrap(ctx, plainPacket(160), out, 172 + 17), -1);
    EXPECT_EQ(wrap(ctx, plainPacket(160), out, 172 + 18), 0);
    ctx.mode = 2;
    EXPECT_EQ(wrap(ctx, plainPacket(160), out), -1);
}

TEST(UnwrapPacket, RestoresTheWrappedPacket)
{
    const CryptoContext ctx = contextWithKey(kKeyB);
    for (size_t n : {3u, 15u, 16u, 17u, 20u, 33u, 160u, 500u}) {
        const Bytes plain = plainPacket(n, static_cast<uint8_t>(n));
        Bytes wrapped, back;
        ASSERT_EQ(wrap(ctx, plain, wrapped), 0) << n;
        ASSERT_EQ(unwrap(ctx, wrapped, back), 0) << n;
        EXPECT_EQ(back, plain) << n;
    }
}

TEST(UnwrapPacket, PlainPacketsAndKeyOffPassUnchanged)
{
    const CryptoContext ctx = contextWithKey(kKeyA);
    const Bytes plain = plainPacket(160);
    Bytes out;
    ASSERT_EQ(unwrap(ctx, plain, out), 0);
    EXPECT_EQ(out, plain);
    EXPECT_EQ(unwrap(ctx, plain, out, 171), -1);

    Bytes wrapped;
    ASSERT_EQ(wrap(ctx, plain, wrapped), 0);
    CryptoContext off;
    ASSERT_EQ(unwrap(off, wrapped, out), 0);
    EXPECT_EQ(out, wrapped);
}

TEST(UnwrapPacket, AnotherKeyGivesAnotherPayload)
{
    const CryptoContext a = contextWithKey(kKeyA);
    const Bytes plain = plainPacket(160);
    Bytes wrapped, back;
    ASSERT_EQ(wrap(a, plain, wrapped), 0);
    const CryptoContext b = contextWithKey(kKeyB);
    ASSERT_EQ(unwrap(b, wrapped, back), 0);
    EXPECT_EQ(back.size(), plain.size());
    EXPECT_NE(back, plain);
}

TEST(UnwrapPacket, TruncatedPacketsAreRefused)
{
    const CryptoContext ctx = contextWithKey(kKeyA);
    Bytes wrapped, out;
    ASSERT_EQ(wrap(ctx, plainPacket(160), wrapped), 0);
    for (size_t n = 0; n < wrapped.size(); ++n)
        EXPECT_EQ(unwrap(ctx, Bytes(wrapped.begin(), wrapped.begin() + n), out), -1) << n;
}

TEST(UnwrapPacket, DeclaredLengthBeyondTheDataIsRefused)
{
    const CryptoContext ctx = contextWithKey(kKeyA);
    Bytes wrapped, out;
    ASSERT_EQ(wrap(ctx, plainPacket(160), wrapped), 0);
    wrapped[12] = 0x00;
    wrapped[13] = 0xA1; // 161: eleven blocks would be needed, ten are present
    EXPECT_EQ(unwrap(ctx, wrapped, out), -1);
    wrapped[12] = 0xFF;
    wrapped[13] = 0xFF;
    EXPECT_EQ(unwrap(ctx, wrapped, out), -1);
}

TEST(UnwrapPacket, LengthWhoseBlocksRunPastTheDatagramIsRefused)
{
    const CryptoContext ctx = contextWithKey(kKeyA);
    Bytes wrapped, out;
    ASSERT_EQ(wrap(ctx, plainPacket(160), wrapped), 0);
    // 172 bytes declare 157: fits the data, but its tenth block would need
    // three bytes past the end of the datagram.
    wrapped.resize(172);
    wrapped[12] = 0x00;
    wrapped[13] = 157;
    EXPECT_EQ(unwrap(ctx, wrapped, out), -1);
}

TEST(UnwrapPacket, ShorterDeclaredLengthDropsTheTail)
{
    const CryptoContext ctx = contextWithKey(kKeyA);
    const Bytes plain = plainPacket(160);
    Bytes wrapped, out;
    ASSERT_EQ(wrap(ctx, plain, wrapped), 0);
    wrapped[13] = 150; // ten blocks still cover it
    ASSERT_EQ(unwrap(ctx, wrapped, out), 0);
    EXPECT_EQ(out, Bytes(plain.begin(), plain.begin() + 162));
    wrapped[13] = 0;
    ASSERT_EQ(unwrap(ctx, wrapped, out), 0);
    EXPECT_EQ(out, Bytes(plain.begin(), plain.begin() + 12));
}

TEST(UnwrapPacket, OutputTooSmallOrUnknownModeIsRefused)
{
    CryptoContext ctx = contextWithKey(kKeyA);
    Bytes wrapped, out;
    ASSERT_EQ(wrap(ctx, plainPacket(160), wrapped), 0);
    EXPECT_EQ(unwrap(ctx, wrapped, out, 174), -1);
    EXPECT_EQ(unwrap(ctx, wrapped, out, 175), 0);
    ctx.mode = 7;
    EXPECT_EQ(unwrap(ctx, wrapped, out), -1);
}

TEST(UnwrapPacket, GarbageNeverWritesPastTheOutput)
{
    const CryptoContext ctx = contextWithKey(kKeyA);
    std::mt19937 rng(99);
    for (int iter = 0; iter < 5000; ++iter) {
        Bytes in(rng() % 300);
        for (auto &b : in)
            b = static_cast<uint8_t>(rng());
        if (in.size() > 1 && (iter & 1))
            in[1] = 0x77;
        const size_t cap = rng() % 320;
        Bytes out(cap + 16, 0xEE);
        size_t len = cap;
        const int rc = unwrap_packet(&ctx, out.data(), &len, in.data(), in.size());
        if (rc == 0) {
            ASSERT_LE(len, cap);
            ASSERT_GE(len, 12u);
        }
        for (size_t i = cap; i < out.size(); ++i)
            ASSERT_EQ(out[i], 0xEE);
    }
}

TEST(VoiceKeyConcurrency, EveryPacketIsEncryptedWithOneWholeKey)
{
    const CryptoContext ctx = contextWithKey(kKeyA);
    const Bytes plain = plainPacket(160);
    const Bytes blockA = aesBlock(kKeyA, plain.data() + 12);
    const Bytes blockB = aesBlock(kKeyB, plain.data() + 12);
    std::atomic<bool> stop{false};
    std::thread installer([&] {
        for (int i = 0; !stop; ++i)
            crypt_setkey((i & 1) ? kKeyA : kKeyB, 16, 1);
    });
    for (int iter = 0; iter < 3000; ++iter) {
        Bytes wrapped;
        ASSERT_EQ(wrap(ctx, plain, wrapped), 0);
        const Bytes first(wrapped.begin() + 15, wrapped.begin() + 31);
        ASSERT_TRUE(first == blockA || first == blockB) << iter;
    }
    stop = true;
    installer.join();
}

} // namespace
