// Audio helpers of the box: G.711 A-law (what the board's codec chip speaks),
// capture sources and level meters.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace boardbox
{

uint8_t alaw_from_linear(int16_t sample);
int16_t linear_from_alaw(uint8_t code);

// What the capture side of "/dev/ssc0" hears.
class CaptureSource
{
  public:
    virtual ~CaptureSource() = default;
    virtual void next(int16_t *samples, size_t count) = 0;
    virtual std::string describe() const = 0;
};

// "silence", "tone:HZ" (a sine at -6 dBFS peak) or the path of a WAV file at
// 8000 Hz (first channel, played once, then silence). nullptr with `why`.
std::unique_ptr<CaptureSource> make_capture_source(const std::string &desc, std::string &why);

// Mean power of the last few blocks, in dBFS (floor -100).
class LevelMeter
{
  public:
    explicit LevelMeter(size_t blocks = 5) : blocks_(blocks) {}
    void add(const int16_t *samples, size_t count);
    double dbfs() const;

  private:
    size_t blocks_;
    std::vector<std::pair<double, size_t>> recent_; // sum of squares, samples
};

double dbfs_of(double sum_squares, size_t samples);

} // namespace boardbox
