// The box's flash target peer, driven directly through a fake line: request
// parsing (garbage, bad length, bad CRC, frames split anywhere), the boot
// loader's state, the speed it answers at, injected faults and its control
// requests.
#include "sim/tty_peer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using B = std::vector<uint8_t>;

namespace
{

B operator+(B a, const B &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

class FakeLine : public boardbox::PeerHost
{
  public:
    int port() const override { return 1; }
    void send(const uint8_t *data, size_t count) override { sent.insert(sent.end(), data, data + count); }
    void set_inputs(uint32_t, uint32_t) override {}
    uint32_t gpio_outputs() const override { return 0; }
    uint32_t gpio_levels() const override { return 0; }
    unsigned baud() const override { return speed; }
    void log(const std::string &text) override { logged.push_back(text); }
    double now() const override { return clock; }

    B take()
    {
        B s;
        s.swap(sent);
        return s;
    }

    B sent;
    std::vector<std::string> logged;
    unsigned speed = 0;
    double clock = 0;
};

std::unique_ptr<boardbox::TtyPeer> make(FakeLine &line, const std::string &arg = "")
{
    const boardbox::PeerFactory *f = boardbox::find_peer("flashtarget");
    if (f == nullptr)
        return nullptr;
    return (*f)(line, arg);
}

void feed(boardbox::TtyPeer &p, const B &b)
{
    p.received(b.data(), b.size());
}

uint16_t crc(const uint8_t *d, size_t n)
{
    uint16_t c = 0;
    for (size_t i = 0; i < n; i++) {
        c ^= static_cast<uint16_t>(d[i] << 8);
        for (int k = 0; k < 8; k++)
            c = static_cast<uint16_t>(c & 0x8000 ? (c << 1) ^ 0x1021 : c << 1);
    }
    return c;
}

B request(uint8_t command)
{
    B f = {0xFF, 0x55, 0x43, 0x4B, 0x00, 0x04, 0x00, command};
    uint16_t c = crc(&f[4], 4);
    f.push_back(static_cast<uint8_t>(c >> 8));
    f.push_back(static_cast<uint8_t>(c));
    return f;
}

B block_request(uint8_t command, uint16_t block, uint8_t fill)
{
    B f = {0xFF,
           0x55,
           0x43,
           0x4B,
           0x01,
           0x06,
           0x00,
           command,
           static_cast<uint8_t>(block >> 8),
           static_cast<uint8_t>(block)};
    for (int i = 0; i < 256; i++)
        f.push_back(static_cast<uint8_t>(fill + i));
    uint16_t c = crc(&f[4], f.size() - 4);
    f.push_back(static_cast<uint8_t>(c >> 8));
    f.push_back(static_cast<uint8_t>(c));
    return f;
}

const B ok = {0x59, 0x45, 0x41, 0x48, 0x00, 0x04, 0x00, 0x00, 0xDC, 0xC0};

B status(uint16_t s)
{
    B a = {0x59, 0x45, 0x41, 0x48, 0x00, 0x04, static_cast<uint8_t>(s >> 8), static_cast<uint8_t>(s)};
    uint16_t c = crc(&a[4], 4);
    a.push_back(static_cast<uint8_t>(c >> 8));
    a.push_back(static_cast<uint8_t>(c));
    return a;
}

// Enter and reset: the boot loader runs.
void into_boot(boardbox::TtyPeer &p, FakeLine &line)
{
    feed(p, request(1));
    feed(p, request(32));
    line.take();
}

} // namespace

TEST(FlashTarget, AnswersTheQueryWithTheBootFlags)
{
    FakeLine line;
    auto p = make(line);
    ASSERT_TRUE(p);
    feed(*p, request(3));
    EXPECT_EQ(line.take(), status(0x8000));
    feed(*p, request(1));
    EXPECT_EQ(line.take(), ok);
    feed(*p, request(3));
    EXPECT_EQ(line.take(), status(0x8200));
    feed(*p, request(32));
    EXPECT_EQ(line.take(), ok);
    feed(*p, request(3));
    EXPECT_EQ(line.take(), (B{0x59, 0x45, 0x41, 0x48, 0x00, 0x04, 0x83, 0x00, 0x92, 0x0B}));
    feed(*p, request(2));
    feed(*p, request(32));
    line.take();
    feed(*p, request(3));
    EXPECT_EQ(line.take(), status(0x8000));
}

TEST(FlashTarget, ProgramsAndVerifiesBlocks)
{
    FakeLine line;
    auto p = make(line);
    ASSERT_TRUE(p);
    // Not in the boot loader yet.
    feed(*p, block_request(16, 0, 0x80));
    EXPECT_EQ(line.take(), status(5));
    into_boot(*p, line);
    feed(*p, block_request(16, 0, 0x80));
    feed(*p, block_request(16, 7, 0x01));
    EXPECT_EQ(line.take(), ok + ok);
    feed(*p, block_request(17, 7, 0x01));
    EXPECT_EQ(line.take(), ok);
    feed(*p, block_request(17, 7, 0x02));
    EXPECT_EQ(line.take(), status(6));
    feed(*p, block_request(17, 3, 0x01));
    EXPECT_EQ(line.take(), status(6));
    nlohmann::json d = p->control({{"cmd", "flashtarget"}, {"op", "data"}});
    EXPECT_EQ(d["blocks"], nlohmann::json::array({0, 7}));
    std::string data = d["data"];
    ASSERT_EQ(data.size(), 2u * 512);
    EXPECT_EQ(data.substr(0, 8), "80818283");
    EXPECT_EQ(data.substr(512, 8), "01020304");
    nlohmann::json st = p->control({{"cmd", "tty1"}});
    EXPECT_EQ(st["blocks"], 2);
    EXPECT_EQ(st["counts"]["prg"], 3);
    EXPECT_EQ(st["counts"]["vrf"], 3);
}

TEST(FlashTarget, FramesSplitAnywhereAndAfterGarbage)
{
    FakeLine line;
    auto p = make(line);
    ASSERT_TRUE(p);
    B stream = {0x00, 0xFF, 0x55, 0x43, 0x80, 0xFF, 0xFF};
    B r = request(1);
    stream.insert(stream.end(), r.begin(), r.end());
    B blk = block_request(16, 1, 0x33);
    stream.insert(stream.end(), blk.begin(), blk.end()); // refused: no reset yet
    for (uint8_t b : stream)
        p->received(&b, 1);
    EXPECT_EQ(line.take(), ok + status(5));
    nlohmann::json st = p->control({{"op", "state"}});
    EXPECT_EQ(st["skipped"], 7);
    EXPECT_EQ(st["counts"]["efm_enter"], 1);
}

TEST(FlashTarget, BadCrcIsAnsweredWithAnError)
{
    FakeLine line;
    auto p = make(line);
    ASSERT_TRUE(p);
    B r = request(1);
    r[9] ^= 0x01;
    feed(*p, r);
    EXPECT_EQ(line.take(), status(2));
    nlohmann::json st = p->control({{"op", "state"}});
    EXPECT_EQ(st["bad_crc"], 1);
    EXPECT_EQ(st["flashing"], false);
}

TEST(FlashTarget, LengthOtherThanPlainOrBlockIsSkipped)
{
    FakeLine line;
    auto p = make(line);
    ASSERT_TRUE(p);
    B bad = {0xFF, 0x55, 0x43, 0x4B, 0x00, 0x05, 0x00, 0x01, 0x00, 0x00, 0x00};
    feed(*p, bad);
    EXPECT_TRUE(line.take().empty());
    feed(*p, request(32));
    EXPECT_EQ(line.take(), ok);
    EXPECT_EQ(p->control({{"op", "state"}})["bad_length"], 1);
    // A block length on a plain command, and a plain length on a block command.
    B plain_as_block = block_request(3, 0, 0);
    plain_as_block[7] = 3;
    uint16_t c = crc(&plain_as_block[4], plain_as_block.size() - 6);
    plain_as_block[266] = static_cast<uint8_t>(c >> 8);
    plain_as_block[267] = static_cast<uint8_t>(c);
    feed(*p, plain_as_block);
    EXPECT_EQ(line.take(), status(3));
    feed(*p, request(16));
    EXPECT_EQ(line.take(), status(3));
    feed(*p, request(0x42));
    EXPECT_EQ(line.take(), status(4));
}

TEST(FlashTarget, IncompleteFrameIsDroppedAfterAPause)
{
    FakeLine line;
    auto p = make(line);
    ASSERT_TRUE(p);
    // Looks like a block request header, but the rest never comes.
    feed(*p, B{0xFF, 0x55, 0x43, 0x4B, 0x01, 0x06, 0x00});
    line.clock = 1.0;
    p->tick();
    feed(*p, request(1));
    EXPECT_EQ(line.take(), ok);
}

TEST(FlashTarget, SilentAtAnotherSpeed)
{
    FakeLine line;
    line.speed = 230400;
    auto p = make(line, "speed=460800");
    ASSERT_TRUE(p);
    feed(*p, request(1));
    EXPECT_TRUE(line.take().empty());
    EXPECT_EQ(p->control({{"op", "state"}})["ignored"], 1);
    line.speed = 460800;
    feed(*p, request(1));
    EXPECT_EQ(line.take(), ok);
}

TEST(FlashTarget, AnyTargetSpeedWithoutArgument)
{
    for (unsigned s : {0u, 230400u, 3000000u}) {
        FakeLine line;
        line.speed = s;
        auto p = make(line);
        ASSERT_TRUE(p);
        feed(*p, request(2));
        EXPECT_EQ(line.take(), ok) << s;
    }
}

TEST(FlashTarget, InjectedEnterFailures)
{
    FakeLine line;
    auto p = make(line, "efm_fail=2");
    ASSERT_TRUE(p);
    feed(*p, request(1));
    feed(*p, request(1));
    feed(*p, request(1));
    EXPECT_EQ(line.take(), status(1) + status(1) + ok);
}

TEST(FlashTarget, SilentCommandNoiseAndBadCrc)
{
    FakeLine line;
    auto p = make(line, "silent=32,bad_crc=3,noise=5");
    ASSERT_TRUE(p);
    feed(*p, request(32));
    EXPECT_TRUE(line.take().empty());
    feed(*p, request(3));
    B got = line.take();
    ASSERT_EQ(got.size(), 15u);
    B answer(got.begin() + 5, got.end());
    B good = status(0x8000);
    EXPECT_EQ(B(answer.begin(), answer.begin() + 8), B(good.begin(), good.begin() + 8));
    EXPECT_NE(answer, good);
    EXPECT_EQ(p->control({{"op", "state"}})["counts"]["rst"], 1);
}

TEST(FlashTarget, AnswersInPiecesOnePerTick)
{
    FakeLine line;
    auto p = make(line, "split=4");
    ASSERT_TRUE(p);
    feed(*p, request(1));
    EXPECT_TRUE(line.take().empty());
    B all;
    for (size_t sizes : {4u, 4u, 2u}) {
        p->tick();
        B piece = line.take();
        EXPECT_EQ(piece.size(), sizes);
        all.insert(all.end(), piece.begin(), piece.end());
    }
    EXPECT_EQ(all, ok);
}

TEST(FlashTarget, WrongVerifyStatusForOneBlock)
{
    FakeLine line;
    auto p = make(line, "vrf_wrong=1");
    ASSERT_TRUE(p);
    into_boot(*p, line);
    feed(*p, block_request(16, 0, 9));
    feed(*p, block_request(16, 1, 9));
    feed(*p, block_request(17, 0, 9));
    feed(*p, block_request(17, 1, 9));
    EXPECT_EQ(line.take(), ok + ok + ok + status(6));
}

TEST(FlashTarget, FaultsSetAndClearedByControl)
{
    FakeLine line;
    auto p = make(line);
    ASSERT_TRUE(p);
    nlohmann::json r = p->control({{"op", "set"}, {"efm_fail", 1}, {"silent", {2, 3}}});
    EXPECT_EQ(r["faults"]["efm_fail"], 1);
    EXPECT_EQ(r["faults"]["silent"], nlohmann::json::array({2, 3}));
    feed(*p, request(1));
    feed(*p, request(2));
    EXPECT_EQ(line.take(), status(1));
    p->control({{"op", "set"}, {"silent", "none"}});
    feed(*p, request(2));
    EXPECT_EQ(line.take(), ok);
    r = p->control({{"op", "set"}, {"vrf_wrong", 3}});
    EXPECT_EQ(r["faults"]["vrf_wrong"], 3);
    r = p->control({{"op", "set"}, {"vrf_wrong", "none"}, {"speed", 460800}});
    EXPECT_EQ(r["faults"]["vrf_wrong"], -1);
    EXPECT_EQ(r["faults"]["speed"], 460800);
    r = p->control({{"op", "set"}, {"split", 99}});
    EXPECT_EQ(r["ok"], false);
    r = p->control({{"op", "set"}, {"noise", "many"}});
    EXPECT_EQ(r["ok"], false);
    r = p->control({{"op", "clear"}});
    EXPECT_EQ(r["counts"], nlohmann::json::object());
    EXPECT_EQ(r["blocks"], 0);
    EXPECT_EQ(p->control({{"op", "dance"}})["ok"], false);
}

TEST(FlashTarget, BadArgumentsRefuseTheTarget)
{
    for (const char *arg : {"speed", "speed=fast", "speed=99999999999", "efm_fail=-1", "split=11",
                            "colour=blue", "silent=300"}) {
        FakeLine line;
        EXPECT_FALSE(make(line, arg)) << arg;
    }
    FakeLine line;
    EXPECT_TRUE(
        make(line, "speed=3000000,efm_fail=1,silent=3,silent=17,noise=0,split=1,bad_crc=2,vrf_wrong=4"));
}

TEST(FlashTarget, DigestFollowsTheProgrammedData)
{
    FakeLine line;
    auto p = make(line);
    ASSERT_TRUE(p);
    into_boot(*p, line);
    std::string empty = p->control({{"op", "state"}})["digest"];
    feed(*p, block_request(16, 0, 1));
    std::string one = p->control({{"op", "state"}})["digest"];
    feed(*p, block_request(16, 0, 2));
    std::string other = p->control({{"op", "state"}})["digest"];
    EXPECT_NE(empty, one);
    EXPECT_NE(one, other);
    EXPECT_EQ(one.size(), 16u);
}
