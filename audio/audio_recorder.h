// AudioRecorder: captures one period per call and encodes it, optionally
// through a high-pass filter that removes DC and rumble first.
#pragma once

#include "audio/audio.h"

class AudioRecorder : public Audio
{
  public:
    AudioRecorder(AudioDevice *device, Codec *codec, bool filter);
    ~AudioRecorder() override = default;

    // Blocks until the device captured a period; out receives one encoded
    // block. -1 when encoding failed, otherwise 0 (periodSize with the filter).
    virtual int record(uint8_t *out);
    virtual int16_t *getFrameBuffer() { return frameBuffer.get(); }
    virtual int getPeriodSize() { return device->getPeriodSize(); }
    virtual int getSampleSize() { return codec->getSampleSize(); }

  private:
    bool filter;
};

// The capture high-pass filter, one sample at a time. Its state is one set for
// the whole program: there is one capture path.
int16_t capture_highpass(int16_t sample);
// Back to the state at program start.
void capture_highpass_reset();
