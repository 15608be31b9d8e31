#include "voice/voice_crypto.h"

#include "base/byteorder.h"
#include "voice/aes_cipher.h"

#include <cstring>
#include <mutex>

namespace
{

// The key is installed from a control thread while the send and receive
// threads are encrypting; the lock keeps every packet on one whole key.
struct VoiceKeyState {
    std::mutex mutex;
    uint32_t cryptMode = 0;
    uint8_t cryptKey[16] = {};
    AesCipher cipher;
};

VoiceKeyState &state()
{
    static VoiceKeyState s;
    return s;
}

constexpr size_t kRtpHeaderSize = 12;

size_t roundUpToBlocks(size_t n)
{
    return (n + 15) / 16 * 16;
}

int copyUnchanged(uint8_t *out, size_t *outLength, const uint8_t *in, size_t inLength)
{
    if (inLength > *outLength)
        return -1;
    memmove(out, in, inLength);
    *outLength = inLength;
    return 0;
}

} // namespace

int crypt_setkey(const uint8_t *key, int length, int mode)
{
    VoiceKeyState &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (mode == 0) {
        s.cryptMode = 0;
        return 0;
    }
    if (mode != 1 || length != 16 || key == nullptr)
        return -1;
    memcpy(s.cryptKey, key, 16);
    s.cipher.setKey(s.cryptKey, AesCipher::kAes128Rounds);
    s.cryptMode = 1;
    return 0;
}

int crypt_getctx(CryptoContext *ctx)
{
    VoiceKeyState &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (ctx == nullptr || s.cryptMode > 1)
        return -1;
    ctx->mode = s.cryptMode;
    memcpy(ctx->key, s.cryptKey, 16);
    return 0;
}

int wrap_packet(const CryptoContext *ctx, uint8_t *out, size_t *outLength, const uint8_t *in, size_t inLength)
{
    if (inLength < kRtpHeaderSize)
        return -1;
    if (ctx->mode == 0 || in[1] == kWrappedPayloadType)
        return copyUnchanged(out, outLength, in, inLength);
    if (ctx->mode != 1 || inLength < kWrapHeaderSize || *outLength < inLength + 18)
        return -1;

    const size_t length = inLength - kRtpHeaderSize;
    if (length > 0xFFFF)
        return -1;
    const size_t padded = roundUpToBlocks(length);
    memset(out, 0, *outLength);
    memcpy(out, in, kRtpHeaderSize);
    bytes::put_be16(out + 12, static_cast<uint16_t>(length));
    out[14] = in[1];
    out[1] = kWrappedPayloadType;

    VoiceKeyState &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    // Whole blocks straight from the packet; only a short last block is
    // padded in a copy.
    size_t k = 0;
    for (; k + 16 <= length; k += 16)
        s.cipher.encryptBlock(in + kRtpHeaderSize + k, out + kWrapHeaderSize + k);
    if (k < length) {
        uint8_t block[16] = {};
        memcpy(block, in + kRtpHeaderSize + k, length - k);
        s.cipher.encryptBlock(block, out + kWrapHeaderSize + k);
    }
    *outLength = kWrapHeaderSize + padded;
    return 0;
}

int unwrap_packet(const CryptoContext *ctx, uint8_t *out, size_t *outLength, const uint8_t *in,
                  size_t inLength)
{
    if (inLength < kRtpHeaderSize)
        return -1;
    if (ctx->mode == 0 || in[1] != kWrappedPayloadType)
        return copyUnchanged(out, outLength, in, inLength);
    if (ctx->mode != 1 || inLength < kWrapHeaderSize || inLength > *outLength)
        return -1;

    const size_t length = bytes::get_be16(in + 12);
    const size_t padded = roundUpToBlocks(length);
    // Every ciphertext block must lie inside the datagram.
    if (padded > inLength - kWrapHeaderSize)
        return -1;

    memset(out, 0, *outLength);
    memcpy(out, in, kRtpHeaderSize);
    out[1] = in[14];

    VoiceKeyState &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    size_t k = 0;
    for (; k + 16 <= length; k += 16)
        s.cipher.decryptBlock(in + kWrapHeaderSize + k, out + kRtpHeaderSize + k);
    if (k < length) {
        // The zero padding of the last block stays out of the packet.
        uint8_t block[16];
        s.cipher.decryptBlock(in + kWrapHeaderSize + k, block);
        memcpy(out + kRtpHeaderSize + k, block, length - k);
    }
    *outLength = kRtpHeaderSize + length;
    return 0;
}
