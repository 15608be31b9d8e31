// AudioDeviceSSC: the board's PCM port, the pcmlink character device. Every
// sample travels as one 32-bit word carrying A-law codes in two time slots.
#pragma once

#include "audio/audio_device.h"
#include "base/unique_fd.h"
#include "kernel/pcmlink/pcmlink.h"

#include <chrono>
#include <cstdint>
#include <mutex>

// Output word: code1 in the loudspeaker slot, code2 in the second slot.
constexpr uint32_t ssc_play_word(uint8_t code1, uint8_t code2)
{
    return PCMLINK_TX_WORD(code1, code2);
}

// Input word: the captured A-law code.
constexpr uint8_t ssc_capture_code(uint32_t word)
{
    return static_cast<uint8_t>(PCMLINK_RX_CODE(word));
}

class AudioDeviceSSC : public AudioDevice
{
  public:
    // The largest period the device converts in one call.
    static constexpr int maxPeriod = 1024;

    // Opens path and configures the driver for periods of periodSize samples;
    // isInitialized() tells whether that worked.
    AudioDeviceSSC(const char *path, int periodSize);
    ~AudioDeviceSSC() override;

    int getPeriodSize() override { return periodSize; }
    int getSampleSize() override { return 2; }
    int getSampleSign() override { return 1; }
    int getSampleRate() override { return 8000; }
    int getSilenceValue() override;
    int canPlay() override { return 1; }
    int canRecord() override { return 1; }
    // Nothing to repair: the driver keeps running on its own.
    int recover() override { return 0; }

    int write(const int16_t *samples, int count, int loop) override;
    int read(int16_t *samples, int count) override;

    // The driver's framing record, as this device fills it.
    static void fillConfig(pcmlink_cfg &record, int periodSize);

    // One period of output words: each sample's code in the loudspeaker slot,
    // and in the second slot echo[i] or, with no echo, the same code again.
    static void packPlayWords(uint32_t *words, const int16_t *samples, int count, const uint32_t *echo);
    // One period of input words to samples, keeping each word's code.
    static void unpackCaptureWords(int16_t *samples, uint32_t *codes, const uint32_t *words, int count);

  private:
    // When the driver fails, a direction is still paced like the port's clock
    // (count samples at 8000 per second), so its thread neither floods the
    // network nor drains the jitter buffer; the failure is reported once,
    // until the driver works again.
    struct Pace {
        std::chrono::steady_clock::time_point next{};
        bool failing = false;
    };
    void driverFailed(Pace &pace, int count, const char *what, int error);
    static void driverWorks(Pace &pace);

    int32_t periodSize;
    Pace readPace;
    Pace writePace;
    // Codes of the last captured period, echoed in the second output slot while
    // transmitting. Written by the capture thread, read by the playback thread.
    std::mutex captureLock;
    uint32_t lastCapture[maxPeriod] = {};
    int32_t lastCaptureCount = 0;

    UniqueFd fd;
};
