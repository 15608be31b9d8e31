#include "tools/gatesimd/reflector/reflector_auth.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>

namespace reflector
{

bool auth_digest(const std::string &key, const uint8_t challenge[challenge_size], uint8_t digest[digest_size])
{
    unsigned int len = 0;
    unsigned char md[EVP_MAX_MD_SIZE];
    if (HMAC(EVP_sha1(), key.data(), static_cast<int>(key.size()), challenge, challenge_size, md, &len) ==
            nullptr ||
        len != digest_size)
        return false;
    for (size_t i = 0; i < digest_size; i++)
        digest[i] = md[i];
    return true;
}

} // namespace reflector
