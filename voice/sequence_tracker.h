// Late and lost packets of the received voice stream, judged by RTP sequence
// numbers alone (the jitter buffer itself never looks inside packets). A new
// synchronisation source, or a jump too large to be loss, starts afresh: the
// sender restarted its numbering.
#pragma once

#include <cstdint>

class SequenceTracker
{
  public:
    struct verdict {
        uint32_t late; // 1 for a packet at or behind the newest one seen
        uint32_t lost; // packets skipped before this one
    };

    static constexpr int max_gap = 500; // 10 s of voice
    static constexpr int max_lateness = 50;

    verdict note(uint16_t sequence, uint32_t ssrc);

  private:
    bool started_ = false;
    uint16_t newest_ = 0;
    uint32_t ssrc_ = 0;
};
