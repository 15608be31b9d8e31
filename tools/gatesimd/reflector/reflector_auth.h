// The reflector's login proof: HMAC-SHA1 of the server's 20-byte challenge,
// keyed with the node's key, so the key itself never crosses the network.
#pragma once

#include "tools/gatesimd/reflector/reflector_msg.h"

#include <string>

namespace reflector
{

// False only when the hash cannot be computed.
bool auth_digest(const std::string &key, const uint8_t challenge[challenge_size],
                 uint8_t digest[digest_size]);

} // namespace reflector
