// The LED blinker that shows an upgrade in progress: off 25 ms, on 25 ms,
// until stopped.
#pragma once

#include <condition_variable>
#include <mutex>
#include <thread>

namespace fwwriter
{

class LedBlink
{
  public:
    using LedFn = void (*)(int on);

    explicit LedBlink(LedFn led);
    // Stops and joins the thread.
    ~LedBlink();
    LedBlink(const LedBlink &) = delete;
    LedBlink &operator=(const LedBlink &) = delete;

    // 0, or -1 when the thread cannot be started.
    int start();
    // Returns once the thread has ended; no LED call follows.
    void stop();

  private:
    void thr_ledblink();

    LedFn led_;
    std::thread thread_;
    std::mutex lock_;
    std::condition_variable wake_;
    bool stop_ = false;
};

} // namespace fwwriter
