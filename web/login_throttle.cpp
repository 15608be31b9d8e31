#include "web/login_throttle.h"

namespace gwweb
{

uint64_t LoginThrottle::wait_ms(const std::string &client, uint64_t now_ms) const
{
    for (const entry &e : entries_) {
        if (e.client == client)
            return e.next_ms > now_ms ? e.next_ms - now_ms : 0;
    }
    return 0;
}

void LoginThrottle::failed(const std::string &client, uint64_t now_ms)
{
    entry *e = nullptr;
    for (entry &x : entries_) {
        if (x.client == client)
            e = &x;
    }
    if (e == nullptr) {
        if (entries_.size() >= max_clients) {
            size_t stalest = 0;
            for (size_t i = 1; i < entries_.size(); ++i) {
                if (entries_[i].next_ms < entries_[stalest].next_ms)
                    stalest = i;
            }
            entries_.erase(entries_.begin() + static_cast<long>(stalest));
        }
        entries_.push_back(entry{client, 0, now_ms});
        e = &entries_.back();
    }
    ++e->failures;
    uint64_t wait = 0;
    if (e->failures > free_failures) {
        const unsigned doublings = e->failures - free_failures - 1;
        wait = doublings >= 16 ? max_wait_ms : 1000ull << doublings;
        if (wait > max_wait_ms)
            wait = max_wait_ms;
    }
    e->next_ms = now_ms + wait;
}

void LoginThrottle::succeeded(const std::string &client)
{
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
        if (it->client == client) {
            entries_.erase(it);
            return;
        }
    }
}

} // namespace gwweb
