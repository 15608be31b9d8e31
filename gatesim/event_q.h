// EventQ: the bounded outgoing queue of one gateway connection. Host threads
// queue events, the connection's writer thread drains them, so broadcasts never
// block on a slow socket.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

class EventQ
{
  public:
    static constexpr int max_entries = 64;

    EventQ();
    virtual ~EventQ();
    EventQ(const EventQ &) = delete;
    EventQ &operator=(const EventQ &) = delete;

    // Copies the data. -1 when the queue is full, killed, or the data is empty.
    virtual int PutEvent(const char *data, unsigned size, bool urgent);
    // Blocks for the next entry (urgent ones first) and moves it into `out`;
    // returns its size, or -1 once the queue is killed (even with entries left).
    virtual int GetEvent(std::vector<uint8_t> &out);
    // Wakes the reader for good; queued entries are dropped with the queue.
    virtual int Kill();
    virtual int GetSize();

  private:
    std::deque<std::vector<uint8_t>> normal_;
    std::deque<std::vector<uint8_t>> urgent_;
    std::mutex lock_;
    std::condition_variable ready_;
    bool killed_ = false;
    int count_ = 0;
    bool enabled_ = true;
};
