// The voice relay: gateways are learnt from their hello packets, the talker's
// packets go to the host and to every other synced gateway, and host voice goes
// to the talker (or to everybody while nobody talks).
#include "gatesim/gatesim.h"

#include "base/byteorder.h"
#include "gatesim/n_udp.h"

#include <cstring>

void gatesim::rtp_user_add(uint32_t address, int key, int port)
{
    std::lock_guard<std::recursive_mutex> g(users_lock_);
    dbg("roip: rtp: user_add(%s, s:%d, f:%d)\n", n_udp::addr2str(address).c_str(), key, port);
    users_.push_back(rtp_user{address, port > 0 ? port : 0, key});
    // A gateway that logs in again right after itself keeps its first entry.
    for (auto it = users_.begin(); it != users_.end();) {
        auto next = std::next(it);
        if (next != users_.end() && next->address == it->address && next->key == it->key)
            users_.erase(next);
        else
            ++it;
    }
}

void gatesim::rtp_user_del(uint32_t address, int key)
{
    std::lock_guard<std::recursive_mutex> g(users_lock_);
    dbg("roip: rtp: user_del(%s, s:%d)\n", n_udp::addr2str(address).c_str(), key);
    if (talker_.address == address && talker_.key == key) {
        talker_ = rtp_user{};
        talker_is_member_ = false;
    }
    users_.remove_if([&](const rtp_user &u) { return u.address == address && u.key == key; });
}

int gatesim::rtp_user_ptt(uint32_t address, int key)
{
    std::lock_guard<std::recursive_mutex> g(users_lock_);
    dbg("roip: rtp: user_ptt(%s, s:%d)\n", n_udp::addr2str(address).c_str(), key);
    talker_is_member_ = false;
    if (address == 0 && key == 0) {
        talker_ = rtp_user{};
        return 0;
    }
    for (const rtp_user &u : users_) {
        if (u.address == address && u.key == key) {
            talker_ = u;
            return 0;
        }
    }
    dbg("roip: rtp: user_ptt(%s, s:%d): user not found !\n", n_udp::addr2str(address).c_str(), key);
    return -1;
}

void *gatesim::_rtp_thr(void *self)
{
    static_cast<gatesim *>(self)->rtp_thr();
    return nullptr;
}

void *gatesim::_rtp_thr_keepalive(void *self)
{
    static_cast<gatesim *>(self)->rtp_thr_keepalive();
    return nullptr;
}

void gatesim::rtp_thr()
{
    uint8_t buf[512];
    for (;;) {
        if (stop_.wait(udp_, -1) < 0)
            return;
        uint32_t address = 0;
        int port = 0;
        int n = n_udp::recvfrom(udp_, buf, sizeof buf, &address, &port);
        if (n < 0) {
            if (!stop_.sleep(100))
                return;
            continue;
        }
        rtp_datagram(buf, n, address, port);
    }
}

void gatesim::rtp_datagram(const uint8_t *packet, int len, uint32_t address, int port)
{
    if (len != rtp_packet_size || packet[0] != 0x80)
        return;
    std::lock_guard<std::recursive_mutex> g(users_lock_);
    if (talker_.port > 0 && address == talker_.address && port == talker_.port) {
        // Relayed before the host sees it: the host callback may take its time
        // and must not delay the listeners.
        for (const rtp_user &u : users_)
            if (u.port > 0 && !(u.address == talker_.address && u.port == talker_.port))
                n_udp::sendto(udp_, packet, static_cast<size_t>(len), u.address, u.port);
        if (auto cb = cb_rtp_recv_.get()) {
            uint8_t copy[rtp_packet_size];
            std::memcpy(copy, packet, sizeof copy);
            (*cb)(copy, len);
        }
        return;
    }
    int key = static_cast<int>(bytes::get_le32(packet + 12));
    for (rtp_user &u : users_) {
        if (u.address == address && u.port == 0 && u.key == key) {
            u.port = port;
            // A gateway that keyed before its first hello talks from now on.
            if (talker_.address == address && talker_.key == key && talker_.port == 0)
                talker_.port = port;
            dbg("roip: rtp: user synced %s:%d\n", n_udp::addr2str(address).c_str(), port);
            return;
        }
    }
}

void gatesim::rtp_thr_keepalive()
{
    static const uint8_t zeros[4] = {0, 0, 0, 0};
    while (stop_.sleep(keepalive_ms)) {
        std::lock_guard<std::recursive_mutex> g(users_lock_);
        for (const rtp_user &u : users_)
            if (u.port > 0)
                n_udp::sendto(udp_, zeros, sizeof zeros, u.address, u.port);
    }
}

int gatesim::rtp_send(unsigned char *payload, int len, int payload_type)
{
    if (len != rtp_payload_size || payload == nullptr) {
        dbg("roip: rtp: invalid payload size !\n");
        return -1;
    }
    if (udp_ < 0)
        return -1;
    std::lock_guard<std::recursive_mutex> g(users_lock_);
    rtp_header_[1] = static_cast<uint8_t>(payload_type);
    bytes::put_be16(rtp_header_ + 2, static_cast<uint16_t>(bytes::get_be16(rtp_header_ + 2) + 1));
    bytes::put_be32(rtp_header_ + 4, bytes::get_be32(rtp_header_ + 4) + rtp_payload_size);
    uint8_t packet[rtp_packet_size];
    std::memcpy(packet, rtp_header_, sizeof rtp_header_);
    std::memcpy(packet + sizeof rtp_header_, payload, rtp_payload_size);
    if (talker_.address != 0 && talker_.port > 0)
        return n_udp::sendto(udp_, packet, sizeof packet, talker_.address, talker_.port) == rtp_packet_size
                   ? 1
                   : 0;
    int sent = 0;
    for (const rtp_user &u : users_)
        if (u.port > 0 && n_udp::sendto(udp_, packet, sizeof packet, u.address, u.port) == rtp_packet_size)
            sent++;
    return sent;
}
