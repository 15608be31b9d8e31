// AudioPlayer: plays one period per call from an encoded frame, a concealment
// frame, silence or raw samples, scaled by the software volume.
#pragma once

#include "audio/audio.h"

#include <atomic>

class AudioPlayer : public Audio
{
  public:
    enum PlayMode : int { PLAY_DECODE = 0, PLAY_CONCEAL = 1, PLAY_SILENCE = 2, PLAY_RAW = 3 };

    AudioPlayer(AudioDevice *device, Codec *codec);
    ~AudioPlayer() override = default;

    // frame: an encoded block (PLAY_DECODE), or periodSize native-order 16-bit
    // samples (PLAY_RAW); not read in the other modes, so it may be null there.
    // Blocks until the device took the period; returns the device's result.
    virtual int play(const uint8_t *frame, int mode, int loop);
    // -1 plays unscaled; 0 .. 31 scale by level squared / 1024.
    virtual int setVolume(int level);

  private:
    // Set from control threads, read once per period by the playback thread.
    std::atomic<int32_t> volume{-1};
};
