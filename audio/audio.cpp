#include "audio/audio.h"

#include <cstdio>

Audio::Audio(AudioDevice *device_, Codec *codec_) : device(device_), codec(codec_) {}

bool Audio::checkCompatible(int canUse)
{
    if (!device || !codec)
        return false;
    if (!device->isInitialized())
        return false;
    if (!canUse)
        return false;
    if (!codec->isInitialized())
        return false;
    if (device->getSampleSize() != codec->getSampleSize() ||
        device->getSampleSign() != codec->getSampleSign() ||
        device->getSampleRate() != codec->getSampleRate())
        return false;
    periodSize = device->getPeriodSize();
    if (codec->getDecodedBlockSize() != periodSize)
        return false;
    // Frames are handled as 16-bit samples; nothing else ever passes the
    // checks above, since every codec here delivers 2-byte samples.
    if (codec->getSampleSize() != 2 || periodSize < 1)
        return false;
    return true;
}

void Audio::printInfo()
{
    if (!initialized) {
        std::printf("not initialized\n");
        return;
    }
    std::printf("Period Size             : %d\n", device->getPeriodSize());
    std::printf("Sample Rate             : %d\n", device->getSampleRate());
    std::printf("Sample Size             : %d\n", device->getSampleSize());
    std::printf("Sample Signed           : %d\n", device->getSampleSign());
}
