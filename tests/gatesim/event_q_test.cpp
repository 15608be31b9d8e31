#include "gatesim/event_q.h"

#include <future>
#include <gtest/gtest.h>
#include <string>
#include <thread>

namespace
{

std::string take(EventQ &q)
{
    std::vector<uint8_t> out;
    int n = q.GetEvent(out);
    if (n < 0)
        return "<killed>";
    return std::string(out.begin(), out.end());
}

TEST(EventQ, DeliversNormalEntriesInOrder)
{
    EventQ q;
    EXPECT_EQ(q.PutEvent("one", 3, false), 0);
    EXPECT_EQ(q.PutEvent("two", 3, false), 0);
    EXPECT_EQ(q.GetSize(), 2);
    EXPECT_EQ(take(q), "one");
    EXPECT_EQ(take(q), "two");
    EXPECT_EQ(q.GetSize(), 0);
}

TEST(EventQ, UrgentEntriesQueuedLaterComeFirst)
{
    EventQ q;
    q.PutEvent("n1", 2, false);
    q.PutEvent("n2", 2, false);
    q.PutEvent("u1", 2, true);
    q.PutEvent("u2", 2, true);
    EXPECT_EQ(take(q), "u1");
    EXPECT_EQ(take(q), "u2");
    EXPECT_EQ(take(q), "n1");
    EXPECT_EQ(take(q), "n2");
}

TEST(EventQ, GetEventReturnsTheSizeAndACopy)
{
    EventQ q;
    char data[5] = {'a', 'b', 0, 'c', 'd'};
    q.PutEvent(data, sizeof data, false);
    data[0] = 'x';
    std::vector<uint8_t> out;
    ASSERT_EQ(q.GetEvent(out), 5);
    EXPECT_EQ(out, (std::vector<uint8_t>{'a', 'b', 0, 'c', 'd'}));
}

TEST(EventQ, The65thEntryIsRejected)
{
    EventQ q;
    for (int i = 0; i < 64; i++)
        ASSERT_EQ(q.PutEvent("e", 1, i % 2 == 0), 0) << i;
    EXPECT_EQ(q.PutEvent("x", 1, false), -1);
    EXPECT_EQ(q.PutEvent("x", 1, true), -1);
    EXPECT_EQ(q.GetSize(), 64);
    take(q);
    EXPECT_EQ(q.PutEvent("y", 1, false), 0);
}

TEST(EventQ, EmptyOrNullDataIsRejected)
{
    EventQ q;
    EXPECT_EQ(q.PutEvent(nullptr, 4, false), -1);
    EXPECT_EQ(q.PutEvent("abc", 0, false), -1);
    EXPECT_EQ(q.GetSize(), 0);
}

TEST(EventQ, GetEventAfterKillFailsEvenWithEntriesQueued)
{
    EventQ q;
    q.PutEvent("a", 1, false);
    q.PutEvent("b", 1, true);
    EXPECT_EQ(q.Kill(), 0);
    std::vector<uint8_t> out;
    EXPECT_EQ(q.GetEvent(out), -1);
    EXPECT_EQ(q.GetEvent(out), -1);
    EXPECT_EQ(q.PutEvent("c", 1, false), -1);
}

TEST(EventQ, KillWakesABlockedReader)
{
    EventQ q;
    auto reader = std::async(std::launch::async, [&] {
        std::vector<uint8_t> out;
        return q.GetEvent(out);
    });
    EXPECT_EQ(reader.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
    q.Kill();
    ASSERT_EQ(reader.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(reader.get(), -1);
}

TEST(EventQ, PutEventWakesABlockedReader)
{
    EventQ q;
    auto reader = std::async(std::launch::async, [&] { return take(q); });
    q.PutEvent("wake", 4, false);
    ASSERT_EQ(reader.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(reader.get(), "wake");
}

TEST(EventQ, ManyProducersOneConsumerLoseNothingBelowTheBound)
{
    EventQ q;
    constexpr int producers = 4, each = 500;
    std::atomic<int> taken{0};
    auto consumer = std::async(std::launch::async, [&] {
        std::vector<uint8_t> out;
        while (q.GetEvent(out) >= 0)
            taken++;
    });
    std::vector<std::thread> threads;
    std::atomic<int> accepted{0};
    for (int p = 0; p < producers; p++)
        threads.emplace_back([&] {
            for (int i = 0; i < each; i++)
                if (q.PutEvent("d", 1, i % 3 == 0) == 0)
                    accepted++;
        });
    for (auto &t : threads)
        t.join();
    ASSERT_TRUE([&] {
        for (int i = 0; i < 5000 && taken.load() < accepted.load(); i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        return taken.load() == accepted.load();
    }());
    q.Kill();
    consumer.wait();
    EXPECT_EQ(q.GetSize(), 0);
}

} // namespace
