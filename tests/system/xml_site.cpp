// The gateway's XML server link against gatesimd's XML side, with a binary
// gateway on the same site. The program runs inside a box: gatesimd is its
// child, the links and the voice sockets talk to it on loopback.
#include "control/roipsrv_conn.h"
#include "control/xml_messages.h"
#include "tests/gatesim/net_helpers.h"
#include "tests/system/site_test.h"
#include "wire/roip_proto.h"

#include <deque>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/un.h>

using namespace testnet;
using site::Bytes;
using site::ms;

namespace
{

// One XML gateway's link, with every text it hands to its control queued.
class Link
{
  public:
    Link(int xml_port, const std::string &user, const std::string &pw)
        : link_([this](const std::string &t) { on_text(t); }, "127.0.0.1", xml_port, user, pw, 8000)
    {
    }
    int start() { return link_.start_thr(); }
    class_roipsrv_conn *conn() { return &link_; }

    // The next text with this dispatch key (texts before it are dropped);
    // empty after `timeout`.
    std::string wait(const std::string &key, ms timeout = ms(10000))
    {
        std::unique_lock<std::mutex> g(m_);
        std::string found;
        cv_.wait_for(g, timeout, [&] {
            while (!texts_.empty()) {
                std::string t = std::move(texts_.front());
                texts_.pop_front();
                if (class_roipsrv_conn::message_key(t) == key) {
                    found = t;
                    return true;
                }
            }
            return false;
        });
        return found;
    }
    int disconnects()
    {
        std::lock_guard<std::mutex> g(m_);
        return disconnects_;
    }

  private:
    void on_text(const std::string &t)
    {
        std::lock_guard<std::mutex> g(m_);
        if (t == ":disconnected")
            disconnects_++;
        texts_.push_back(t);
        cv_.notify_all();
    }
    std::mutex m_;
    std::condition_variable cv_;
    std::deque<std::string> texts_;
    int disconnects_ = 0;
    class_roipsrv_conn link_; // last: its thread stops before the queue goes
};

struct Ptt {
    int ptt = -1;
    std::string roip, local;
};

Ptt set_ptt_ev(const std::string &text)
{
    Ptt p;
    EXPECT_EQ(xml_SetPttEv(text, p.ptt, p.roip, p.local), 0) << text;
    return p;
}

Bytes hello(uint32_t sync)
{
    Bytes p(172, 0);
    p[0] = 0x80;
    p[1] = 0x08;
    bytes::put_le32(p.data() + 12, sync);
    return p;
}

Bytes voice(uint8_t fill)
{
    Bytes p(172, fill);
    p[0] = 0x80;
    p[1] = 0x08;
    return p;
}

using XmlSite = site::SiteTest;

TEST_F(XmlSite, TheRealLinkAgainstGatesimdsXmlSide)
{
    write_users("a pa 1 alaw\nb pb 1 gsm console-b rckd\nbin pbin 1 alaw\n");
    start_gatesimd({"--radio-name", "north-radio", "--debug"});
    EXPECT_GE(srv_.find("gatesimd: xml gateways on 127.0.0.1:" + std::to_string(xml_port()) +
                        ", radio north-radio"),
              0);
    const int bin_port = tcp_port(), rtp_port = this->rtp_port();

    // Login and the values of LoginPosResp.
    Link a(xml_port(), "a", "pa"), b(xml_port(), "b", "pb");
    ASSERT_EQ(a.start(), 0);
    ASSERT_FALSE(a.wait(":connected").empty());
    std::string resp = a.wait("LoginPosResp");
    int port = 0, codec = 0, sm = 0;
    uint32_t sync_a = 0, sync_b = 0;
    std::string devname, encrypt;
    ASSERT_EQ(xml_LoginPosResp(resp, port, codec, sm, sync_a, devname, encrypt), 0) << resp;
    EXPECT_EQ(port, rtp_port);
    EXPECT_EQ(codec, 1);
    EXPECT_EQ(sm, 1);
    EXPECT_EQ(devname, "a");
    EXPECT_EQ(encrypt, "");
    ASSERT_EQ(b.start(), 0);
    resp = b.wait("LoginPosResp");
    ASSERT_EQ(xml_LoginPosResp(resp, port, codec, sm, sync_b, devname, encrypt), 0) << resp;
    EXPECT_EQ(codec, 2);
    EXPECT_EQ(devname, "console-b");
    EXPECT_EQ(encrypt, "rckd");
    EXPECT_NE(sync_a, sync_b);

    // GpioStateReq is answered with the site's word.
    ASSERT_EQ(xml_GpioStateReq(a.conn()), 0);
    std::string gpio = a.wait("GpioChangedEv");
    uint32_t bitmap = 1, mask = 0;
    ASSERT_EQ(xml_GpioChangedEv(gpio, bitmap, mask), 0) << gpio;
    EXPECT_EQ(bitmap, 0u);
    EXPECT_EQ(mask, 0xFFFFFFFFu);

    // A binary gateway on the same site, and everybody's voice socket synced.
    Fd bin_tcp = tcp_connect(bin_port), bin_udp = udp_socket(), udp_a = udp_socket();
    ASSERT_EQ(read_n(bin_tcp.get(), 20).size(), 20u);
    ASSERT_TRUE(send_all(bin_tcp.get(), proto::build_login_request("bin", "pbin")));
    Bytes res = read_n(bin_tcp.get(), 124);
    ASSERT_EQ(res.size(), 124u);
    uint32_t sync_bin = bytes::get_le32(res.data() + 4 + 16);
    ASSERT_TRUE(send_datagram(udp_a.get(), rtp_port, hello(sync_a)));
    ASSERT_TRUE(send_datagram(bin_udp.get(), rtp_port, hello(sync_bin)));
    ASSERT_TRUE(srv_.wait_for_line(
        "roip: rtp: user synced 127.0.0.1:" + std::to_string(local_port(udp_a.get())), ms(10000)));
    ASSERT_TRUE(srv_.wait_for_line(
        "roip: rtp: user synced 127.0.0.1:" + std::to_string(local_port(bin_udp.get())), ms(10000)));

    // a keys: both XML gateways hear it, b is refused while a talks, and a's
    // voice reaches the binary gateway.
    ASSERT_EQ(xml_SetPttReq(a.conn(), 1), 0);
    for (Link *l : {&a, &b}) {
        Ptt p = set_ptt_ev(l->wait("SetPttEv"));
        EXPECT_EQ(p.ptt, 1);
        EXPECT_EQ(p.roip, "north-radio");
        EXPECT_EQ(p.local, "a");
    }
    ASSERT_EQ(xml_SetPttReq(b.conn(), 1), 0);
    EXPECT_FALSE(b.wait("NegResp/SetPttReq").empty());
    Bytes from_a = voice(0x11);
    ASSERT_TRUE(send_datagram(udp_a.get(), rtp_port, from_a));
    Bytes got;
    for (int i = 0; i < 10 && got.size() != 172; i++) // the relay's 4-byte keep-alives may come first
        got = recv_datagram(bin_udp.get());
    EXPECT_EQ(got, from_a);
    ASSERT_EQ(xml_SetPttReq(a.conn(), 0), 0);
    for (Link *l : {&a, &b})
        EXPECT_EQ(set_ptt_ev(l->wait("SetPttEv")).ptt, 0);

    // The binary gateway keys: the XML gateways hear it, and its voice
    // reaches a.
    ASSERT_TRUE(send_all(bin_tcp.get(), proto::build_setptt(1)));
    for (Link *l : {&a, &b}) {
        Ptt p = set_ptt_ev(l->wait("SetPttEv"));
        EXPECT_EQ(p.ptt, 1);
        EXPECT_EQ(p.local, "bin");
    }
    Bytes from_bin = voice(0x22);
    ASSERT_TRUE(send_datagram(bin_udp.get(), rtp_port, from_bin));
    got.clear();
    for (int i = 0; i < 10 && got.size() != 172; i++)
        got = recv_datagram(udp_a.get());
    EXPECT_EQ(got, from_bin);

    // A minute of keep-alives without a drop.
    EXPECT_TRUE(a.wait(":disconnected", ms(61000)).empty());
    EXPECT_EQ(a.disconnects(), 0);
    EXPECT_EQ(b.disconnects(), 0);
    EXPECT_LT(srv_.find("silent for"), 0);
    std::string state = server("state");
    EXPECT_NE(state.find("2 xml gateways"), std::string::npos) << state;
    size_t at = state.find("[a] ");
    ASSERT_NE(at, std::string::npos) << state;
    unsigned long keepalives = std::strtoul(state.c_str() + state.find("keepalives ", at) + 11, nullptr, 10);
    EXPECT_GE(keepalives, 12u) << state;
}

} // namespace
