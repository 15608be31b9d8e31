#include "sim/tty_peer.h"

#include <map>

namespace boardbox
{

namespace
{

// Function-local, so registrations from other files' static objects never
// run before it exists.
std::map<std::string, PeerFactory> &registry()
{
    static std::map<std::string, PeerFactory> r;
    return r;
}

} // namespace

bool register_peer(const std::string &kind, PeerFactory factory)
{
    return registry().emplace(kind, std::move(factory)).second;
}

const PeerFactory *find_peer(const std::string &kind)
{
    auto it = registry().find(kind);
    return it == registry().end() ? nullptr : &it->second;
}

std::vector<std::string> peer_kinds()
{
    std::vector<std::string> k;
    for (auto &e : registry())
        k.push_back(e.first);
    return k;
}

} // namespace boardbox
