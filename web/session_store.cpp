#include "web/session_store.h"

#include <sys/random.h>

#include <cerrno>

namespace gwweb
{

std::string random_hex(size_t length)
{
    std::vector<uint8_t> raw(length);
    size_t got = 0;
    while (got < length) {
        ssize_t n = ::getrandom(raw.data() + got, length - got, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return std::string();
        got += static_cast<size_t>(n);
    }
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (uint8_t b : raw) {
        out.push_back(digits[b >> 4]);
        out.push_back(digits[b & 15]);
    }
    return out;
}

bool constant_time_equal(const std::string &given, const std::string &secret)
{
    // Both sides are walked over the longer of the two, so neither the place
    // of a difference nor the secret's length shows in the time.
    const size_t n = given.size() > secret.size() ? given.size() : secret.size();
    unsigned diff = given.size() != secret.size() ? 1u : 0u;
    for (size_t i = 0; i < n; ++i) {
        const unsigned char a = i < given.size() ? static_cast<unsigned char>(given[i]) : 0;
        const unsigned char b = i < secret.size() ? static_cast<unsigned char>(secret[i]) : 0;
        diff |= static_cast<unsigned>(a ^ b);
    }
    return diff == 0;
}

const SessionStore::Session *SessionStore::create(uint64_t now_ms)
{
    Session s;
    s.token = random_hex(32);
    s.csrf = random_hex(32);
    if (s.token.empty() || s.csrf.empty())
        return nullptr;
    s.last_used_ms = now_ms;
    if (sessions_.size() >= max_sessions) {
        size_t oldest = 0;
        for (size_t i = 1; i < sessions_.size(); ++i) {
            if (sessions_[i].last_used_ms < sessions_[oldest].last_used_ms)
                oldest = i;
        }
        sessions_.erase(sessions_.begin() + static_cast<long>(oldest));
    }
    sessions_.push_back(s);
    return &sessions_.back();
}

const SessionStore::Session *SessionStore::find(const std::string &token, uint64_t now_ms)
{
    if (token.empty())
        return nullptr;
    for (auto it = sessions_.begin(); it != sessions_.end(); ++it) {
        if (!constant_time_equal(token, it->token))
            continue;
        if (now_ms - it->last_used_ms > idle_limit_ms) {
            sessions_.erase(it);
            return nullptr;
        }
        it->last_used_ms = now_ms;
        return &*it;
    }
    return nullptr;
}

void SessionStore::end(const std::string &token)
{
    for (auto it = sessions_.begin(); it != sessions_.end(); ++it) {
        if (constant_time_equal(token, it->token)) {
            sessions_.erase(it);
            return;
        }
    }
}

void SessionStore::end_all()
{
    sessions_.clear();
}

} // namespace gwweb
