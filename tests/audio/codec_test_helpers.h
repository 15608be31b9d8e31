// Shared pieces of the codec tests: a test tone, levels, stdout capture.
#pragma once

#include "audio/codec.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

namespace codectest
{

// A sine of the given frequency at 8000 Hz, continuous across frames.
inline std::vector<int16_t> tone(double hz, double amplitude, size_t samples)
{
    std::vector<int16_t> out(samples);
    for (size_t i = 0; i < samples; ++i)
        out[i] =
            static_cast<int16_t>(std::lround(amplitude * std::sin(2.0 * M_PI * hz * double(i) / 8000.0)));
    return out;
}

inline double rms(const int16_t *s, size_t n)
{
    double sum = 0;
    for (size_t i = 0; i < n; ++i)
        sum += double(s[i]) * double(s[i]);
    return std::sqrt(sum / double(n));
}

inline double decibels(double ratio)
{
    return 20.0 * std::log10(ratio);
}

// Encodes and decodes `frames` frames of a 1 kHz tone and returns the level
// change in dB, measured after the codec has settled.
inline double toneRoundTripGain(Codec &codec, int frames = 50, int settle = 10)
{
    const size_t n = static_cast<size_t>(codec.getDecodedBlockSize());
    const std::vector<int16_t> in = tone(1000.0, 8000.0, n * frames);
    std::vector<int16_t> out(in.size());
    std::vector<uint8_t> block(static_cast<size_t>(codec.getEncodedBlockSize()));
    for (int f = 0; f < frames; ++f) {
        EXPECT_EQ(codec.encode(block.data(), in.data() + n * f), 0);
        EXPECT_EQ(codec.decode(out.data() + n * f, block.data()), 0);
    }
    const size_t from = n * settle;
    return decibels(rms(out.data() + from, out.size() - from) / rms(in.data() + from, in.size() - from));
}

inline std::string capturePrintInfo(Codec &codec)
{
    fflush(stdout);
    testing::internal::CaptureStdout();
    codec.printInfo();
    fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

inline const char *kBaseInfoBoth = "Initialized             : 1\n"
                                   "Initialization type     : Encoder and Decoder\n";

} // namespace codectest
