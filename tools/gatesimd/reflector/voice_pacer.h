// The reflector's talker as the site hears it: samples at 8 kHz queue here
// and leave as 20 ms frames at the site's pace. Packets that carry more than
// one frame (GSM, Speex) are spread out, and the first frame of a stream goes
// at once, so a stream arriving in time is not delayed at all.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>

namespace reflector
{

class VoicePacer
{
  public:
    using clock = std::chrono::steady_clock;
    static constexpr size_t frame_samples = 160;
    static constexpr std::chrono::milliseconds period{20};
    // A frame later than this starts the pace afresh instead of a burst.
    static constexpr std::chrono::milliseconds catch_up{40};
    // Two seconds queued at most: older samples give way.
    static constexpr size_t max_samples = 16000;

    void push(const int16_t *pcm, size_t n);
    // The frame due at `now`, if one is: true with `out` filled.
    bool pop_due(clock::time_point now, int16_t out[frame_samples]);
    // When the next frame is due; time_point::max() while less than a frame
    // is queued.
    clock::time_point next_due(clock::time_point now) const;
    size_t buffered() const { return fifo_.size(); }
    void clear();
    uint64_t dropped() const { return dropped_; }

  private:
    bool fresh(clock::time_point now) const { return !running_ || now > next_ + catch_up; }

    std::deque<int16_t> fifo_;
    clock::time_point next_{};
    bool running_ = false;
    uint64_t dropped_ = 0;
};

} // namespace reflector
