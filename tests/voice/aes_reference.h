// Textbook FIPS-197 cipher for the tests: state array, one step per function,
// any round count. Checked against OpenSSL at ten rounds, it is the oracle for
// the seven-round passphrase cipher.
#pragma once

#include <openssl/evp.h>

#include <cstdint>
#include <string>
#include <vector>

namespace ref
{

inline uint8_t xtime(uint8_t a)
{
    return static_cast<uint8_t>((a << 1) ^ ((a & 0x80) ? 0x1b : 0));
}

inline uint8_t mul(uint8_t a, uint8_t b)
{
    uint8_t p = 0;
    for (; b; b >>= 1, a = xtime(a))
        if (b & 1)
            p ^= a;
    return p;
}

// The S-box from its definition: multiplicative inverse, then the affine map.
inline uint8_t sbox(uint8_t x)
{
    uint8_t inv = 0;
    for (int c = 1; c < 256 && x; ++c)
        if (mul(x, static_cast<uint8_t>(c)) == 1)
            inv = static_cast<uint8_t>(c);
    uint8_t s = 0x63;
    for (int i = 0; i < 8; ++i) {
        const int bit = ((inv >> i) ^ (inv >> ((i + 4) % 8)) ^ (inv >> ((i + 5) % 8)) ^
                         (inv >> ((i + 6) % 8)) ^ (inv >> ((i + 7) % 8))) &
                        1;
        s ^= static_cast<uint8_t>(bit << i);
    }
    return s;
}

struct Tables {
    uint8_t s[256];
    uint8_t inv[256];
    Tables()
    {
        for (int i = 0; i < 256; ++i)
            s[i] = sbox(static_cast<uint8_t>(i));
        for (int i = 0; i < 256; ++i)
            inv[s[i]] = static_cast<uint8_t>(i);
    }
};

inline const Tables &tables()
{
    static const Tables t;
    return t;
}

// Round keys as bytes, 16 per round, rounds + 1 of them.
inline std::vector<uint8_t> expand(const uint8_t key[16], int rounds)
{
    const int words = 4 * (rounds + 1);
    std::vector<uint8_t> w(4 * words);
    for (int i = 0; i < 16; ++i)
        w[i] = key[i];
    uint8_t rcon = 1;
    for (int i = 4; i < words; ++i) {
        uint8_t t[4] = {w[4 * (i - 1)], w[4 * (i - 1) + 1], w[4 * (i - 1) + 2], w[4 * (i - 1) + 3]};
        if (i % 4 == 0) {
            const uint8_t first = t[0];
            t[0] = static_cast<uint8_t>(tables().s[t[1]] ^ rcon);
            t[1] = tables().s[t[2]];
            t[2] = tables().s[t[3]];
            t[3] = tables().s[first];
            rcon = xtime(rcon);
        }
        for (int j = 0; j < 4; ++j)
            w[4 * i + j] = static_cast<uint8_t>(w[4 * (i - 4) + j] ^ t[j]);
    }
    return w;
}

// state[c * 4 + r]: the block in FIPS-197 column order.
inline void addRoundKey(uint8_t *st, const uint8_t *rk)
{
    for (int i = 0; i < 16; ++i)
        st[i] ^= rk[i];
}

inline void shiftRows(uint8_t *st, bool inverse)
{
    uint8_t t[16];
    for (int c = 0; c < 4; ++c)
        for (int r = 0; r < 4; ++r) {
            const int from = inverse ? (c - r + 4) % 4 : (c + r) % 4;
            t[c * 4 + r] = st[from * 4 + r];
        }
    for (int i = 0; i < 16; ++i)
        st[i] = t[i];
}

inline void mixColumns(uint8_t *st, bool inverse)
{
    const uint8_t fwd[4] = {2, 3, 1, 1};
    const uint8_t inv[4] = {14, 11, 13, 9};
    const uint8_t *m = inverse ? inv : fwd;
    for (int c = 0; c < 4; ++c) {
        uint8_t a[4] = {st[c * 4], st[c * 4 + 1], st[c * 4 + 2], st[c * 4 + 3]};
        for (int r = 0; r < 4; ++r) {
            uint8_t v = 0;
            for (int k = 0; k < 4; ++k)
                v ^= mul(m[(k - r + 4) % 4], a[k]);
            st[c * 4 + r] = v;
        }
    }
}

inline void encrypt(const uint8_t key[16], int rounds, const uint8_t in[16], uint8_t out[16])
{
    const std::vector<uint8_t> w = expand(key, rounds);
    uint8_t st[16];
    for (int i = 0; i < 16; ++i)
        st[i] = in[i];
    addRoundKey(st, &w[0]);
    for (int r = 1; r <= rounds; ++r) {
        for (uint8_t &b : st)
            b = tables().s[b];
        shiftRows(st, false);
        if (r != rounds)
            mixColumns(st, false);
        addRoundKey(st, &w[16 * r]);
    }
    for (int i = 0; i < 16; ++i)
        out[i] = st[i];
}

inline void decrypt(const uint8_t key[16], int rounds, const uint8_t in[16], uint8_t out[16])
{
    const std::vector<uint8_t> w = expand(key, rounds);
    uint8_t st[16];
    for (int i = 0; i < 16; ++i)
        st[i] = in[i];
    addRoundKey(st, &w[16 * rounds]);
    for (int r = rounds - 1; r >= 0; --r) {
        shiftRows(st, true);
        for (uint8_t &b : st)
            b = tables().inv[b];
        addRoundKey(st, &w[16 * r]);
        if (r != 0)
            mixColumns(st, true);
    }
    for (int i = 0; i < 16; ++i)
        out[i] = st[i];
}

// OpenSSL's AES-128 on one block; encrypt or decrypt.
inline bool openssl(const uint8_t key[16], const uint8_t in[16], uint8_t out[16], bool enc)
{
    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    int n = 0;
    bool ok = ctx && EVP_CipherInit_ex(ctx, EVP_aes_128_ecb(), nullptr, key, nullptr, enc ? 1 : 0) == 1 &&
              EVP_CIPHER_CTX_set_padding(ctx, 0) == 1 && EVP_CipherUpdate(ctx, out, &n, in, 16) == 1 &&
              n == 16;
    EVP_CIPHER_CTX_free(ctx);
    return ok;
}

// Bytes from a text of hexadecimal pairs.
inline std::vector<uint8_t> fromHex(const char *s)
{
    std::vector<uint8_t> out;
    for (; s[0] && s[1]; s += 2)
        out.push_back(static_cast<uint8_t>(std::stoi(std::string(s, 2), nullptr, 16)));
    return out;
}

} // namespace ref
