// AesCipher: the block cipher of FIPS-197 with a 128-bit key and a 128-bit
// block, implemented here so the gateway needs no crypto library for voice.
// Ten rounds is AES-128 (the voice key); the passphrase cipher runs the same
// round structure with seven, its key schedule stopped after 4 * (7 + 1) words.
#pragma once

#include <cstdint>

class AesCipher
{
  public:
    static constexpr int kBlockSize = 16;
    static constexpr int kKeySize = 16;
    static constexpr int kAes128Rounds = 10;

    // Expands the encryption and decryption round keys; rounds runs from 1 to
    // 10, anything else is taken as 10.
    void setKey(const uint8_t key[kKeySize], int rounds = kAes128Rounds);
    int getRounds() const { return rounds; }

    // in and out may be the same block.
    void encryptBlock(const uint8_t in[kBlockSize], uint8_t out[kBlockSize]) const;
    void decryptBlock(const uint8_t in[kBlockSize], uint8_t out[kBlockSize]) const;

  private:
    static constexpr int kMaxWords = 4 * (kAes128Rounds + 1);

    int rounds = kAes128Rounds;
    // Round keys as column words, row 0 in the low byte. The decryption keys are those of
    // the equivalent inverse cipher (InvMixColumns folded into rounds 1..Nr-1).
    uint32_t encKeys[kMaxWords] = {};
    uint32_t decKeys[kMaxWords] = {};
};
