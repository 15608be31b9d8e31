#include "voice/jitter_buffer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

namespace
{

std::atomic<int> liveCounted{0};

// Counts its instances, so deleting held packets can be observed.
class CountedPacket : public RtpPacket
{
  public:
    explicit CountedPacket(uint16_t seq) : RtpPacket(nullptr, 0, 8, seq, 0, 0, 0, 0) { ++liveCounted; }
    ~CountedPacket() override { --liveCounted; }
};

RtpPacket *packet(uint16_t seq)
{
    return new CountedPacket(seq);
}

// Takes one packet and returns its sequence number, or -1 for none.
int take(JitterBuffer &jb)
{
    std::unique_ptr<RtpPacket> p(jb.get());
    return p ? p->getSequenceNumber() : -1;
}

class JitterBufferTest : public testing::Test
{
  protected:
    void TearDown() override { EXPECT_EQ(liveCounted.load(), 0); }
};

TEST_F(JitterBufferTest, HoldsPacketsBackUntilTheDepthIsReached)
{
    JitterBuffer jb(6, 3);
    EXPECT_EQ(jb.put(packet(1)), 0);
    EXPECT_EQ(jb.put(packet(2)), 0);
    EXPECT_EQ(take(jb), -1);
    EXPECT_EQ(jb.getCount(), 2);
    EXPECT_EQ(jb.put(packet(3)), 0);
    EXPECT_EQ(take(jb), 1);
    EXPECT_EQ(take(jb), 2);
    EXPECT_EQ(take(jb), 3);
    EXPECT_EQ(take(jb), -1);
}

TEST_F(JitterBufferTest, AnEmptiedBufferNeedsAFullRefill)
{
    JitterBuffer jb(6, 3);
    for (uint16_t s = 1; s <= 3; ++s)
        jb.put(packet(s));
    for (int i = 0; i < 3; ++i)
        take(jb);
    jb.put(packet(4));
    EXPECT_EQ(take(jb), -1);
    jb.put(packet(5));
    EXPECT_EQ(take(jb), -1);
    jb.put(packet(6));
    EXPECT_EQ(take(jb), 4);
}

TEST_F(JitterBufferTest, ArrivalsWhileDrainingKeepItDraining)
{
    JitterBuffer jb(6, 2);
    jb.put(packet(1));
    jb.put(packet(2));
    EXPECT_EQ(take(jb), 1);
    jb.put(packet(3));
    EXPECT_EQ(take(jb), 2);
    EXPECT_EQ(take(jb), 3);
    EXPECT_EQ(take(jb), -1);
}

TEST_F(JitterBufferTest, RefusesPacketsBeyondCapacity)
{
    JitterBuffer jb(6, 3);
    for (uint16_t s = 0; s < 6; ++s)
        EXPECT_EQ(jb.put(packet(s)), 0);
    std::unique_ptr<RtpPacket> seventh(packet(6));
    EXPECT_EQ(jb.put(seventh.get()), -1);
    EXPECT_EQ(jb.getCount(), 6);
    EXPECT_EQ(take(jb), 0);
    EXPECT_EQ(jb.put(seventh.release()), 0);
    EXPECT_EQ(jb.getCount(), 6);
}

TEST_F(JitterBufferTest, DepthZeroReleasesEveryPacketAtOnce)
{
    JitterBuffer jb(4, 0);
    EXPECT_EQ(take(jb), -1);
    jb.put(packet(9));
    EXPECT_EQ(take(jb), 9);
    EXPECT_EQ(take(jb), -1);
}

TEST_F(JitterBufferTest, CapacityZeroRefusesEverything)
{
    JitterBuffer jb(0, 0);
    std::unique_ptr<RtpPacket> p(packet(1));
    EXPECT_EQ(jb.put(p.get()), -1);
    EXPECT_EQ(jb.getCount(), 0);
    EXPECT_EQ(take(jb), -1);
}

TEST_F(JitterBufferTest, NegativeSizesRefuseEverything)
{
    JitterBuffer jb(-1, -1);
    std::unique_ptr<RtpPacket> p(packet(1));
    EXPECT_EQ(jb.put(p.get()), -1);
    EXPECT_EQ(take(jb), -1);
}

TEST_F(JitterBufferTest, DoesNotReorder)
{
    JitterBuffer jb(6, 3);
    jb.put(packet(5));
    jb.put(packet(3));
    jb.put(packet(4));
    EXPECT_EQ(take(jb), 5);
    EXPECT_EQ(take(jb), 3);
    EXPECT_EQ(take(jb), 4);
}

TEST_F(JitterBufferTest, ClearDeletesHeldPacketsAndRestartsFilling)
{
    JitterBuffer jb(6, 2);
    jb.put(packet(1));
    jb.put(packet(2));
    jb.put(packet(3));
    EXPECT_EQ(take(jb), 1);
    EXPECT_EQ(liveCounted.load(), 2);
    EXPECT_EQ(jb.clear(), 0);
    EXPECT_EQ(liveCounted.load(), 0);
    EXPECT_EQ(jb.getCount(), 0);
    jb.put(packet(4));
    EXPECT_EQ(take(jb), -1);
    jb.put(packet(5));
    EXPECT_EQ(take(jb), 4);
    EXPECT_EQ(take(jb), 5);
}

TEST_F(JitterBufferTest, DestructorDeletesHeldPackets)
{
    {
        JitterBuffer jb(6, 3);
        jb.put(packet(1));
        jb.put(packet(2));
    }
    EXPECT_EQ(liveCounted.load(), 0);
}

TEST_F(JitterBufferTest, OneWriterAndOneReaderLoseNothing)
{
    constexpr int kPackets = 20000;
    constexpr uint16_t kFiller = 0xFFFF;
    JitterBuffer jb(8, 2);
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (int i = 0; i < kPackets; ++i) {
            RtpPacket *p = packet(static_cast<uint16_t>(i));
            while (jb.put(p) != 0)
                std::this_thread::yield();
        }
        done = true;
    });
    int expected = 0;
    for (;;) {
        const int s = take(jb);
        if (s == kFiller)
            break;
        if (s >= 0) {
            ASSERT_EQ(s, expected);
            ++expected;
            continue;
        }
        // A last packet alone stays below the depth: one filler releases it.
        if (done && (jb.getCount() == 1 || expected == kPackets))
            jb.put(packet(kFiller));
        std::this_thread::yield();
    }
    writer.join();
    EXPECT_EQ(expected, kPackets);
}

} // namespace
