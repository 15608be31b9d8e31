#include "tools/gatesimd/reflector/voice_pacer.h"

namespace reflector
{

void VoicePacer::push(const int16_t *pcm, size_t n)
{
    fifo_.insert(fifo_.end(), pcm, pcm + n);
    if (fifo_.size() > max_samples) {
        size_t excess = fifo_.size() - max_samples;
        fifo_.erase(fifo_.begin(), fifo_.begin() + static_cast<std::ptrdiff_t>(excess));
        dropped_ += excess;
    }
}

bool VoicePacer::pop_due(clock::time_point now, int16_t out[frame_samples])
{
    if (fifo_.size() < frame_samples)
        return false;
    if (fresh(now)) {
        next_ = now;
        running_ = true;
    }
    if (now < next_)
        return false;
    for (size_t i = 0; i < frame_samples; i++)
        out[i] = fifo_[i];
    fifo_.erase(fifo_.begin(), fifo_.begin() + frame_samples);
    next_ += period;
    return true;
}

VoicePacer::clock::time_point VoicePacer::next_due(clock::time_point now) const
{
    if (fifo_.size() < frame_samples)
        return clock::time_point::max();
    return fresh(now) ? now : next_;
}

void VoicePacer::clear()
{
    fifo_.clear();
    running_ = false;
}

} // namespace reflector
