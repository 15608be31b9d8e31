#include "voice/sequence_tracker.h"

SequenceTracker::verdict SequenceTracker::note(uint16_t sequence, uint32_t ssrc)
{
    verdict v{0, 0};
    const int step = static_cast<int16_t>(static_cast<uint16_t>(sequence - newest_));
    if (!started_ || ssrc != ssrc_ || step > max_gap || step < -max_lateness) {
        started_ = true;
        ssrc_ = ssrc;
        newest_ = sequence;
        return v;
    }
    if (step <= 0) {
        v.late = 1;
        return v;
    }
    v.lost = static_cast<uint32_t>(step - 1);
    newest_ = sequence;
    return v;
}
