// Waker: an eventfd that stops a library thread blocked in poll(). The library
// never cancels its threads: each one polls its descriptor together with this
// one and leaves its loop once the owner has notified.
#pragma once

#include <poll.h>

namespace gatesim_detail
{

class Waker
{
  public:
    Waker();
    ~Waker();
    Waker(const Waker &) = delete;
    Waker &operator=(const Waker &) = delete;

    bool ok() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    void notify();
    bool notified() const;
    // Waits up to `ms` (-1 = forever) for `other` to become readable or for the
    // notification. Returns 1 when `other` is readable, 0 on time-out, -1 once
    // notified (or on a poll error other than EINTR).
    int wait(int other, int ms) const;
    // Sleeps `ms` unless notified first; false once notified.
    bool sleep(int ms) const { return wait(-1, ms) == 0; }

  private:
    int fd_ = -1;
};

} // namespace gatesim_detail
