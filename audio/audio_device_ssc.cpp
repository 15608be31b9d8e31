#include "audio/audio_device_ssc.h"

#include "audio/codec_alaw.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <thread>
#include <unistd.h>

void AudioDeviceSSC::fillConfig(pcmlink_cfg &record, int periodSize)
{
    record.clkdiv = 192;      // bit clock = master clock / 384
    record.tcmr = 0x0F000424; // transmit: continuous divided clock, 32-bit frame
    record.tfmr = 0x00200093; // 20-bit words, MSB first, positive sync pulse
    record.rcmr = 0x0F000404; // receive: as transmit, clock not inverted
    record.rfmr = 0x00200093;
    record.rxfer_count = static_cast<uint32_t>(periodSize);
}

AudioDeviceSSC::AudioDeviceSSC(const char *path, int periodSize_) : periodSize(periodSize_)
{
    // The driver takes the record in native byte order: this is not a wire format.
    pcmlink_cfg record{};
    fillConfig(record, periodSize);

    int f = ::open(path, O_RDWR | O_CLOEXEC);
    if (f < 0)
        return;
    fd.reset(f);
    if (::ioctl(fd.get(), PCMLINK_IOCTL_CFG, &record) < 0) {
        fd.reset();
        return;
    }
    deviceOpen = 1;
}

AudioDeviceSSC::~AudioDeviceSSC() = default;

int AudioDeviceSSC::getSilenceValue()
{
    if (getSampleSign())
        return 0;
    return static_cast<int>((1UL << (8 * getSampleSize())) / 2 - 1);
}

void AudioDeviceSSC::driverFailed(Pace &pace, int count, const char *what, int error)
{
    if (!pace.failing) {
        std::printf("ssc : %s failed: %s\n", what, std::strerror(error));
        pace.failing = true;
    }
    const auto now = std::chrono::steady_clock::now();
    // Counted from the last period, so a long stall is not made up for with
    // a burst.
    if (pace.next < now)
        pace.next = now;
    pace.next += std::chrono::microseconds(125) * count;
    std::this_thread::sleep_until(pace.next);
}

void AudioDeviceSSC::driverWorks(Pace &pace)
{
    pace.failing = false;
    pace.next = std::chrono::steady_clock::time_point{};
}

int AudioDeviceSSC::write(const int16_t *samples, int count, int loop)
{
    if (count < 0 || count > periodSize || count > maxPeriod)
        return -1;

    uint32_t words[maxPeriod];
    {
        std::lock_guard<std::mutex> lock(captureLock);
        const bool echo = (loop & 1) && count <= lastCaptureCount;
        packPlayWords(words, samples, count, echo ? lastCapture : nullptr);
    }
    // A short write loses part of one period; the driver fills the rest of
    // the block, so there is nothing to repeat.
    ssize_t r = ::write(fd.get(), words, static_cast<size_t>(count) * sizeof(uint32_t));
    if (r < 0 && count > 0)
        driverFailed(writePace, count, "write", errno);
    else
        driverWorks(writePace);
    return 0;
}

int AudioDeviceSSC::read(int16_t *samples, int count)
{
    if (count < 0 || count > periodSize || count > maxPeriod)
        return -1;

    // Whatever a short read leaves out plays as A-law silence, never as stale
    // stack contents.
    constexpr uint32_t silentWord = static_cast<uint32_t>(0xD5) << 11;
    uint32_t words[maxPeriod];
    for (int i = 0; i < count; i++)
        words[i] = silentWord;
    ssize_t r = ::read(fd.get(), words, static_cast<size_t>(count) * sizeof(uint32_t));
    if (r < 0 && count > 0)
        driverFailed(readPace, count, "read", errno);
    else
        driverWorks(readPace);

    std::lock_guard<std::mutex> lock(captureLock);
    unpackCaptureWords(samples, lastCapture, words, count);
    lastCaptureCount = count;
    return 0;
}

void AudioDeviceSSC::packPlayWords(uint32_t *words, const int16_t *samples, int count, const uint32_t *echo)
{
    if (echo) {
        for (int i = 0; i < count; i++)
            words[i] = ssc_play_word(alaw_encode(samples[i]), static_cast<uint8_t>(echo[i]));
    } else {
        for (int i = 0; i < count; i++) {
            uint8_t c = alaw_encode(samples[i]);
            words[i] = ssc_play_word(c, c);
        }
    }
}

void AudioDeviceSSC::unpackCaptureWords(int16_t *samples, uint32_t *codes, const uint32_t *words, int count)
{
    for (int i = 0; i < count; i++) {
        uint8_t c = ssc_capture_code(words[i]);
        samples[i] = alaw_decode(c);
        codes[i] = c;
    }
}
