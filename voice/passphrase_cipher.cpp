#include "voice/passphrase_cipher.h"

#include <cstring>

namespace
{

constexpr size_t kHeaderSize = 12;

} // namespace

void passphrase_derive_key(const uint8_t *text, size_t length, uint8_t key[16])
{
    for (size_t i = 0; i < 16; ++i)
        key[i] = static_cast<uint8_t>(text[i % length] * (i + 7));
}

void PassphraseCipher::setPassphrase(const char *text)
{
    std::lock_guard<std::mutex> lock(mutex);
    const size_t length = text ? strlen(text) : 0;
    if (length == 0) {
        passphraseEnabled = false;
        return;
    }
    uint8_t key[16];
    passphrase_derive_key(reinterpret_cast<const uint8_t *>(text), length, key);
    passphraseSchedule.setKey(key, kRounds);
    passphraseEnabled = true;
}

bool PassphraseCipher::isEnabled() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return passphraseEnabled;
}

bool PassphraseCipher::encryptDatagram(uint8_t *datagram, size_t length) const
{
    if (length != kDatagramSize)
        return false;
    std::lock_guard<std::mutex> lock(mutex);
    if (!passphraseEnabled)
        return false;
    for (size_t k = kHeaderSize; k < kDatagramSize; k += AesCipher::kBlockSize)
        passphraseSchedule.encryptBlock(datagram + k, datagram + k);
    return true;
}

bool PassphraseCipher::decryptDatagram(uint8_t *datagram, size_t length) const
{
    if (length != kDatagramSize)
        return false;
    std::lock_guard<std::mutex> lock(mutex);
    if (!passphraseEnabled)
        return false;
    for (size_t k = kHeaderSize; k < kDatagramSize; k += AesCipher::kBlockSize)
        passphraseSchedule.decryptBlock(datagram + k, datagram + k);
    return true;
}
