#include "audio/codec_alaw.h"

#include <cstdint>
#include <cstring>

namespace
{

// The frame loops. On the board's ARM9 (ARMv5TE) they are written out in
// assembly, because that core has what the per-sample rules need in one step
// each and the compiler does not use them so: CLZ finds the segment, QSUB
// takes the magnitude -x with the full-scale clamp, conditional execution
// applies the sign, and register-shifted operands fold the mantissa and
// segment arithmetic. Every code and sample comes out exactly as from
// alaw_encode and alaw_decode, which do the head and tail of a frame and all
// of it elsewhere.
#if defined(__arm__) && defined(__ARM_FEATURE_CLZ) && defined(__ARM_FEATURE_QBIT)

// One sample whose 16 bits stand in the top half of s, the flags set from s:
// U = |s| (saturated), E = clz(U | 0x01000000) (7 below 512), then
// code = (U >> (27 - E)) + 16 * (7 - E) + (positive ? 128 : 0), XOR 0x55.
#define GW_ALAW_ENC_ONE                                                                                      \
    "qsubmi  %[s], %[zero], %[s]\n\t"                                                                        \
    "orr     %[t], %[s], #0x01000000\n\t"                                                                    \
    "clz     %[t], %[t]\n\t"                                                                                 \
    "rsb     %[u], %[t], #27\n\t"                                                                            \
    "subpl   %[t], %[k240], %[t], lsl #4\n\t"                                                                \
    "submi   %[t], %[k112], %[t], lsl #4\n\t"                                                                \
    "add     %[s], %[t], %[s], lsr %[u]\n\t"                                                                 \
    "eor     %[s], %[s], #0x55\n\t"                                                                          \
    "strb    %[s], [%[out]], #1\n\t"

// Two samples of one aligned word, the first in its low half.
#define GW_ALAW_ENC_PAIR                                                                                     \
    "ldr     %[w], [%[in]], #4\n\t"                                                                          \
    "movs    %[s], %[w], lsl #16\n\t" GW_ALAW_ENC_ONE "bics    %[s], %[w], %[ffff]\n\t" GW_ALAW_ENC_ONE

void encode_frame(uint8_t *out, const int16_t *in, int n)
{
    if (n > 0 && (reinterpret_cast<uintptr_t>(in) & 2)) {
        *out++ = alaw_encode(*in++);
        --n;
    }
    int quads = n >> 2;
    if (quads > 0) {
        uint32_t w, s, t, u;
        asm volatile("1:\n\t" GW_ALAW_ENC_PAIR GW_ALAW_ENC_PAIR "subs    %[n], %[n], #1\n\t"
                     "bne     1b"
                     : [in] "+r"(in), [out] "+r"(out), [n] "+r"(quads), [w] "=&r"(w), [s] "=&r"(s),
                       [t] "=&r"(t), [u] "=&r"(u)
                     : [zero] "r"(0), [k112] "r"(112), [k240] "r"(240), [ffff] "r"(0xFFFF)
                     : "cc", "memory");
    }
    for (int i = 0; i < (n & 3); ++i)
        out[i] = alaw_encode(in[i]);
}

// One code, a byte of w: h = 8 * mantissa + 132 and the segment (Z when 0),
// then h << segment, or 2h - 256 in segment 0; negated when bit 7 is clear.
#define GW_ALAW_DEC_ONE(MANT_SHIFT, SEG_MASK, SEG_SHIFT, SIGN)                                               \
    "and     %[h], %[k78], %[w], " MANT_SHIFT "\n\t"                                                         \
    "eor     %[h], %[h], #0xAC\n\t"                                                                          \
    "and     %[g], %[w], #" SEG_MASK "\n\t"                                                                  \
    "eors    %[g], %[k5], %[g], lsr #" SEG_SHIFT "\n\t"                                                      \
    "mov     %[v], %[h], lsl %[g]\n\t"                                                                       \
    "rsbeq   %[v], %[k256], %[h], lsl #1\n\t"                                                                \
    "tst     %[w], #" SIGN "\n\t"                                                                            \
    "rsbeq   %[v], %[v], #0\n\t"                                                                             \
    "strh    %[v], [%[out]], #2\n\t"

// Four codes of one aligned word, the first in its low byte.
#define GW_ALAW_DEC_WORD                                                                                     \
    "ldr     %[w], [%[in]], #4\n\t" GW_ALAW_DEC_ONE("lsl #3", "0x70", "4", "0x80")                           \
        GW_ALAW_DEC_ONE("lsr #5", "0x7000", "12", "0x8000")                                                  \
            GW_ALAW_DEC_ONE("lsr #13", "0x700000", "20", "0x800000")                                         \
                GW_ALAW_DEC_ONE("lsr #21", "0x70000000", "28", "0x80000000")

void decode_frame(int16_t *out, const uint8_t *in, int n)
{
    while (n > 0 && (reinterpret_cast<uintptr_t>(in) & 3)) {
        *out++ = alaw_decode(*in++);
        --n;
    }
    int words = n >> 2;
    if (words > 0) {
        uint32_t w, h, g, v;
        asm volatile("1:\n\t" GW_ALAW_DEC_WORD "subs    %[n], %[n], #1\n\t"
                     "bne     1b"
                     : [in] "+r"(in), [out] "+r"(out), [n] "+r"(words), [w] "=&r"(w), [h] "=&r"(h),
                       [g] "=&r"(g), [v] "=&r"(v)
                     : [k78] "r"(0x78), [k5] "r"(5), [k256] "r"(256)
                     : "cc", "memory");
    }
    for (int i = 0; i < (n & 3); ++i)
        out[i] = alaw_decode(in[i]);
}

#else

void encode_frame(uint8_t *out, const int16_t *in, int n)
{
    for (int i = 0; i < n; ++i)
        out[i] = alaw_encode(in[i]);
}

void decode_frame(int16_t *out, const uint8_t *in, int n)
{
    for (int i = 0; i < n; ++i)
        out[i] = alaw_decode(in[i]);
}

#endif

} // namespace

CodecAlaw::CodecAlaw(int blockSize)
{
    if (blockSize < 1)
        return;
    lastFrame.reset(new uint8_t[blockSize]());
    encodedBlockSize = blockSize;
    decodedBlockSize = blockSize;
    sampleRate = 8000;
    sampleSize = 2;
    sampleSign = 1;
    frameRate = 50;
    initType = EncoderAndDecoder;
    initialized = 1;
}

int CodecAlaw::encode(uint8_t *out, const int16_t *in)
{
    if (!initialized)
        return -1;
    encode_frame(out, in, encodedBlockSize);
    return 0;
}

int CodecAlaw::decode(int16_t *out, const uint8_t *in)
{
    return decodeFrame(out, in, 0);
}

int CodecAlaw::decodeFrame(int16_t *out, const uint8_t *in, int lost)
{
    if (!initialized)
        return -1;
    if (!lost)
        memcpy(lastFrame.get(), in, static_cast<size_t>(encodedBlockSize));
    decode_frame(out, lastFrame.get(), encodedBlockSize);
    return 0;
}

int CodecAlaw::resetDecoder()
{
    if (lastFrame)
        memset(lastFrame.get(), 0, static_cast<size_t>(encodedBlockSize));
    return 0;
}
