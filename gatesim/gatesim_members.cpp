// The site's one talker slot, shared by the binary gateways and the members
// the host adds for the gateways it serves itself. Every change is made under
// the relay's lock and reported to the host in that order.
#include "gatesim/gatesim.h"

#include "gatesim/n_udp.h"
#include "wire/roip_proto.h"

#include <arpa/inet.h>

namespace
{

bool parse_address(const std::string &text, uint32_t &out)
{
    in_addr a{};
    if (inet_pton(AF_INET, text.c_str(), &a) != 1 || a.s_addr == 0)
        return false;
    out = a.s_addr;
    return true;
}

} // namespace

void gatesim::talker_changed(int ptt, const std::string &user)
{
    if (auto cb = cb_talker_.get())
        (*cb)(ptt, user);
}

bool gatesim::member_talks()
{
    std::lock_guard<std::recursive_mutex> g(users_lock_);
    return talker_is_member_;
}

int gatesim::binary_ptt(tcpkit::client *c, int ptt)
{
    std::lock_guard<std::recursive_mutex> g(users_lock_);
    if (talker_is_member_) {
        if (ptt == 1)
            return -1;
        return 0; // a release by somebody who does not hold the slot
    }
    if (ptt == 1)
        rtp_user_ptt(c->address.sin_addr.s_addr, c->fixedport);
    else
        rtp_user_ptt(0, 0);
    async_set_ptt(c, ptt);
    talker_changed(ptt == 1 ? 1 : 0, c->user);
    return 0;
}

int gatesim::rtp_member_add(const std::string &address)
{
    uint32_t a;
    if (!parse_address(address, a))
        return -1;
    std::lock_guard<std::recursive_mutex> g(users_lock_);
    int key = next_member_key_;
    next_member_key_ = next_member_key_ == INT32_MAX ? first_member_key : next_member_key_ + 1;
    dbg("roip: rtp: member_add(%s, s:%d)\n", address.c_str(), key);
    users_.push_back(rtp_user{a, 0, key});
    return key;
}

int gatesim::rtp_member_del(const std::string &address, int key)
{
    uint32_t a;
    if (!parse_address(address, a) || key < first_member_key)
        return -1;
    std::lock_guard<std::recursive_mutex> g(users_lock_);
    bool found = false;
    for (const rtp_user &u : users_)
        found = found || (u.address == a && u.key == key);
    if (!found)
        return -1;
    rtp_user_del(a, key);
    return 0;
}

int gatesim::talker_take(const std::string &address, int key, const std::string &user)
{
    uint32_t a;
    if (!parse_address(address, a) || key < first_member_key)
        return -2;
    std::lock_guard<std::recursive_mutex> g(users_lock_);
    const rtp_user *member = nullptr;
    for (const rtp_user &u : users_)
        if (u.address == a && u.key == key)
            member = &u;
    if (member == nullptr)
        return -2;
    bool held_by_it = talker_is_member_ && talker_.address == a && talker_.key == key;
    if (!held_by_it && (talker_.address != 0 || talker_.key != 0))
        return -1;
    dbg("roip: rtp: member_ptt(%s, s:%d)\n", address.c_str(), key);
    talker_ = *member;
    talker_is_member_ = true;
    dbg("gatesim: async_set_ptt: ptt: 1, user: [%s]\n", user.c_str());
    broadcast(proto::build_async_setptt(1, user.c_str()), true);
    talker_changed(1, user);
    return 0;
}

int gatesim::talker_free(const std::string &address, int key, const std::string &user)
{
    uint32_t a;
    if (!parse_address(address, a))
        return -1;
    std::lock_guard<std::recursive_mutex> g(users_lock_);
    if (!talker_is_member_ || talker_.address != a || talker_.key != key)
        return -1;
    dbg("roip: rtp: member_ptt(0.0.0.0, s:0)\n");
    talker_ = rtp_user{};
    talker_is_member_ = false;
    dbg("gatesim: async_set_ptt: ptt: 0, user: [%s]\n", user.c_str());
    broadcast(proto::build_async_setptt(0, user.c_str()), true);
    talker_changed(0, user);
    return 0;
}
