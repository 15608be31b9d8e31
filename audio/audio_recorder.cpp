#include "audio/audio_recorder.h"

namespace
{

// 5th-order IIR high-pass, direct form II.
constexpr float B[6] = {-0.4258f, 2.129f, -4.258f, 4.258f, -2.129f, 0.4258f};
constexpr float A[5] = {-0.0438f, 0.9394f, -3.267f, 4.885f, -3.491f};
float w[6] = {0, 0, 0, 0, 0, 0};

} // namespace

int16_t capture_highpass(int16_t sample)
{
    float accA = 0, accB = 0;
    for (int k = 0; k < 5; k++) {
        float v = w[k + 1];
        w[k] = v;
        accA += v * A[k];
        accB += v * B[k];
    }
    w[5] = static_cast<float>(sample) - accA;
    float y = accB + w[5] * B[5];
    // Truncation toward zero, kept to 16 bits without saturation; the value is
    // first brought into the int32 range so that the conversion is defined.
    if (!(y > -2147483648.0f && y < 2147483647.0f))
        y = 0;
    return static_cast<int16_t>(static_cast<int32_t>(y));
}

void capture_highpass_reset()
{
    for (float &v : w)
        v = 0;
}

AudioRecorder::AudioRecorder(AudioDevice *device_, Codec *codec_, bool filter_)
    : Audio(device_, codec_), filter(filter_)
{
    if (!checkCompatible(device ? device->canRecord() : 0))
        return;
    frameBuffer.reset(new int16_t[periodSize]());
    spareBuffer.reset(new int16_t[periodSize]());
    initialized = 1;
}

int AudioRecorder::record(uint8_t *out)
{
    if (!initialized)
        return -1;

    int16_t *buf = frameBuffer.get();
    while (device->read(buf, periodSize) < 0)
        device->recover();

    if (filter) {
        for (int i = 0; i < periodSize; i++)
            buf[i] = capture_highpass(buf[i]);
    }
    if (codec->encode(out, buf) < 0)
        return -1;
    return filter ? periodSize : 0;
}
