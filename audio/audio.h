// Audio: what the player and the recorder share. Each joins the one codec to
// the one audio device, a period (one codec frame) at a time. Slot order fixed.
#pragma once

#include "audio/audio_device.h"
#include "audio/codec.h"

#include <cstdint>
#include <memory>

class Audio
{
  public:
    virtual ~Audio() = default;

    Audio(const Audio &) = delete;
    Audio &operator=(const Audio &) = delete;

    virtual int isInitialized() { return initialized; }
    virtual int getEncodedBlockSize() { return codec->getEncodedBlockSize(); }
    virtual int recover() { return device->recover(); }
    virtual Codec *getCodec() { return codec; }
    virtual AudioDevice *getDevice() { return device; }
    virtual void printInfo();

  protected:
    Audio(AudioDevice *device, Codec *codec);

    // The construction checks shared by both directions; canUse is the
    // device's canPlay or canRecord answer.
    bool checkCompatible(int canUse);

    AudioDevice *device;
    Codec *codec;
    std::unique_ptr<int16_t[]> frameBuffer;
    std::unique_ptr<int16_t[]> spareBuffer;
    std::unique_ptr<int16_t[]> silenceBuffer;
    int32_t periodSize = 0;
    int32_t initialized = 0;
};
