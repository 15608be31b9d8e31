// A libgatesim served on 127.0.0.1 with test callbacks, and a raw gateway that
// speaks the wire format byte by byte.
#pragma once

#include "base/byteorder.h"
#include "gatesim/libgatesim.h"
#include "tests/gatesim/net_helpers.h"
#include "wire/roip_proto.h"

#include <atomic>
#include <gtest/gtest.h>
#include <mutex>
#include <string>
#include <vector>

namespace simtest
{

using namespace testnet;
using Bytes = std::vector<uint8_t>;

inline Bytes le32(uint32_t v)
{
    Bytes b(4);
    bytes::put_le32(b.data(), v);
    return b;
}

inline Bytes cat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

// One raw gateway connection.
struct Gateway {
    Fd tcp;
    Fd udp;
    int sync = 0; // VoipSyncNum from the login result

    bool send(const Bytes &b) const { return send_all(tcp.get(), b); }
    Bytes read(size_t n, int ms = timeout_ms) const { return read_n(tcp.get(), n, ms); }
    uint32_t read_word() const
    {
        Bytes b = read(4);
        return b.size() == 4 ? bytes::get_le32(b.data()) : 0xFFFFFFFFu;
    }
    // Nothing arrives for a short while (only for asserting absence).
    bool quiet(int ms = 200) const { return !readable(tcp.get(), ms); }
    int tcp_port() const { return local_port(tcp.get()); }
    int udp_port() const { return local_port(udp.get()); }
};

class SimFixture : public ::testing::Test
{
  protected:
    // Users: "user"/"qzv" level 1, "viewer"/"v" level 0; anything else is
    // refused with reason 7.
    void make_sim()
    {
        sim = libgatesim::create();
        sim->set_cb_info_ver([](libgatesim::s_info_ver &v) {
            v.proto_major = 1;
            v.proto_minor = 6;
            v.config_major = 2;
            v.config_minor = 23;
            v.fw_major = 3;
            v.fw_minor = 4;
            v.build = 1234;
            return 0;
        });
        sim->set_cb_login_req([this](libgatesim::s_login_req &r, const std::string &user,
                                     const std::string &pw, const std::string &peer) {
            std::lock_guard<std::mutex> g(lock);
            login_users.push_back(user);
            login_peers.push_back(peer);
            int level;
            if (user == "user" && pw == "qzv")
                level = 1;
            else if (user == "viewer" && pw == "v")
                level = 0;
            else if (user.size() == 31 && pw == "long")
                level = 1;
            else
                return 7;
            r.priv_level = level;
            r.codec_type = 1;
            r.rtype0 = 0x0102;
            r.rtype1 = 0x0304;
            r.device_name = "gatesim-test";
            return 0;
        });
    }

    // Starts it on free loopback ports (retrying if another test took one).
    void start(int max_clients = 16, bool rtp = true)
    {
        for (int attempt = 0; attempt < 10; attempt++) {
            if (!sim)
                make_sim();
            before_init();
            tcp_port = free_port(SOCK_STREAM);
            rtp_port = rtp ? free_port(SOCK_DGRAM) : 0;
            if (sim->init("127.0.0.1", tcp_port, max_clients, rtp_port) == 0)
                return;
            sim.reset();
        }
        FAIL() << "libgatesim did not start";
    }

    virtual void before_init() {}

    // The library's threads call back into members of the derived fixtures:
    // stop them before those members go.
    void TearDown() override { sim.reset(); }

    // Connects and checks the version info.
    Gateway connect()
    {
        Gateway g;
        g.tcp = tcp_connect(tcp_port);
        EXPECT_GE(g.tcp.get(), 0);
        EXPECT_EQ(g.read(20), version_info_bytes());
        g.udp = udp_socket();
        return g;
    }

    static Bytes version_info_bytes()
    {
        return cat({le32(0), {6, 0, 1, 0}, {23, 0, 2, 0}, {4, 0, 3, 0}, le32(1234)});
    }

    static Bytes login_request(const std::string &user, const std::string &pw, uint32_t syncnum = 0)
    {
        return proto::build_login_request(user.c_str(), pw.c_str(), syncnum);
    }

    // Logs in and returns the 120-byte login result (empty on DENY).
    Bytes login(Gateway &g, const std::string &user = "user", const std::string &pw = "qzv")
    {
        EXPECT_TRUE(g.send(login_request(user, pw)));
        uint32_t type = g.read_word();
        if (type != 4) {
            g.read(4);
            return {};
        }
        Bytes res = g.read(120);
        if (res.size() == 120)
            g.sync = static_cast<int>(bytes::get_le32(res.data() + 16));
        return res;
    }

    Gateway logged_in(const std::string &user = "user", const std::string &pw = "qzv")
    {
        Gateway g = connect();
        EXPECT_EQ(login(g, user, pw).size(), 120u);
        return g;
    }

    // The A-law hello packet a gateway sends after login.
    static Bytes hello(int sync)
    {
        Bytes p(172, 0);
        p[0] = 0x80;
        p[1] = 0x08;
        bytes::put_be32(p.data() + 8, static_cast<uint32_t>(sync));
        bytes::put_le32(p.data() + 12, static_cast<uint32_t>(sync));
        return p;
    }

    static Bytes voice(uint8_t fill, uint16_t seq = 1)
    {
        Bytes p(172, fill);
        p[0] = 0x80;
        p[1] = 0x08;
        bytes::put_be16(p.data() + 2, seq);
        return p;
    }

    // Sends each gateway's hello and waits until the relay knows them all: the
    // host's voice then reaches `expected` gateways (loopback delivers a
    // datagram before sendto returns, so the probes can be drained at once).
    void sync_all(std::initializer_list<Gateway *> gws, int expected)
    {
        for (Gateway *g : gws)
            ASSERT_TRUE(send_datagram(g->udp.get(), rtp_port, hello(g->sync)));
        Bytes probe(160, 0xD5);
        ASSERT_TRUE(wait_until([&] { return sim->rtp_send(probe.data(), 160, 8) == expected; }));
        for (Gateway *g : gws)
            drain(*g);
    }

    static void drain(const Gateway &g)
    {
        while (!recv_datagram(g.udp.get(), 0).empty()) {
        }
    }

    std::shared_ptr<libgatesim> sim;
    int tcp_port = 0;
    int rtp_port = 0;
    std::mutex lock;
    std::vector<std::string> login_users;
    std::vector<std::string> login_peers;
};

} // namespace simtest
