// Sample-rate conversion between the site's 8 kHz and the reflector's rate,
// through libspeexdsp's resampler.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace reflector
{

class RateConverter
{
  public:
    // libspeexdsp's VoIP quality: a short filter, so little delay.
    static constexpr int default_quality = 3;

    RateConverter(int from_hz, int to_hz, int quality = default_quality);
    ~RateConverter();
    RateConverter(const RateConverter &) = delete;
    RateConverter &operator=(const RateConverter &) = delete;

    bool ok() const { return state_ != nullptr; }
    // Converts `n` samples, appending the result to `out`.
    void process(const int16_t *in, size_t n, std::vector<int16_t> &out);
    // Forgets the filter's history: the next stream starts from silence.
    void reset();
    // The filter's delay in input samples.
    int input_latency() const;

  private:
    struct State;
    State *state_ = nullptr;
};

} // namespace reflector
