// AudioDevice: the source and sink of 16-bit PCM periods that the player and
// the recorder share. Slot order is fixed: both call through it.
#pragma once

#include <cstdint>

class AudioDevice
{
  public:
    virtual ~AudioDevice() = default;

    AudioDevice(const AudioDevice &) = delete;
    AudioDevice &operator=(const AudioDevice &) = delete;

    virtual int isInitialized() { return deviceOpen; }
    virtual int getPeriodSize() = 0;
    // Bytes per sample.
    virtual int getSampleSize() = 0;
    // 1 for signed samples.
    virtual int getSampleSign() = 0;
    virtual int getSampleRate() = 0;
    virtual int getSilenceValue() = 0;
    virtual int canPlay() = 0;
    virtual int canRecord() = 0;
    // Called after a failed read or write, before the call is repeated.
    virtual int recover() { return -1; }

    // Plays count samples; bit 0 of loop asks to echo the last capture in the
    // second output slot where the device has one. 0 on success, -1 on failure.
    virtual int write(const int16_t *samples, int count, int loop) = 0;
    // Captures count samples. 0 on success, -1 on failure.
    virtual int read(int16_t *samples, int count) = 0;

  protected:
    AudioDevice() = default;

    int32_t deviceOpen = 0;
};
