#include "audio/audio_player.h"

#include <cstring>

AudioPlayer::AudioPlayer(AudioDevice *device_, Codec *codec_) : Audio(device_, codec_)
{
    if (!checkCompatible(device ? device->canPlay() : 0))
        return;
    frameBuffer.reset(new int16_t[periodSize]());
    silenceBuffer.reset(new int16_t[periodSize]());
    int silence = device->getSilenceValue();
    for (int i = 0; i < periodSize; i++)
        silenceBuffer[i] = static_cast<int16_t>(silence);
    initialized = 1;
}

int AudioPlayer::setVolume(int level)
{
    volume.store(level);
    return 0;
}

int AudioPlayer::play(const uint8_t *frame, int mode, int loop)
{
    if (!initialized)
        return -1;

    int16_t *src = frameBuffer.get();
    switch (mode) {
    case PLAY_DECODE:
        codec->decode(src, frame);
        break;
    case PLAY_CONCEAL:
        codec->decodeFrame(src, frame, 1);
        break;
    case PLAY_RAW:
        // Copied, so that scaling leaves the caller's buffer as it was.
        std::memcpy(src, frame, static_cast<size_t>(periodSize) * sizeof(int16_t));
        break;
    default:
        // The silence buffer itself is never scaled: repeated periods would
        // otherwise drift a non-zero silence value.
        std::memcpy(src, silenceBuffer.get(), static_cast<size_t>(periodSize) * sizeof(int16_t));
        break;
    }

    int32_t v = volume.load();
    if (v != -1) {
        int32_t gain = v * v;
        for (int i = 0; i < periodSize; i++)
            src[i] = static_cast<int16_t>((src[i] * gain + 16) / 1024);
    }

    int r;
    while ((r = device->write(src, periodSize, loop)) < 0)
        device->recover();
    return r;
}
