// TxTimeout: the transmit time-out of a radio control. A transmission that
// has lasted `limit` is ended as if PTT were released, and the next one needs
// PTT released and pressed again, as radios do. In the last `warning` before
// the end the beeper line gives a short beep every `beep_every`. With a limit
// of 0 every PTT change passes unchanged and no thread runs.
//
// The control passes every change of the operator's PTT through filter()
// while holding its own lock. At the limit the timer thread calls `expired`
// without any lock of this object; that takes the control's lock and, when
// take_expiry() agrees, ends the transmission the way a release would.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

class Gpio;

class TxTimeout
{
  public:
    using ms = std::chrono::milliseconds;
    struct Timing {
        ms limit{0};
        ms warning{5000};
        ms beep_every{1000};
        ms beep_length{150};
    };
    static constexpr uint32_t beeper_bit = 0x8000;

    // beeper may be null (no warning beeps).
    TxTimeout(const Timing &timing, Gpio *beeper, std::function<void()> expired);
    ~TxTimeout();
    TxTimeout(const TxTimeout &) = delete;
    TxTimeout &operator=(const TxTimeout &) = delete;

    bool enabled() const { return timing_.limit.count() > 0; }

    // The PTT to act on for this change of the operator's PTT (0 or 1), or -1
    // when the change is to be ignored: a press after a time-out before the
    // release, and that release itself (the server was told at the time-out).
    int filter(int ptt);
    // true once for the transmission whose limit has just been reached; it is
    // then over, and PTT has to be released before the next.
    bool take_expiry();
    // The transmission ended without the operator (the link was lost): the
    // timer stops, nothing is latched.
    void cancel();
    // Ends the timer thread for good; the owner calls it before whatever
    // `expired` uses goes away. Idempotent.
    void stop();

  private:
    enum class State { idle, keyed, latched };
    void run();
    void beep(bool on);

    const Timing timing_;
    Gpio *beeper_;
    std::function<void()> expired_;
    bool running_ = false; // set once, before any PTT change arrives

    std::mutex lock_;
    std::condition_variable cv_;
    State state_ = State::idle;
    uint64_t generation_ = 0; // counts transmissions
    uint64_t fired_ = 0;      // the transmission `expired` was called for
    bool beeping_ = false;
    // The warning beeps of the running transmission: each sounds once and
    // for its whole length, however late the timer wakes; only the end of
    // the transmission cuts one short.
    uint64_t beeps_of_ = 0;  // the transmission they belong to
    uint32_t beeps_done_ = 0;
    std::chrono::steady_clock::time_point beep_off_at_{};
    bool stopping_ = false;
    std::chrono::steady_clock::time_point started_{};
    std::thread thread_;
};
