#include "voice/aes_cipher.h"

#include "base/byteorder.h"

#include <array>
#include <cstdint>
#include <cstring>

// The state and the round keys are held as column words with row 0 in the
// least significant byte: that is the order in which the block's bytes are
// loaded and stored, so no byte swaps are needed on the way in or out.

namespace
{

using Table8 = std::array<uint8_t, 256>;
using Table32 = std::array<uint32_t, 256>;

constexpr Table8 kSbox = {
    0x63, 0x7c, 0x77, 0x7b, 0xf2, 0x6b, 0x6f, 0xc5, 0x30, 0x01, 0x67, 0x2b, 0xfe, 0xd7, 0xab, 0x76,
    0xca, 0x82, 0xc9, 0x7d, 0xfa, 0x59, 0x47, 0xf0, 0xad, 0xd4, 0xa2, 0xaf, 0x9c, 0xa4, 0x72, 0xc0,
    0xb7, 0xfd, 0x93, 0x26, 0x36, 0x3f, 0xf7, 0xcc, 0x34, 0xa5, 0xe5, 0xf1, 0x71, 0xd8, 0x31, 0x15,
    0x04, 0xc7, 0x23, 0xc3, 0x18, 0x96, 0x05, 0x9a, 0x07, 0x12, 0x80, 0xe2, 0xeb, 0x27, 0xb2, 0x75,
    0x09, 0x83, 0x2c, 0x1a, 0x1b, 0x6e, 0x5a, 0xa0, 0x52, 0x3b, 0xd6, 0xb3, 0x29, 0xe3, 0x2f, 0x84,
    0x53, 0xd1, 0x00, 0xed, 0x20, 0xfc, 0xb1, 0x5b, 0x6a, 0xcb, 0xbe, 0x39, 0x4a, 0x4c, 0x58, 0xcf,
    0xd0, 0xef, 0xaa, 0xfb, 0x43, 0x4d, 0x33, 0x85, 0x45, 0xf9, 0x02, 0x7f, 0x50, 0x3c, 0x9f, 0xa8,
    0x51, 0xa3, 0x40, 0x8f, 0x92, 0x9d, 0x38, 0xf5, 0xbc, 0xb6, 0xda, 0x21, 0x10, 0xff, 0xf3, 0xd2,
    0xcd, 0x0c, 0x13, 0xec, 0x5f, 0x97, 0x44, 0x17, 0xc4, 0xa7, 0x7e, 0x3d, 0x64, 0x5d, 0x19, 0x73,
    0x60, 0x81, 0x4f, 0xdc, 0x22, 0x2a, 0x90, 0x88, 0x46, 0xee, 0xb8, 0x14, 0xde, 0x5e, 0x0b, 0xdb,
    0xe0, 0x32, 0x3a, 0x0a, 0x49, 0x06, 0x24, 0x5c, 0xc2, 0xd3, 0xac, 0x62, 0x91, 0x95, 0xe4, 0x79,
    0xe7, 0xc8, 0x37, 0x6d, 0x8d, 0xd5, 0x4e, 0xa9, 0x6c, 0x56, 0xf4, 0xea, 0x65, 0x7a, 0xae, 0x08,
    0xba, 0x78, 0x25, 0x2e, 0x1c, 0xa6, 0xb4, 0xc6, 0xe8, 0xdd, 0x74, 0x1f, 0x4b, 0xbd, 0x8b, 0x8a,
    0x70, 0x3e, 0xb5, 0x66, 0x48, 0x03, 0xf6, 0x0e, 0x61, 0x35, 0x57, 0xb9, 0x86, 0xc1, 0x1d, 0x9e,
    0xe1, 0xf8, 0x98, 0x11, 0x69, 0xd9, 0x8e, 0x94, 0x9b, 0x1e, 0x87, 0xe9, 0xce, 0x55, 0x28, 0xdf,
    0x8c, 0xa1, 0x89, 0x0d, 0xbf, 0xe6, 0x42, 0x68, 0x41, 0x99, 0x2d, 0x0f, 0xb0, 0x54, 0xbb, 0x16};

constexpr Table8 invert(const Table8 &box)
{
    Table8 inv{};
    for (int i = 0; i < 256; ++i)
        inv[box[i]] = static_cast<uint8_t>(i);
    return inv;
}

constexpr Table8 kInvSbox = invert(kSbox);

// Multiplication in GF(2^8) modulo x^8 + x^4 + x^3 + x + 1.
constexpr uint8_t gmul(uint8_t a, uint8_t b)
{
    uint8_t p = 0;
    while (b) {
        if (b & 1)
            p ^= a;
        a = static_cast<uint8_t>((a << 1) ^ ((a & 0x80) ? 0x1b : 0));
        b >>= 1;
    }
    return p;
}

// A column word from its four rows.
constexpr uint32_t column(uint8_t r0, uint8_t r1, uint8_t r2, uint8_t r3)
{
    return uint32_t(r0) | (uint32_t(r1) << 8) | (uint32_t(r2) << 16) | (uint32_t(r3) << 24);
}

// SubBytes and MixColumns of one byte in row 0 of a column; a byte in row r
// gives the same word rotated up by r rows, which keeps one 1 KiB table per
// direction.
constexpr Table32 makeEncTable()
{
    Table32 t{};
    for (int i = 0; i < 256; ++i) {
        const uint8_t s = kSbox[i];
        t[i] = column(gmul(s, 2), s, s, gmul(s, 3));
    }
    return t;
}

constexpr Table32 makeDecTable()
{
    Table32 t{};
    for (int i = 0; i < 256; ++i) {
        const uint8_t s = kInvSbox[i];
        t[i] = column(gmul(s, 14), gmul(s, 9), gmul(s, 13), gmul(s, 11));
    }
    return t;
}

constexpr Table32 kTe = makeEncTable();
constexpr Table32 kTd = makeDecTable();

inline uint32_t ror(uint32_t v, unsigned n)
{
    return (v >> n) | (v << (32 - n));
}

// A table word moved from row 0 to row r.
inline uint32_t toRow1(uint32_t v)
{
    return ror(v, 24);
}
inline uint32_t toRow2(uint32_t v)
{
    return ror(v, 16);
}
inline uint32_t toRow3(uint32_t v)
{
    return ror(v, 8);
}

inline uint8_t row(uint32_t w, int r)
{
    return static_cast<uint8_t>(w >> (8 * r));
}

// The rounds look their tables up by byte offset, state byte times four, cut
// out of the state word by one AND against a mask: on the ARM9 the word's
// shift folds into that AND when the mask is in a register, so each lookup is
// two instructions. inRegister hides a value from constant folding, which
// would otherwise turn the AND into a shift and an AND with an immediate.
constexpr uint32_t kOffsetMask = 0x3FC;

template <typename T> inline T inRegister(T v)
{
    asm("" : "+r"(v));
    return v;
}

inline uint32_t at(const uint8_t *table, uint32_t offset)
{
    return *reinterpret_cast<const uint32_t *>(table + offset);
}

inline uint32_t off0(uint32_t w, uint32_t m)
{
    return (w << 2) & m;
}
inline uint32_t off1(uint32_t w, uint32_t m)
{
    return (w >> 6) & m;
}
inline uint32_t off2(uint32_t w, uint32_t m)
{
    return (w >> 14) & m;
}
inline uint32_t off3(uint32_t w, uint32_t m)
{
    return (w >> 22) & m;
}

// The last round of a column, byte by byte straight to the output: row r
// comes through the S-box from the word given for it, then the round key.
// bm is 0xFF in a register (see inRegister below).
inline void finalColumn(const Table8 &box, uint32_t bm, uint8_t *out, uint32_t w0, uint32_t w1, uint32_t w2,
                        uint32_t w3, uint32_t key)
{
    out[0] = static_cast<uint8_t>(box[w0 & bm] ^ key);
    out[1] = static_cast<uint8_t>(box[(w1 >> 8) & bm] ^ (key >> 8));
    out[2] = static_cast<uint8_t>(box[(w2 >> 16) & bm] ^ (key >> 16));
    out[3] = static_cast<uint8_t>(box[w3 >> 24] ^ (key >> 24));
}

// One column of an inner round: the table words of rows 0-3, taken from the
// words given for them, then the round key.
inline uint32_t roundColumn(const uint8_t *table, uint32_t m, uint32_t w0, uint32_t w1, uint32_t w2,
                            uint32_t w3, uint32_t key)
{
    return at(table, off0(w0, m)) ^ toRow1(at(table, off1(w1, m))) ^ toRow2(at(table, off2(w2, m))) ^
           toRow3(at(table, off3(w3, m))) ^ key;
}

// The block's columns. A block on a word boundary (the payload of a packet
// buffer, 12 bytes in) is four word loads on a little-endian core, where a
// word holds its row 0 in the low byte already; anything else byte by byte.
inline void loadColumns(const uint8_t *in, uint32_t s[4])
{
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    if ((reinterpret_cast<uintptr_t>(in) & 3) == 0) {
        std::memcpy(s, __builtin_assume_aligned(in, 4), 16);
        return;
    }
#endif
    s[0] = bytes::get_le32(in);
    s[1] = bytes::get_le32(in + 4);
    s[2] = bytes::get_le32(in + 8);
    s[3] = bytes::get_le32(in + 12);
}

// One inner round: every column of `in` through the table into `out`.
template <unsigned Shift>
inline void innerRound(const uint8_t *t, uint32_t m, const uint32_t *in, const uint32_t *rk, uint32_t *out)
{
    constexpr unsigned a = Shift & 3, b = (2 * Shift) & 3, d = (3 * Shift) & 3;
    out[0] = roundColumn(t, m, in[0], in[a], in[b], in[d], rk[0]);
    out[1] = roundColumn(t, m, in[1], in[(1 + a) & 3], in[(1 + b) & 3], in[(1 + d) & 3], rk[1]);
    out[2] = roundColumn(t, m, in[2], in[(2 + a) & 3], in[(2 + b) & 3], in[(2 + d) & 3], rk[2]);
    out[3] = roundColumn(t, m, in[3], in[(3 + a) & 3], in[(3 + b) & 3], in[(3 + d) & 3], rk[3]);
}

// One block either way. Column c takes row r from column c + r * Shift:
// Shift 1 is ShiftRows (encryption), 3 is InvShiftRows (the equivalent inverse
// cipher, with its round keys and table).
template <unsigned Shift>
void cipherBlock(const uint32_t *rk, int rounds, const Table32 &table, const Table8 &box, const uint8_t *in,
                 uint8_t *out)
{
    const uint8_t *t = inRegister(reinterpret_cast<const uint8_t *>(table.data()));
    const uint32_t m = inRegister(kOffsetMask);
    const uint32_t *last = rk + 4 * rounds;
    uint32_t s[4];
    loadColumns(in, s);
    s[0] ^= rk[0];
    s[1] ^= rk[1];
    s[2] ^= rk[2];
    s[3] ^= rk[3];
    uint32_t u[4];
    rk += 4;
    // The inner rounds go in pairs, from s to u and back, so that no round
    // ends in copying its columns; an odd count starts with one on its own.
    if ((rounds - 1) & 1) {
        innerRound<Shift>(t, m, s, rk, u);
        s[0] = u[0];
        s[1] = u[1];
        s[2] = u[2];
        s[3] = u[3];
        rk += 4;
    }
    for (; rk != last; rk += 8) {
        innerRound<Shift>(t, m, s, rk, u);
        innerRound<Shift>(t, m, u, rk + 4, s);
    }
    // Final round: no MixColumns.
    constexpr unsigned a = Shift & 3, b = (2 * Shift) & 3, d = (3 * Shift) & 3;
    const uint32_t bm = inRegister(0xFFu);
    finalColumn(box, bm, out, s[0], s[a], s[b], s[d], rk[0]);
    finalColumn(box, bm, out + 4, s[1], s[(1 + a) & 3], s[(1 + b) & 3], s[(1 + d) & 3], rk[1]);
    finalColumn(box, bm, out + 8, s[2], s[(2 + a) & 3], s[(2 + b) & 3], s[(2 + d) & 3], rk[2]);
    finalColumn(box, bm, out + 12, s[3], s[(3 + a) & 3], s[(3 + b) & 3], s[(3 + d) & 3], rk[3]);
}

uint32_t subWord(uint32_t w)
{
    return column(kSbox[row(w, 0)], kSbox[row(w, 1)], kSbox[row(w, 2)], kSbox[row(w, 3)]);
}

uint32_t invMixColumn(uint32_t w)
{
    // kTd applies InvSubBytes first; undo it with the forward S-box.
    return kTd[kSbox[row(w, 0)]] ^ toRow1(kTd[kSbox[row(w, 1)]]) ^ toRow2(kTd[kSbox[row(w, 2)]]) ^
           toRow3(kTd[kSbox[row(w, 3)]]);
}

} // namespace

void AesCipher::setKey(const uint8_t key[kKeySize], int roundCount)
{
    rounds = (roundCount >= 1 && roundCount <= kAes128Rounds) ? roundCount : kAes128Rounds;
    const int words = 4 * (rounds + 1);
    for (int i = 0; i < 4; ++i)
        encKeys[i] = bytes::get_le32(key + 4 * i);
    uint8_t rcon = 0x01;
    for (int i = 4; i < words; ++i) {
        uint32_t temp = encKeys[i - 1];
        if (i % 4 == 0) {
            // RotWord moves row 1 up to row 0.
            temp = subWord(ror(temp, 8)) ^ rcon;
            rcon = gmul(rcon, 2);
        }
        encKeys[i] = encKeys[i - 4] ^ temp;
    }
    // Equivalent inverse cipher: round keys in reverse order, the inner ones
    // passed through InvMixColumns.
    for (int r = 0; r <= rounds; ++r) {
        for (int c = 0; c < 4; ++c) {
            const uint32_t w = encKeys[4 * (rounds - r) + c];
            decKeys[4 * r + c] = (r == 0 || r == rounds) ? w : invMixColumn(w);
        }
    }
}

void AesCipher::encryptBlock(const uint8_t in[kBlockSize], uint8_t out[kBlockSize]) const
{
    cipherBlock<1>(encKeys, rounds, kTe, kSbox, in, out);
}

void AesCipher::decryptBlock(const uint8_t in[kBlockSize], uint8_t out[kBlockSize]) const
{
    cipherBlock<3>(decKeys, rounds, kTd, kInvSbox, in, out);
}
