// Logged-in sessions, in memory only: a random token for the cookie and one
// for the CSRF header, ended by logout, by idle time, or all at once when the
// password changes. A bounded number; the least recently used goes first.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace gwweb
{

class SessionStore
{
  public:
    static constexpr size_t max_sessions = 8;
    static constexpr uint64_t idle_limit_ms = 15 * 60 * 1000;

    struct Session {
        std::string token;
        std::string csrf;
        uint64_t last_used_ms = 0;
    };

    // A new session; null when no random bytes could be had.
    const Session *create(uint64_t now_ms);
    // The live session of a cookie token, its idle time restarted; null when
    // there is none or it has idled out.
    const Session *find(const std::string &token, uint64_t now_ms);
    void end(const std::string &token);
    void end_all();
    size_t count() const { return sessions_.size(); }

  private:
    std::vector<Session> sessions_;
};

// `length` random bytes as lower-case hex; empty on failure.
std::string random_hex(size_t length);

// Equal texts, in time that depends only on the length of `secret`'s field
// and not on where the first difference lies.
bool constant_time_equal(const std::string &given, const std::string &secret);

} // namespace gwweb
