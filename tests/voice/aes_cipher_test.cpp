#include "voice/aes_cipher.h"

#include "aes_reference.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

namespace
{

using Block = std::vector<uint8_t>;

Block hex(const char *s)
{
    return ref::fromHex(s);
}

Block encrypt(const AesCipher &aes, const Block &in)
{
    Block out(16);
    aes.encryptBlock(in.data(), out.data());
    return out;
}

Block decrypt(const AesCipher &aes, const Block &in)
{
    Block out(16);
    aes.decryptBlock(in.data(), out.data());
    return out;
}

TEST(AesCipherVectors, Fips197AppendixB)
{
    AesCipher aes;
    aes.setKey(hex("2b7e151628aed2a6abf7158809cf4f3c").data());
    EXPECT_EQ(aes.getRounds(), 10);
    EXPECT_EQ(encrypt(aes, hex("3243f6a8885a308d313198a2e0370734")), hex("3925841d02dc09fbdc118597196a0b32"));
    EXPECT_EQ(decrypt(aes, hex("3925841d02dc09fbdc118597196a0b32")), hex("3243f6a8885a308d313198a2e0370734"));
}

TEST(AesCipherVectors, Fips197AppendixC1)
{
    AesCipher aes;
    aes.setKey(hex("000102030405060708090a0b0c0d0e0f").data());
    EXPECT_EQ(encrypt(aes, hex("00112233445566778899aabbccddeeff")), hex("69c4e0d86a7b0430d8cdb78070b4c55a"));
    EXPECT_EQ(decrypt(aes, hex("69c4e0d86a7b0430d8cdb78070b4c55a")), hex("00112233445566778899aabbccddeeff"));
}

TEST(AesCipherVectors, Fips197AppendixA1KeyExpansionEndsInTheLastRoundKey)
{
    // The reference's schedule is checked against the appendix's last round
    // key; the cipher agrees with the reference on every block below.
    const Block key = hex("2b7e151628aed2a6abf7158809cf4f3c");
    const std::vector<uint8_t> w = ref::expand(key.data(), 10);
    EXPECT_EQ(Block(w.end() - 16, w.end()), hex("d014f9a8c9ee2589e13f0cc8b6630ca6"));
    EXPECT_EQ(Block(w.begin() + 16, w.begin() + 32), hex("a0fafe1788542cb123a339392a6c7605"));
}

TEST(AesCipherVectors, TheTestReferenceAgreesWithTheAppendix)
{
    Block out(16);
    ref::encrypt(hex("000102030405060708090a0b0c0d0e0f").data(), 10,
                 hex("00112233445566778899aabbccddeeff").data(), out.data());
    EXPECT_EQ(out, hex("69c4e0d86a7b0430d8cdb78070b4c55a"));
}

TEST(AesCipherOpenSsl, RandomKeysAndBlocksMatchOpenSslBothWays)
{
    std::mt19937 rng(12345);
    AesCipher aes;
    for (int iter = 0; iter < 2000; ++iter) {
        Block key(16), plain(16), expected(16), back(16);
        for (auto &b : key)
            b = static_cast<uint8_t>(rng());
        for (auto &b : plain)
            b = static_cast<uint8_t>(rng());
        aes.setKey(key.data());
        ASSERT_TRUE(ref::openssl(key.data(), plain.data(), expected.data(), true));
        const Block cipher = encrypt(aes, plain);
        ASSERT_EQ(cipher, expected) << iter;
        ASSERT_TRUE(ref::openssl(key.data(), cipher.data(), back.data(), false));
        ASSERT_EQ(back, plain);
        ASSERT_EQ(decrypt(aes, cipher), plain) << iter;
    }
}

TEST(AesCipherRounds, EveryRoundCountMatchesTheTextbookCipher)
{
    std::mt19937 rng(777);
    for (int rounds = 1; rounds <= 10; ++rounds) {
        for (int iter = 0; iter < 50; ++iter) {
            Block key(16), plain(16), expected(16), back(16);
            for (auto &b : key)
                b = static_cast<uint8_t>(rng());
            for (auto &b : plain)
                b = static_cast<uint8_t>(rng());
            AesCipher aes;
            aes.setKey(key.data(), rounds);
            ASSERT_EQ(aes.getRounds(), rounds);
            ref::encrypt(key.data(), rounds, plain.data(), expected.data());
            ASSERT_EQ(encrypt(aes, plain), expected) << rounds;
            ref::decrypt(key.data(), rounds, expected.data(), back.data());
            ASSERT_EQ(back, plain);
            ASSERT_EQ(decrypt(aes, expected), plain) << rounds;
        }
    }
}

TEST(AesCipherRounds, SevenRoundsDifferFromTen)
{
    const Block key = hex("000102030405060708090a0b0c0d0e0f");
    AesCipher seven, ten;
    seven.setKey(key.data(), 7);
    ten.setKey(key.data(), 10);
    const Block plain = hex("00112233445566778899aabbccddeeff");
    EXPECT_NE(encrypt(seven, plain), encrypt(ten, plain));
}

TEST(AesCipherRounds, OutOfRangeRoundCountsFallBackToAes128)
{
    const Block key = hex("000102030405060708090a0b0c0d0e0f");
    for (int rounds : {0, -1, 11, 14}) {
        AesCipher aes;
        aes.setKey(key.data(), rounds);
        EXPECT_EQ(aes.getRounds(), 10);
        EXPECT_EQ(encrypt(aes, hex("00112233445566778899aabbccddeeff")),
                  hex("69c4e0d86a7b0430d8cdb78070b4c55a"));
    }
}

TEST(AesCipherBlocks, InPlaceEncryptionAndDecryption)
{
    AesCipher aes;
    aes.setKey(hex("000102030405060708090a0b0c0d0e0f").data());
    Block b = hex("00112233445566778899aabbccddeeff");
    aes.encryptBlock(b.data(), b.data());
    EXPECT_EQ(b, hex("69c4e0d86a7b0430d8cdb78070b4c55a"));
    aes.decryptBlock(b.data(), b.data());
    EXPECT_EQ(b, hex("00112233445566778899aabbccddeeff"));
}

// Blocks inside packets start at any byte: 12 in for a plain payload, 15 in
// for a wrapped one. Every start, in and out, gives the same bytes.
TEST(AesCipherBlocks, BlocksAtAnyAlignmentGiveTheSameBytes)
{
    std::mt19937 rng(4242);
    for (int rounds : {7, 10, 1, 2}) {
        Block key(16), plain(16), expected(16);
        for (auto &b : key)
            b = static_cast<uint8_t>(rng());
        for (auto &b : plain)
            b = static_cast<uint8_t>(rng());
        AesCipher aes;
        aes.setKey(key.data(), rounds);
        ref::encrypt(key.data(), rounds, plain.data(), expected.data());
        for (size_t from = 0; from < 4; ++from) {
            for (size_t to = 0; to < 4; ++to) {
                SCOPED_TRACE(std::to_string(rounds) + " rounds, from +" + std::to_string(from) + " to +" +
                             std::to_string(to));
                Block src(20), dst(20, 0xEE);
                std::copy(plain.begin(), plain.end(), src.begin() + from);
                aes.encryptBlock(src.data() + from, dst.data() + to);
                EXPECT_EQ(Block(dst.begin() + to, dst.begin() + to + 16), expected);
                std::copy(expected.begin(), expected.end(), src.begin() + from);
                aes.decryptBlock(src.data() + from, dst.data() + to);
                EXPECT_EQ(Block(dst.begin() + to, dst.begin() + to + 16), plain);
            }
        }
    }
}

TEST(AesCipherBlocks, NewKeyReplacesTheOldOne)
{
    AesCipher aes;
    aes.setKey(hex("ffffffffffffffffffffffffffffffff").data(), 7);
    aes.setKey(hex("000102030405060708090a0b0c0d0e0f").data());
    EXPECT_EQ(encrypt(aes, hex("00112233445566778899aabbccddeeff")), hex("69c4e0d86a7b0430d8cdb78070b4c55a"));
}

} // namespace
