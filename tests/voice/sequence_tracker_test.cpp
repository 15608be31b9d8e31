#include "voice/sequence_tracker.h"

#include <gtest/gtest.h>

#include <vector>

namespace
{

struct Case {
    const char *what;
    std::vector<uint16_t> sequences;
    uint32_t late, lost;
};

TEST(SequenceTracker, CountsLateAndLostPacketsOfOneStream)
{
    const Case cases[] = {
        {"in order", {5, 6, 7, 8}, 0, 0},
        {"two missing", {5, 6, 9}, 0, 2},
        {"out of order", {5, 7, 6, 8}, 1, 1},
        {"duplicate", {5, 6, 6, 7}, 1, 0},
        {"across the wrap", {65534, 65535, 0, 2}, 0, 1},
        {"restart is no loss", {1000, 1001, 0, 1}, 0, 0},
        {"a long jump starts afresh", {10, 900, 901}, 0, 0},
        {"largest gap still loss", {10, 510}, 0, 499},
    };
    for (const Case &c : cases) {
        SequenceTracker t;
        uint32_t late = 0, lost = 0;
        for (uint16_t s : c.sequences) {
            SequenceTracker::verdict v = t.note(s, 42);
            late += v.late;
            lost += v.lost;
        }
        EXPECT_EQ(late, c.late) << c.what;
        EXPECT_EQ(lost, c.lost) << c.what;
    }
}

TEST(SequenceTracker, ANewSourceStartsAfresh)
{
    SequenceTracker t;
    t.note(100, 1);
    SequenceTracker::verdict v = t.note(50, 2);
    EXPECT_EQ(v.late + v.lost, 0u);
    v = t.note(52, 2);
    EXPECT_EQ(v.lost, 1u);
}

} // namespace
