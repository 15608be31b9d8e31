// The voice key: AES-128 over the RTP payload in 16-byte blocks (each block on
// its own, same key), marked by payload type byte 0x77 ("w"). The key state is
// process-wide; each voice engine keeps a context copied from it.
//
// Wrapped datagram: bytes 0-11 the plain RTP header with byte 1 replaced by
// 0x77, 12-13 the plain payload length L (big-endian), 14 the plain byte 1,
// then L rounded up to 16 bytes of ciphertext (the last block zero-padded).
#pragma once

#include <cstddef>
#include <cstdint>

struct CryptoContext {
    // 0 off, 1 AES-128.
    uint32_t mode = 0;
    uint8_t key[16] = {};
};

constexpr uint8_t kWrappedPayloadType = 0x77;
constexpr size_t kWrapHeaderSize = 15;

// Mode 0 switches the key off (the key itself is kept); mode 1 with a 16-byte
// key installs it. 0, or -1 for any other mode or length (nothing changes).
int crypt_setkey(const uint8_t *key, int length, int mode);
// Copies the process-wide mode and key into ctx; 0, or -1.
int crypt_getctx(CryptoContext *ctx);

// in: a serialised RTP packet of inLength bytes; out must not overlap it. *outLength is the capacity of
// out on entry and the result length on return. With the context's mode 0, or
// an input that is already wrapped, the packet is copied unchanged. 0, or -1
// when the input is too short or the output too small.
int wrap_packet(const CryptoContext *ctx, uint8_t *out, size_t *outLength, const uint8_t *in,
                size_t inLength);

// The reverse of wrap_packet; packets not marked 0x77 (or any packet with the
// context's mode 0) are copied unchanged. -1 also when the declared length, or
// the whole blocks it needs, run past the end of the datagram.
int unwrap_packet(const CryptoContext *ctx, uint8_t *out, size_t *outLength, const uint8_t *in,
                  size_t inLength);

// The wrapped size of a plain packet of plainLength bytes (header included).
constexpr size_t wrapped_packet_size(size_t plainLength)
{
    return kWrapHeaderSize + ((plainLength - 12 + 15) / 16) * 16;
}
