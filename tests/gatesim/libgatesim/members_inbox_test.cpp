// Members the host serves itself share the relay and the one talker slot with
// the binary gateways. The whole program runs inside a box.
#include "tests/gatesim/libgatesim/sim_fixture.h"
#include "tests/isolated_box.h"
#include "tests/no_leak_check_in_boxes.h"

using namespace simtest;

namespace
{

class Members : public SimFixture
{
  protected:
    void before_init() override
    {
        sim->set_cb_set_ptt([](int) { return 0; });
        sim->set_cb_talker([this](int ptt, const std::string &user) {
            std::lock_guard<std::mutex> g(lock);
            talks.push_back(std::to_string(ptt) + ":" + user);
            return 0;
        });
    }
    void SetUp() override
    {
        std::string why;
        ASSERT_TRUE(inside_isolated_box(why)) << why;
        start();
    }
    std::vector<std::string> talk_log()
    {
        std::lock_guard<std::mutex> g(lock);
        return talks;
    }
    bool talked(size_t n)
    {
        return wait_until([&] { return talk_log().size() >= n; });
    }
    std::vector<std::string> talks;
};

TEST_F(Members, KeysAreUniqueAndAboveEveryTcpPort)
{
    int a = sim->rtp_member_add("127.0.0.1"), b = sim->rtp_member_add("127.0.0.1");
    EXPECT_GT(a, 65535);
    EXPECT_GT(b, 65535);
    EXPECT_NE(a, b);
    EXPECT_EQ(sim->rtp_member_add("not an address"), -1);
    EXPECT_EQ(sim->rtp_member_add(""), -1);
    EXPECT_EQ(sim->rtp_member_del("127.0.0.1", a), 0);
    EXPECT_EQ(sim->rtp_member_del("127.0.0.1", a), -1);
    EXPECT_EQ(sim->talker_take("127.0.0.1", a, "gone"), -2);
    EXPECT_EQ(sim->talker_take("bogus", b, "x"), -2);
    EXPECT_EQ(sim->talker_free("127.0.0.1", b, "x"), -1); // does not talk
}

TEST_F(Members, OneTalkerSlotForMembersAndBinaryGateways)
{
    Gateway g = logged_in();
    int m = sim->rtp_member_add("127.0.0.1"), n = sim->rtp_member_add("127.0.0.1");

    ASSERT_EQ(sim->talker_take("127.0.0.1", m, "member-m"), 0);
    EXPECT_EQ(g.read(40), proto::build_async_setptt(1, "member-m"));
    EXPECT_EQ(sim->talker_take("127.0.0.1", n, "member-n"), -1);
    // A binary gateway can neither take the slot nor free it meanwhile.
    ASSERT_TRUE(g.send(proto::build_setptt(1)));
    EXPECT_EQ(g.read(8), cat({le32(1), le32(4)}));
    ASSERT_TRUE(g.send(proto::build_setptt(0)));
    EXPECT_EQ(g.read(4), le32(2));
    EXPECT_TRUE(g.quiet());
    EXPECT_EQ(sim->talker_take("127.0.0.1", n, "member-n"), -1);
    EXPECT_EQ(sim->talker_free("127.0.0.1", n, "member-n"), -1);
    ASSERT_EQ(sim->talker_free("127.0.0.1", m, "member-m"), 0);
    EXPECT_EQ(g.read(40), proto::build_async_setptt(0, "member-m"));

    // The binary gateway talks: members wait; its disconnect frees the slot.
    ASSERT_TRUE(g.send(proto::build_setptt(1)));
    EXPECT_EQ(g.read(44).size(), 44u);
    EXPECT_EQ(sim->talker_take("127.0.0.1", n, "member-n"), -1);
    g.tcp.reset();
    ASSERT_TRUE(talked(4));
    EXPECT_EQ(sim->talker_take("127.0.0.1", n, "member-n"), 0);
    // A member removed while talking leaves the slot free.
    EXPECT_EQ(sim->rtp_member_del("127.0.0.1", n), 0);
    EXPECT_EQ(sim->talker_take("127.0.0.1", m, "member-m"), 0);

    EXPECT_EQ(talk_log(), (std::vector<std::string>{"1:member-m", "0:member-m", "1:user", "0:user",
                                                    "1:member-n", "1:member-m"}));
}

TEST_F(Members, VoiceOfATalkingMemberReachesTheGatewaysAndTheirsReachesIt)
{
    Gateway g = logged_in();
    Fd member = udp_socket();
    int key = sim->rtp_member_add("127.0.0.1");
    ASSERT_TRUE(send_datagram(member.get(), rtp_port, hello(key)));
    sync_all({&g}, 2);
    while (!recv_datagram(member.get(), 0).empty()) {
    }
    ASSERT_EQ(sim->talker_take("127.0.0.1", key, "m"), 0);
    Bytes v = voice(0x33, 5);
    ASSERT_TRUE(send_datagram(member.get(), rtp_port, v));
    EXPECT_EQ(recv_datagram(g.udp.get()), v);
    // Host voice goes to the talking member only.
    Bytes frame(160, 0x44);
    EXPECT_EQ(sim->rtp_send(frame.data(), 160, 8), 1);
    Bytes got = recv_datagram(member.get());
    ASSERT_EQ(got.size(), 172u);
    EXPECT_TRUE(recv_datagram(g.udp.get(), 200).empty());
}

} // namespace
