#include "voice/passphrase_cipher.h"

#include "aes_reference.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

namespace
{

using Bytes = std::vector<uint8_t>;

Bytes datagram(size_t n)
{
    Bytes d(n);
    for (size_t i = 0; i < n; ++i)
        d[i] = static_cast<uint8_t>(i * 7 + 1);
    if (n >= 2) {
        d[0] = 0x80;
        d[1] = 0x08;
    }
    return d;
}

Bytes derived(const char *text)
{
    uint8_t key[16];
    passphrase_derive_key(reinterpret_cast<const uint8_t *>(text), strlen(text), key);
    return Bytes(key, key + 16);
}

TEST(PassphraseKey, TwoCharactersAlternateOverAllSixteenBytes)
{
    const uint8_t c0 = 'a', c1 = 'Z';
    Bytes expected;
    for (int i = 0; i < 16; ++i)
        expected.push_back(static_cast<uint8_t>(((i % 2) ? c1 : c0) * (i + 7)));
    EXPECT_EQ(derived("aZ"), expected);
    EXPECT_EQ(expected[0], static_cast<uint8_t>('a' * 7));
    EXPECT_EQ(expected[1], static_cast<uint8_t>('Z' * 8));
}

TEST(PassphraseKey, LiteralKeyOfAShortText)
{
    // "key": 'k'=0x6B, 'e'=0x65, 'y'=0x79, multiplied by 7, 8, 9, ... mod 256.
    EXPECT_EQ(derived("key"), (Bytes{0xED, 0x28, 0x41, 0x2E, 0x57, 0xAC, 0x6F, 0x86, 0x17, 0xB0, 0xB5, 0x82,
                                     0xF1, 0xE4, 0xED, 0x32}));
}

TEST(PassphraseKey, HighBitCharactersAreTakenUnsigned)
{
    const uint8_t text[1] = {0xFF};
    uint8_t key[16];
    passphrase_derive_key(text, 1, key);
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ(key[i], static_cast<uint8_t>(255 * (i + 7))) << i;
}

TEST(PassphraseKey, TextsLongerThanTheKeyUseOnlyTheirFirstSixteenBytes)
{
    EXPECT_EQ(derived("0123456789abcdefIGNORED"), derived("0123456789abcdef"));
}

TEST(PassphraseCipherUse, CiphersThePayloadOfA172ByteDatagramWithSevenRounds)
{
    PassphraseCipher cipher;
    cipher.setPassphrase("open sesame");
    ASSERT_TRUE(cipher.isEnabled());
    const Bytes plain = datagram(172);
    Bytes d = plain;
    ASSERT_TRUE(cipher.encryptDatagram(d.data(), d.size()));
    EXPECT_EQ(Bytes(d.begin(), d.begin() + 12), Bytes(plain.begin(), plain.begin() + 12));
    const Bytes key = derived("open sesame");
    for (int k = 0; k < 10; ++k) {
        uint8_t expected[16];
        ref::encrypt(key.data(), 7, plain.data() + 12 + 16 * k, expected);
        EXPECT_EQ(Bytes(d.begin() + 12 + 16 * k, d.begin() + 28 + 16 * k), Bytes(expected, expected + 16))
            << k;
    }
    ASSERT_TRUE(cipher.decryptDatagram(d.data(), d.size()));
    EXPECT_EQ(d, plain);
}

TEST(PassphraseCipherUse, KnownDatagramGivesTheKnownCipherText)
{
    PassphraseCipher cipher;
    cipher.setPassphrase("open sesame");
    Bytes d(172);
    for (size_t i = 0; i < d.size(); ++i)
        d[i] = static_cast<uint8_t>(i * 37 + 11);
    d[0] = 0x80;
    d[1] = 0x08;
    const Bytes plain = d;
    ASSERT_TRUE(cipher.encryptDatagram(d.data(), d.size()));
    const Bytes want = ref::fromHex("4cda42149858ff35789d1ad2ee39262331afe31f6d8a215546550454adeb0e2d"
                                    "90aabc6797d8ebe261cf8d40b0d7f010a2bb30d161ddf97ad9fe44eb7ef5ad32"
                                    "7a461d314207560c9cc5ca60c22eae7dad843cb82d3a167523f71cdc5a69c3d5"
                                    "e8f49b1df53e54ea313096a7f0217f54ae1df6df238c5844ffadc1900562f2d3"
                                    "0391032ba5fe1fbbfb7d59cc5326991b3e68a14e36d962dec2971ba3004d6a7a");
    EXPECT_EQ(Bytes(d.begin() + 12, d.end()), want);
    ASSERT_TRUE(cipher.decryptDatagram(d.data(), d.size()));
    EXPECT_EQ(d, plain);
}

TEST(PassphraseCipherUse, DiffersFromAes128WithTheSameKey)
{
    PassphraseCipher cipher;
    cipher.setPassphrase("open sesame");
    const Bytes plain = datagram(172);
    Bytes d = plain;
    cipher.encryptDatagram(d.data(), d.size());
    uint8_t aes[16];
    ASSERT_TRUE(ref::openssl(derived("open sesame").data(), plain.data() + 12, aes, true));
    EXPECT_NE(Bytes(d.begin() + 12, d.begin() + 28), Bytes(aes, aes + 16));
}

TEST(PassphraseCipherUse, OtherLengthsAreNeverTouched)
{
    PassphraseCipher cipher;
    cipher.setPassphrase("pw");
    for (size_t n : {0u, 12u, 45u, 47u, 171u, 173u, 175u, 2048u}) {
        const Bytes plain = datagram(n);
        Bytes d = plain;
        EXPECT_FALSE(cipher.encryptDatagram(d.data(), d.size())) << n;
        EXPECT_FALSE(cipher.decryptDatagram(d.data(), d.size())) << n;
        EXPECT_EQ(d, plain) << n;
    }
}

TEST(PassphraseCipherUse, NoTextOrAnEmptyTextDisablesIt)
{
    PassphraseCipher cipher;
    EXPECT_FALSE(cipher.isEnabled());
    const Bytes plain = datagram(172);
    Bytes d = plain;
    EXPECT_FALSE(cipher.encryptDatagram(d.data(), d.size()));
    EXPECT_EQ(d, plain);

    cipher.setPassphrase("pw");
    EXPECT_TRUE(cipher.isEnabled());
    cipher.setPassphrase(nullptr);
    EXPECT_FALSE(cipher.isEnabled());
    cipher.setPassphrase("pw");
    cipher.setPassphrase("");
    EXPECT_FALSE(cipher.isEnabled());
    EXPECT_FALSE(cipher.decryptDatagram(d.data(), d.size()));
    EXPECT_EQ(d, plain);
}

TEST(PassphraseCipherUse, ANewTextReplacesTheKey)
{
    PassphraseCipher one, two;
    one.setPassphrase("first");
    two.setPassphrase("first");
    two.setPassphrase("second");
    Bytes a = datagram(172), b = datagram(172);
    one.encryptDatagram(a.data(), a.size());
    two.encryptDatagram(b.data(), b.size());
    EXPECT_NE(a, b);
    PassphraseCipher three;
    three.setPassphrase("second");
    Bytes c = datagram(172);
    three.encryptDatagram(c.data(), c.size());
    EXPECT_EQ(b, c);
}

TEST(PassphraseCipherUse, EveryDatagramIsCipheredWithOneWholeKey)
{
    PassphraseCipher cipher;
    cipher.setPassphrase("first");
    const Bytes plain = datagram(172);
    Bytes withFirst = plain, withSecond = plain;
    {
        PassphraseCipher a, b;
        a.setPassphrase("first");
        b.setPassphrase("second");
        a.encryptDatagram(withFirst.data(), withFirst.size());
        b.encryptDatagram(withSecond.data(), withSecond.size());
    }
    std::atomic<bool> stop{false};
    std::thread installer([&] {
        for (int i = 0; !stop; ++i)
            cipher.setPassphrase((i & 1) ? "first" : "second");
    });
    for (int iter = 0; iter < 3000; ++iter) {
        Bytes d = plain;
        ASSERT_TRUE(cipher.encryptDatagram(d.data(), d.size()));
        ASSERT_TRUE(d == withFirst || d == withSecond) << iter;
    }
    stop = true;
    installer.join();
}

} // namespace
