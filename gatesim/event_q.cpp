#include "gatesim/event_q.h"

#include <cstdlib>
#include <cstring>

EventQ::EventQ() = default;

EventQ::~EventQ() = default;

int EventQ::PutEvent(const char *data, unsigned size, bool urgent)
{
    if (data == nullptr || size == 0)
        return -1;
    std::lock_guard<std::mutex> g(lock_);
    if (!enabled_ || killed_ || count_ >= max_entries)
        return -1;
    auto *p = reinterpret_cast<const uint8_t *>(data);
    (urgent ? urgent_ : normal_).emplace_back(p, p + size);
    ++count_;
    ready_.notify_one();
    return 0;
}

int EventQ::GetEvent(std::vector<uint8_t> &out)
{
    std::unique_lock<std::mutex> g(lock_);
    ready_.wait(g, [this] { return killed_ || count_ > 0; });
    if (killed_)
        return -1;
    auto &list = urgent_.empty() ? normal_ : urgent_;
    out = std::move(list.front());
    list.pop_front();
    --count_;
    return static_cast<int>(out.size());
}

int EventQ::GetEvent(char **out)
{
    if (out == nullptr)
        return -1;
    *out = nullptr;
    std::vector<uint8_t> entry;
    int n = GetEvent(entry);
    if (n <= 0)
        return n;
    *out = static_cast<char *>(std::malloc(entry.size()));
    if (*out == nullptr)
        return -1;
    std::memcpy(*out, entry.data(), entry.size());
    return n;
}

int EventQ::Kill()
{
    std::lock_guard<std::mutex> g(lock_);
    killed_ = true;
    ready_.notify_all();
    return 0;
}

int EventQ::GetSize()
{
    std::lock_guard<std::mutex> g(lock_);
    return count_;
}
