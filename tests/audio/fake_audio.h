// Test doubles for the player and recorder: a device that remembers what was
// written and serves scripted captures, and a codec with a visible encoding.
#pragma once

#include "audio/audio_device.h"
#include "audio/codec.h"

#include <cstring>
#include <deque>
#include <vector>

class FakeDevice : public AudioDevice
{
  public:
    explicit FakeDevice(int period = 160, bool open = true) : period(period) { deviceOpen = open ? 1 : 0; }

    int getPeriodSize() override { return period; }
    int getSampleSize() override { return sampleSize; }
    int getSampleSign() override { return sampleSign; }
    int getSampleRate() override { return sampleRate; }
    int getSilenceValue() override { return silence; }
    int canPlay() override { return playable; }
    int canRecord() override { return recordable; }
    int recover() override
    {
        recovers++;
        return 0;
    }

    int write(const int16_t *samples, int count, int loop) override
    {
        if (failures > 0) {
            failures--;
            return -1;
        }
        writes.emplace_back(samples, samples + count);
        loops.push_back(loop);
        return 0;
    }

    int read(int16_t *samples, int count) override
    {
        if (failures > 0) {
            failures--;
            return -1;
        }
        std::vector<int16_t> next(count, 0);
        if (!captures.empty()) {
            next = captures.front();
            captures.pop_front();
        }
        std::memcpy(samples, next.data(), sizeof(int16_t) * count);
        return 0;
    }

    int period;
    int sampleSize = 2;
    int sampleSign = 1;
    int sampleRate = 8000;
    int silence = 0;
    int playable = 1;
    int recordable = 1;
    int failures = 0;
    int recovers = 0;
    std::vector<std::vector<int16_t>> writes;
    std::vector<int> loops;
    std::deque<std::vector<int16_t>> captures;
};

// Encodes sample i as its low byte; decodes byte i as byte i * 10, and a lost
// frame as 7s, so each path is recognisable in what the device receives.
class FakeCodec : public Codec
{
  public:
    explicit FakeCodec(int block = 160, bool ready = true)
    {
        initialized = ready ? 1 : 0;
        encodedBlockSize = block;
        decodedBlockSize = block;
        sampleRate = 8000;
        sampleSize = 2;
        sampleSign = 1;
        frameRate = 50;
    }
    int encode(uint8_t *out, const int16_t *in) override
    {
        if (failEncode)
            return -1;
        for (int i = 0; i < encodedBlockSize; i++)
            out[i] = static_cast<uint8_t>(in[i]);
        return 0;
    }
    int decode(int16_t *out, const uint8_t *in) override { return decodeFrame(out, in, 0); }
    int decodeFrame(int16_t *out, const uint8_t *in, int lost) override
    {
        for (int i = 0; i < decodedBlockSize; i++)
            out[i] = static_cast<int16_t>(lost ? 7 : in[i] * 10);
        return 0;
    }
    int getPayloadType() override { return 99; }

    void setSampleSize(int s) { sampleSize = s; }
    void setSampleRate(int r) { sampleRate = r; }
    void setSampleSign(int s) { sampleSign = s; }

    bool failEncode = false;
};
