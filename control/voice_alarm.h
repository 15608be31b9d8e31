// VoiceAlarm: the alarm for voice that should come but does not. While the
// link is logged in and the radio's squelch is open or the server reports
// somebody else sending, the voice engine must be taking packets; when none
// has arrived for `limit`, one line is printed and the flag is raised. It is
// lowered, with one line, when voice comes again or when none is expected any
// more. With a limit of 0 it stays off and runs no thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

class VoiceAlarm
{
  public:
    using ms = std::chrono::milliseconds;
    struct Timing {
        ms limit{0};
        ms tick{100}; // how often the packet count is looked at
    };

    // voice_count: the voice engine's running count of received packets;
    // called on the alarm's thread.
    VoiceAlarm(const Timing &timing, std::function<uint64_t()> voice_count);
    ~VoiceAlarm();
    VoiceAlarm(const VoiceAlarm &) = delete;
    VoiceAlarm &operator=(const VoiceAlarm &) = delete;

    // A session logged in (true) or ended (false); an end forgets the
    // squelch and the talker.
    void link_up(bool up);
    void squelch(bool open);
    void remote_talking(bool talking);
    // The status flag.
    bool active();
    // Ends the thread for good. Idempotent.
    void stop();

  private:
    bool expected() const { return up_ && (squelch_ || talking_); }
    void changed(bool was_expected);
    void run();
    void raise(bool on); // the flag, here and in the status file

    const Timing timing_;
    std::function<uint64_t()> voice_count_;

    std::mutex lock_;
    std::condition_variable cv_;
    bool up_ = false, squelch_ = false, talking_ = false;
    bool active_ = false;
    bool stopping_ = false;
    std::chrono::steady_clock::time_point expected_since_{};
    std::thread thread_;
};
