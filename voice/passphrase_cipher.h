// PassphraseCipher: the voice cipher keyed by a text. The key is derived from
// the text and runs the AES round structure with 7 rounds instead of 10, each
// 16-byte block on its own. It applies only to 172-byte datagrams (A-law
// voice), whose 160 payload bytes are ciphered in place; the RTP header stays
// in clear.
#pragma once

#include "voice/aes_cipher.h"

#include <cstddef>
#include <cstdint>
#include <mutex>

// Key byte i = text[i mod length] * (i + 7) mod 256, bytes taken unsigned.
// length must be at least 1.
void passphrase_derive_key(const uint8_t *text, size_t length, uint8_t key[16]);

class PassphraseCipher
{
  public:
    static constexpr int kRounds = 7;
    static constexpr size_t kDatagramSize = 172;

    // Null or an empty text disables the cipher (nothing to derive a key from).
    void setPassphrase(const char *text);
    bool isEnabled() const;

    // Cipher bytes 12-171 of a 172-byte datagram in place. true when the
    // datagram was changed; other lengths, or a disabled cipher, leave it as is.
    bool encryptDatagram(uint8_t *datagram, size_t length) const;
    bool decryptDatagram(uint8_t *datagram, size_t length) const;

  private:
    // Keys are installed from a control thread while the voice threads cipher.
    mutable std::mutex mutex;
    bool passphraseEnabled = false;
    AesCipher passphraseSchedule;
};
