// Voice datagrams as the receive and playback threads take them apart: the
// passphrase cipher on whole datagrams, the RTP packet parser, and the
// AES unwrapping of a packet's serialised form, with the key on and off.
#include "voice/passphrase_cipher.h"
#include "voice/rtp_packet.h"
#include "voice/voice_crypto.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

namespace
{

void unwrap(const CryptoContext &ctx, const uint8_t *in, size_t len)
{
    // The playback thread's frame buffer.
    uint8_t out[1024];
    size_t n = sizeof out;
    if (unwrap_packet(&ctx, out, &n, in, len) == 0 && n > sizeof out)
        __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 2048)
        return 0;
    std::vector<uint8_t> buf(data, data + size);

    static PassphraseCipher *passphrase = [] {
        auto *p = new PassphraseCipher;
        p->setPassphrase("correct horse");
        return p;
    }();
    passphrase->decryptDatagram(buf.data(), buf.size());

    std::unique_ptr<RtpPacket> packet(RtpPacket::fromDatagram(buf.data(), buf.size()));
    CryptoContext off;
    CryptoContext aes;
    aes.mode = 1;
    for (int i = 0; i < 16; ++i)
        aes.key[i] = static_cast<uint8_t>(0x10 + i);
    unwrap(off, data, size);
    unwrap(aes, data, size);
    if (packet) {
        std::vector<uint8_t> wire(packet->getPacketSize());
        packet->serialize(wire.data());
        if (packet->getPayloadSize() > 0 && packet->getPayload() == nullptr)
            __builtin_trap();
        unwrap(aes, wire.data(), wire.size());
    }
    return 0;
}
