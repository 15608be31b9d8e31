// A scripted SvxReflector on 127.0.0.1 for the link's and the bridge's tests:
// the test plays the server's side of each exchange message by message, with
// the wire format's own builders, and reads what the node sends.
#pragma once

#include "base/byteorder.h"
#include "tests/gatesim/net_helpers.h"
#include "tools/gatesimd/reflector/reflector_auth.h"
#include "tools/gatesimd/reflector/reflector_link.h"
#include "tools/gatesimd/reflector/reflector_msg.h"
#include "tools/gatesimd/reflector/reflector_udp.h"

#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

namespace reftest
{

using namespace testnet;
using Bytes = std::vector<uint8_t>;

class FakeReflector
{
  public:
    FakeReflector()
    {
        // TCP and UDP on one port number, as the reflector listens.
        for (int i = 0; i < 50 && port_ <= 0; i++) {
            listen_ = Fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
            sockaddr_in a = loopback(0);
            if (::bind(listen_.get(), reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
                ::listen(listen_.get(), 4) != 0)
                continue;
            int p = local_port(listen_.get());
            udp_ = Fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
            sockaddr_in u = loopback(p);
            if (::bind(udp_.get(), reinterpret_cast<sockaddr *>(&u), sizeof u) == 0)
                port_ = p;
        }
    }
    int port() const { return port_; }

    // The node's next connection.
    bool accept(int ms = timeout_ms)
    {
        if (!readable(listen_.get(), ms))
            return false;
        conn_ = Fd(::accept4(listen_.get(), nullptr, nullptr, SOCK_CLOEXEC));
        return conn_.get() >= 0;
    }
    void close() { conn_.reset(); }
    bool closed_by_node(int ms = timeout_ms) { return closed_by_peer(conn_.get(), ms); }

    // The node's next frame (its bytes after the length); empty on time-out.
    Bytes frame(int ms = timeout_ms)
    {
        Bytes len = read_n(conn_.get(), 4, ms);
        if (len.size() != 4)
            return {};
        return read_n(conn_.get(), bytes::get_be32(len.data()), ms);
    }
    bool message(reflector::Message &m, int ms = timeout_ms)
    {
        Bytes f = frame(ms);
        return !f.empty() && reflector::decode_message(f.data(), f.size(), m);
    }
    bool send(const Bytes &b) { return send_all(conn_.get(), b); }

    // The whole login: true when the node sent protocol 1.0 and the digest
    // of `key`, and then its first datagram (kept in `first_datagram`), which
    // tells where its voice goes.
    bool login(const std::string &key, uint32_t client_id, const std::vector<std::string> &nodes,
               const std::vector<std::string> &codecs)
    {
        reflector::Message m;
        if (!message(m) || m.type != reflector::msg_proto_ver || m.major != 1 || m.minor != 0)
            return false;
        uint8_t challenge[reflector::challenge_size];
        for (size_t i = 0; i < sizeof challenge; i++)
            challenge[i] = static_cast<uint8_t>(i * 7 + 1);
        uint8_t digest[reflector::digest_size];
        reflector::auth_digest(key, challenge, digest);
        if (!send(reflector::build_auth_challenge(challenge)) || !message(m) ||
            m.type != reflector::msg_auth_response || m.bytes != Bytes(digest, digest + sizeof digest))
            return false;
        callsign = m.text;
        client_id_ = client_id;
        if (!send(reflector::build_auth_ok()))
            return false;
        return send(reflector::build_server_info(client_id, nodes, codecs)) && datagram(first_datagram);
    }

    // The node's next datagram; its address is where datagrams go back.
    bool datagram(reflector::UdpMessage &m, int ms = timeout_ms)
    {
        sockaddr_in from{};
        Bytes d = recv_datagram(udp_.get(), ms, &from);
        if (d.empty())
            return false;
        node_udp_ = from;
        return reflector::decode_udp(d.data(), d.size(), m);
    }
    // The next datagram of `type`, skipping heartbeats.
    bool datagram_of(uint16_t type, reflector::UdpMessage &m, int ms = timeout_ms)
    {
        while (datagram(m, ms))
            if (m.type == type)
                return true;
        return false;
    }
    bool send_udp(const Bytes &d)
    {
        return ::sendto(udp_.get(), d.data(), d.size(), 0, reinterpret_cast<sockaddr *>(&node_udp_),
                        sizeof node_udp_) == static_cast<ssize_t>(d.size());
    }
    bool send_audio(const Bytes &a)
    {
        return send_udp(reflector::build_udp_audio(client_id_, seq++, a.data(), a.size()));
    }

    std::string callsign;
    reflector::UdpMessage first_datagram;
    uint16_t seq = 0;

  private:
    Fd listen_, udp_, conn_;
    int port_ = -1;
    uint16_t client_id_ = 0;
    sockaddr_in node_udp_{};
};

// Lines said by the link or the bridge, waited for by their text.
class Lines
{
  public:
    reflector::ReflectorLink::Say say()
    {
        return [this](const std::string &l) {
            std::lock_guard<std::mutex> g(m_);
            lines_.push_back(l);
            cv_.notify_all();
        };
    }
    bool wait(const std::string &text, size_t count = 1, int ms = timeout_ms)
    {
        std::unique_lock<std::mutex> g(m_);
        return cv_.wait_for(g, std::chrono::milliseconds(ms), [&] { return count_locked(text) >= count; });
    }
    size_t count(const std::string &text)
    {
        std::lock_guard<std::mutex> g(m_);
        return count_locked(text);
    }
    std::string all()
    {
        std::lock_guard<std::mutex> g(m_);
        std::string s;
        for (const std::string &l : lines_)
            s += l + "\n";
        return s;
    }

  private:
    size_t count_locked(const std::string &text)
    {
        size_t n = 0;
        for (const std::string &l : lines_)
            n += l.find(text) != std::string::npos;
        return n;
    }
    std::mutex m_;
    std::condition_variable cv_;
    std::vector<std::string> lines_;
};

// A link config for the fake: quick timings, so a test waits milliseconds.
inline reflector::LinkConfig quick_config(int port)
{
    reflector::LinkConfig c;
    c.host = "127.0.0.1";
    c.port = port;
    c.callsign = "N1";
    c.key = "node key";
    c.login_timeout = std::chrono::milliseconds(300);
    c.tcp_heartbeat = std::chrono::milliseconds(100);
    c.tcp_silence = std::chrono::milliseconds(10000);
    c.backoff_first = std::chrono::milliseconds(20);
    c.backoff_max = std::chrono::milliseconds(80);
    return c;
}

} // namespace reftest
