// The per-frame operations of the codecs and the voice transport, each beside
// a reference measured the same way. Shared by the timing benchmark and by the
// instruction counter, so both measure exactly the same code.
#pragma once

#include "audio/codec_alaw.h"
#include "audio/codec_gsm.h"
#include "audio/codec_speex.h"
#include "voice/aes_cipher.h"
#include "voice/jitter_buffer.h"
#include "voice/passphrase_cipher.h"
#include "voice/rtp_packet.h"
#include "voice/voice_crypto.h"

#include <gsm.h>
#include <openssl/evp.h>
#include <spandsp.h>
#include <speex/speex.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unistd.h>
#include <vector>

namespace voicebench
{

// OpenSSL reads its CPU capability mask when the library is loaded, before
// main: to measure its software AES the process starts again with AES-NI,
// PCLMULQDQ and SSSE3 (the vector-permute AES) masked, leaving the table AES.
inline void softwareAesOnly(char **argv)
{
    if (getenv("OPENSSL_ia32cap") != nullptr)
        return;
    setenv("OPENSSL_ia32cap", "~0x200020200000000", 1);
    execv("/proc/self/exe", argv);
    perror("execv");
}

// Keeps the optimiser from dropping a result.
inline void keep(const void *p)
{
    asm volatile("" : : "g"(p) : "memory");
}

struct Op {
    std::string name;      // what is measured, per call
    std::string reference; // name of the op it is compared with; empty for references
    std::function<void()> run;
};

inline std::vector<int16_t> testFrame()
{
    std::vector<int16_t> pcm(160);
    for (int i = 0; i < 160; ++i)
        pcm[i] = static_cast<int16_t>(std::lround(8000.0 * std::sin(2.0 * M_PI * 1000.0 * i / 8000.0) +
                                                  2500.0 * std::sin(2.0 * M_PI * 330.0 * i / 8000.0)));
    return pcm;
}

// A table-driven G.711 A-law as telephony libraries commonly do it: 13-bit
// index for encoding, 256 entries for decoding, both filled from spandsp's
// conversions.
struct TableG711 {
    uint8_t enc[8192];
    int16_t dec[256];
    TableG711()
    {
        for (int i = 0; i < 8192; ++i)
            enc[i] = linear_to_alaw((i - 4096) * 8);
        for (int i = 0; i < 256; ++i)
            dec[i] = alaw_to_linear(static_cast<uint8_t>(i));
    }
    void encode(uint8_t *out, const int16_t *in, int n) const
    {
        for (int i = 0; i < n; ++i)
            out[i] = enc[(in[i] >> 3) + 4096];
    }
    void decode(int16_t *out, const uint8_t *in, int n) const
    {
        for (int i = 0; i < n; ++i)
            out[i] = dec[in[i]];
    }
};

// Everything the ops work on, built once.
struct Fixture {
    std::vector<int16_t> pcm = testFrame();
    std::vector<int16_t> pcmOut = std::vector<int16_t>(160);
    uint8_t alaw[160] = {};
    uint8_t gsmFrame[33] = {};
    uint8_t speexFrame[20] = {};
    CodecAlaw alawCodec{160};
    CodecGsm gsmCodec{0, 0, 0};
    CodecSpeex speexCodec{0, 8000, 0, 0};
    TableG711 table;
    g711_state_t *spandsp = g711_init(nullptr, G711_ALAW);
    gsm gsmEnc = gsm_create();
    gsm gsmDec = gsm_create();
    void *speexEnc = speex_encoder_init(&speex_nb_mode);
    void *speexDec = speex_decoder_init(&speex_nb_mode);
    SpeexBits speexEncBits{};
    SpeexBits speexDecBits{};

    uint8_t packet[172] = {};
    uint8_t wrapped[1024] = {};
    uint8_t unwrapped[1024] = {};
    size_t wrappedLength = 0;
    CryptoContext ctx;
    PassphraseCipher passphrase;
    AesCipher aes;
    EVP_CIPHER_CTX *sslEnc = EVP_CIPHER_CTX_new();
    EVP_CIPHER_CTX *sslDec = EVP_CIPHER_CTX_new();

    JitterBuffer jitter{20, 0};
    std::unique_ptr<RtpPacket> rtp;
    std::deque<RtpPacket *> plainQueue;
    std::mutex plainMutex;

    Fixture()
    {
        alawCodec.encode(alaw, pcm.data());
        gsmCodec.encode(gsmFrame, pcm.data());
        speexCodec.encode(speexFrame, pcm.data());
        int rate = 8000;
        speex_encoder_ctl(speexEnc, SPEEX_SET_BITRATE, &rate);
        int off = 0;
        speex_decoder_ctl(speexDec, SPEEX_SET_ENH, &off);
        speex_bits_init(&speexEncBits);
        speex_bits_init(&speexDecBits);

        const uint8_t key[16] = {0x2b, 0x7e, 0x15, 0x16, 0x28, 0xae, 0xd2, 0xa6,
                                 0xab, 0xf7, 0x15, 0x88, 0x09, 0xcf, 0x4f, 0x3c};
        crypt_setkey(key, 16, 1);
        crypt_getctx(&ctx);
        passphrase.setPassphrase("voice passphrase");
        aes.setKey(key);
        EVP_EncryptInit_ex(sslEnc, EVP_aes_128_ecb(), nullptr, key, nullptr);
        EVP_CIPHER_CTX_set_padding(sslEnc, 0);
        EVP_DecryptInit_ex(sslDec, EVP_aes_128_ecb(), nullptr, key, nullptr);
        EVP_CIPHER_CTX_set_padding(sslDec, 0);

        rtp.reset(new RtpPacket(alaw, 160, 8, 1, 160, 0x11223344, 0, 0));
        rtp->serialize(packet);
        wrappedLength = sizeof wrapped;
        wrap_packet(&ctx, wrapped, &wrappedLength, packet, sizeof packet);
    }
    ~Fixture()
    {
        g711_free(spandsp);
        gsm_destroy(gsmEnc);
        gsm_destroy(gsmDec);
        speex_encoder_destroy(speexEnc);
        speex_decoder_destroy(speexDec);
        speex_bits_destroy(&speexEncBits);
        speex_bits_destroy(&speexDecBits);
        EVP_CIPHER_CTX_free(sslEnc);
        EVP_CIPHER_CTX_free(sslDec);
    }
    Fixture(const Fixture &) = delete;
    Fixture &operator=(const Fixture &) = delete;
};

inline std::vector<Op> makeOps(Fixture &f)
{
    std::vector<Op> ops;
    // A-law, 160 samples.
    ops.push_back({"alaw_encode_160", "g711_table_encode_160", [&f] {
                       f.alawCodec.encode(f.alaw, f.pcm.data());
                       keep(f.alaw);
                   }});
    ops.push_back({"g711_table_encode_160", "", [&f] {
                       f.table.encode(f.alaw, f.pcm.data(), 160);
                       keep(f.alaw);
                   }});
    ops.push_back({"spandsp_g711_encode_160", "", [&f] {
                       g711_encode(f.spandsp, f.alaw, f.pcm.data(), 160);
                       keep(f.alaw);
                   }});
    ops.push_back({"alaw_decode_160", "g711_table_decode_160", [&f] {
                       f.alawCodec.decode(f.pcmOut.data(), f.alaw);
                       keep(f.pcmOut.data());
                   }});
    ops.push_back({"g711_table_decode_160", "", [&f] {
                       f.table.decode(f.pcmOut.data(), f.alaw, 160);
                       keep(f.pcmOut.data());
                   }});
    ops.push_back({"spandsp_g711_decode_160", "", [&f] {
                       g711_decode(f.spandsp, f.pcmOut.data(), f.alaw, 160);
                       keep(f.pcmOut.data());
                   }});
    // GSM and Speex: the codec objects beside the bare library calls.
    ops.push_back({"gsm_encode", "libgsm_encode", [&f] {
                       f.gsmCodec.encode(f.gsmFrame, f.pcm.data());
                       keep(f.gsmFrame);
                   }});
    ops.push_back({"libgsm_encode", "", [&f] {
                       gsm_encode(f.gsmEnc, f.pcm.data(), f.gsmFrame);
                       keep(f.gsmFrame);
                   }});
    ops.push_back({"gsm_decode", "libgsm_decode", [&f] {
                       f.gsmCodec.decode(f.pcmOut.data(), f.gsmFrame);
                       keep(f.pcmOut.data());
                   }});
    ops.push_back({"libgsm_decode", "", [&f] {
                       gsm_decode(f.gsmDec, f.gsmFrame, f.pcmOut.data());
                       keep(f.pcmOut.data());
                   }});
    ops.push_back({"speex_encode", "libspeex_encode", [&f] {
                       f.speexCodec.encode(f.speexFrame, f.pcm.data());
                       keep(f.speexFrame);
                   }});
    ops.push_back({"libspeex_encode", "", [&f] {
                       speex_bits_reset(&f.speexEncBits);
                       speex_encode_int(f.speexEnc, f.pcm.data(), &f.speexEncBits);
                       speex_bits_write(&f.speexEncBits, reinterpret_cast<char *>(f.speexFrame), 20);
                       keep(f.speexFrame);
                   }});
    ops.push_back({"speex_decode", "libspeex_decode", [&f] {
                       f.speexCodec.decode(f.pcmOut.data(), f.speexFrame);
                       keep(f.pcmOut.data());
                   }});
    ops.push_back({"libspeex_decode", "", [&f] {
                       speex_bits_read_from(&f.speexDecBits, reinterpret_cast<const char *>(f.speexFrame),
                                            20);
                       speex_decode_int(f.speexDec, &f.speexDecBits, f.pcmOut.data());
                       keep(f.pcmOut.data());
                   }});
    // Voice key: a 172-byte A-law packet, against OpenSSL's AES-128 on its
    // 160 payload bytes.
    ops.push_back({"aes_wrap_172", "openssl_aes128_encrypt_160", [&f] {
                       size_t n = sizeof f.wrapped;
                       wrap_packet(&f.ctx, f.wrapped, &n, f.packet, sizeof f.packet);
                       keep(f.wrapped);
                   }});
    ops.push_back({"openssl_aes128_encrypt_160", "", [&f] {
                       int n = 0;
                       EVP_EncryptUpdate(f.sslEnc, f.wrapped + 15, &n, f.packet + 12, 160);
                       keep(f.wrapped);
                   }});
    ops.push_back({"aes_unwrap_175", "openssl_aes128_decrypt_160", [&f] {
                       size_t n = sizeof f.unwrapped;
                       unwrap_packet(&f.ctx, f.unwrapped, &n, f.wrapped, f.wrappedLength);
                       keep(f.unwrapped);
                   }});
    ops.push_back({"openssl_aes128_decrypt_160", "", [&f] {
                       int n = 0;
                       EVP_DecryptUpdate(f.sslDec, f.unwrapped + 12, &n, f.wrapped + 15, 160);
                       keep(f.unwrapped);
                   }});
    ops.push_back({"passphrase_encrypt_172", "openssl_aes128_encrypt_160", [&f] {
                       f.passphrase.encryptDatagram(f.packet, sizeof f.packet);
                       keep(f.packet);
                   }});
    ops.push_back({"passphrase_decrypt_172", "openssl_aes128_decrypt_160", [&f] {
                       f.passphrase.decryptDatagram(f.packet, sizeof f.packet);
                       keep(f.packet);
                   }});
    // Jitter buffer: one put and one get, against a mutex-guarded deque.
    ops.push_back({"jitter_put_get", "deque_push_pop", [&f] {
                       f.jitter.put(f.rtp.get());
                       keep(f.jitter.get());
                   }});
    ops.push_back({"deque_push_pop", "", [&f] {
                       {
                           std::lock_guard<std::mutex> lock(f.plainMutex);
                           f.plainQueue.push_back(f.rtp.get());
                       }
                       std::lock_guard<std::mutex> lock(f.plainMutex);
                       keep(f.plainQueue.front());
                       f.plainQueue.pop_front();
                   }});
    // RTP: serialising a packet, and the send thread's build-serialise-free.
    ops.push_back({"rtp_serialize_172", "memcpy_172", [&f] {
                       f.rtp->serialize(f.packet);
                       keep(f.packet);
                   }});
    ops.push_back({"memcpy_172", "", [&f] {
                       keep(f.wrapped);
                       memcpy(f.packet, f.wrapped, 172);
                       keep(f.packet);
                   }});
    ops.push_back({"rtp_build_serialize_free", "memcpy_172", [&f] {
                       RtpPacket p(f.alaw, 160, 8, 7, 1120, 0x11223344, 0, 0);
                       p.serialize(f.packet);
                       keep(f.packet);
                   }});
    return ops;
}

} // namespace voicebench
