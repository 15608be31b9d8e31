// DM3000 heads through the emulator: display requests and buttons go to the
// host's callback unanswered, and the host's status record is tunnelled.
#include "tests/gatesim/libgatesim/sim_fixture.h"

using namespace simtest;

namespace
{

const Bytes ack = le32(2);
Bytes deny(int reason)
{
    return cat({le32(1), le32(static_cast<uint32_t>(reason))});
}

class Dm3000 : public SimFixture
{
  protected:
    void before_init() override
    {
        sim->set_cb_dm3000_req([this](unsigned req, const unsigned char *payload, int len) {
            std::lock_guard<std::mutex> g(lock);
            requests.emplace_back(req, Bytes(payload, payload + len));
            return 7; // ignored
        });
    }
    void SetUp() override { start(); }
    std::vector<std::pair<unsigned, Bytes>> requests;
};

class NoDm3000Handler : public SimFixture
{
  protected:
    void SetUp() override { start(); }
};

TEST_F(Dm3000, StatusRequestAndButtonReachTheHostUnanswered)
{
    Gateway g = logged_in();
    ASSERT_TRUE(g.send(proto::build_dm_status_request()));
    Bytes button = proto::build_dm_button(0x25, 0x35, 1);
    ASSERT_EQ(button, cat({le32(0xDEADBABE), le32(6), le32(2002), le32(0), {0x25, 0x35}, le32(1)}));
    ASSERT_TRUE(g.send(button));
    ASSERT_TRUE(g.send(le32(108)));
    EXPECT_EQ(g.read(4), ack); // nothing was answered before the ACK
    std::lock_guard<std::mutex> l(lock);
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].first, 2001u);
    EXPECT_TRUE(requests[0].second.empty());
    EXPECT_EQ(requests[1].first, 2002u);
    EXPECT_EQ(requests[1].second, (Bytes{0x25, 0x35, 1, 0, 0, 0}));
}

TEST_F(Dm3000, MisSizedButtonIsUnsupportedAndNotHandedOver)
{
    Gateway g = logged_in();
    for (size_t n : {0u, 5u, 7u}) {
        Bytes payload(n, 0x11);
        ASSERT_TRUE(g.send(proto::build_ext(2002, payload.data(), payload.size())));
        EXPECT_EQ(g.read(8), deny(2)) << n;
    }
    std::lock_guard<std::mutex> l(lock);
    EXPECT_TRUE(requests.empty());
}

TEST_F(Dm3000, RequestsBeforeLoginAreRefused)
{
    Gateway g = connect();
    ASSERT_TRUE(g.send(proto::build_dm_status_request()));
    EXPECT_EQ(g.read(8), deny(1));
    std::lock_guard<std::mutex> l(lock);
    EXPECT_TRUE(requests.empty());
}

TEST_F(NoDm3000Handler, StatusRequestAndButtonAreUnsupported)
{
    Gateway g = logged_in();
    ASSERT_TRUE(g.send(proto::build_dm_status_request()));
    EXPECT_EQ(g.read(8), deny(2));
    ASSERT_TRUE(g.send(proto::build_dm_button(0x16, 0, 3)));
    EXPECT_EQ(g.read(8), deny(2));
}

TEST_F(Dm3000, StatusIsTunnelledAs2003)
{
    Gateway g = logged_in();
    const unsigned char image[3] = {0x01, 0x80, 0xFF};
    EXPECT_EQ(sim->async_dm3000_status(0x11223344, 0x05, image, 3), 0);
    Bytes expected = {0xCB, 0, 0, 0, 0xFF, 24, 0};
    expected = cat({expected,
                    le32(12),
                    le32(2003),
                    le32(0),
                    {0x44, 0x33, 0x22, 0x11},
                    {0, 0, 0, 0},
                    {0x05},
                    {0x01, 0x80, 0xFF}});
    EXPECT_EQ(g.read(31), expected);

    // No data: the shortest record, 9 bytes.
    EXPECT_EQ(sim->async_dm3000_status(0, 0, nullptr, 0), 0);
    EXPECT_EQ(g.read(28), cat({{0xCB, 0, 0, 0, 0xFF, 21, 0}, le32(9), le32(2003), le32(0), Bytes(9, 0)}));
}

TEST_F(Dm3000, StatusThatCannotBeFramedIsRefused)
{
    Gateway g = logged_in();
    std::vector<unsigned char> big(65515, 0);
    EXPECT_EQ(sim->async_dm3000_status(0, 0, big.data(), 65515), -1);
    EXPECT_EQ(sim->async_dm3000_status(0, 0, nullptr, 4), -1);
    EXPECT_EQ(sim->async_dm3000_status(0, 0, big.data(), -1), -1);
    EXPECT_EQ(sim->async_dm3000_status(0, 0, big.data(), 65514), 0);
    Bytes head = g.read(7);
    EXPECT_EQ(head, (Bytes{0xCB, 0, 0, 0, 0xFF, 0xFF, 0xFF}));
}

} // namespace
