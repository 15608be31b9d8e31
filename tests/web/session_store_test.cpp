// Sessions and the login throttle on a clock the test sets.
#include "web/login_throttle.h"
#include "web/session_store.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace
{

using gwweb::LoginThrottle;
using gwweb::SessionStore;

TEST(SessionStore, IdleSessionsEndAndTheLeastRecentlyUsedGivesWay)
{
    SessionStore s;
    const SessionStore::Session *a = s.create(0);
    ASSERT_NE(a, nullptr);
    const std::string token = a->token;
    EXPECT_EQ(token.size(), 64u);
    EXPECT_NE(a->csrf, token);
    EXPECT_NE(s.find(token, SessionStore::idle_limit_ms), nullptr) << "used just in time";
    EXPECT_NE(s.find(token, 2 * SessionStore::idle_limit_ms), nullptr) << "each use restarts the idle time";
    EXPECT_EQ(s.find(token, 3 * SessionStore::idle_limit_ms + 1), nullptr);
    EXPECT_EQ(s.count(), 0u);

    std::vector<std::string> tokens;
    for (uint64_t t = 0; t < SessionStore::max_sessions; ++t)
        tokens.push_back(s.create(t)->token);
    s.find(tokens[0], 100); // the oldest is used again, so the second goes
    s.create(101);
    EXPECT_EQ(s.count(), SessionStore::max_sessions);
    EXPECT_NE(s.find(tokens[0], 102), nullptr);
    EXPECT_EQ(s.find(tokens[1], 102), nullptr);
    s.end(tokens[2]);
    EXPECT_EQ(s.find(tokens[2], 103), nullptr);
    s.end_all();
    EXPECT_EQ(s.find(tokens[3], 104), nullptr);
    EXPECT_EQ(s.find("", 104), nullptr);
}

TEST(SessionStore, EqualityIsExactWhateverTheLengths)
{
    struct Case {
        const char *given, *secret;
        bool equal;
    } const cases[] = {{"qzv", "qzv", true},   {"qzv", "qzw", false}, {"qz", "qzv", false},
                       {"qzvv", "qzv", false}, {"", "", true},        {"", "x", false},
                       {"x", "", false}};
    for (const Case &c : cases)
        EXPECT_EQ(gwweb::constant_time_equal(c.given, c.secret), c.equal) << c.given << " / " << c.secret;
    EXPECT_FALSE(gwweb::constant_time_equal(std::string("a\0b", 3), "a"));
    // A trailing NUL is a difference too: the field is padded with them.
    EXPECT_FALSE(gwweb::constant_time_equal(std::string("qzv\0", 4), "qzv"));
}

TEST(LoginThrottle, WaitsDoubleAfterTheFreeFailuresAndASuccessClearsThem)
{
    LoginThrottle t;
    uint64_t now = 1000;
    const uint64_t expected[] = {0, 0, 0, 1000, 2000, 4000, 8000, 16000, 32000, 60000, 60000};
    for (uint64_t wait : expected) {
        t.failed("10.0.0.9", now);
        EXPECT_EQ(t.wait_ms("10.0.0.9", now), wait);
        EXPECT_EQ(t.wait_ms("10.0.0.8", now), 0u) << "another address is not slowed";
        now += wait;
        EXPECT_EQ(t.wait_ms("10.0.0.9", now), 0u);
    }
    t.succeeded("10.0.0.9");
    t.failed("10.0.0.9", now);
    EXPECT_EQ(t.wait_ms("10.0.0.9", now), 0u);
    // A flood of addresses keeps the table bounded and does not free the one
    // being slowed down now.
    for (int i = 0; i < 4; ++i)
        t.failed("10.0.0.7", now);
    for (int i = 0; i < 1000; ++i)
        t.failed("192.0.2." + std::to_string(i), now - 1);
    EXPECT_GT(t.wait_ms("10.0.0.7", now), 0u);
}

} // namespace
