#include "sim/sim_audio.h"

#include <sndfile.h>

#include <cmath>
#include <cstdlib>

namespace boardbox
{

uint8_t alaw_from_linear(int16_t sample)
{
    int pcm = sample;
    int mask;
    if (pcm >= 0) {
        mask = 0xD5;
    } else {
        mask = 0x55;
        pcm = -pcm - 1;
    }
    int seg = 0;
    static const int seg_end[8] = {0xFF, 0x1FF, 0x3FF, 0x7FF, 0xFFF, 0x1FFF, 0x3FFF, 0x7FFF};
    while (seg < 8 && pcm > seg_end[seg])
        ++seg;
    if (seg >= 8)
        return static_cast<uint8_t>(0x7F ^ mask);
    int aval = seg << 4;
    aval |= seg < 2 ? (pcm >> 4) & 0x0F : (pcm >> (seg + 3)) & 0x0F;
    return static_cast<uint8_t>(aval ^ mask);
}

int16_t linear_from_alaw(uint8_t code)
{
    int a = code ^ 0x55;
    int t = (a & 0x0F) << 4;
    int seg = (a & 0x70) >> 4;
    if (seg == 0) {
        t += 8;
    } else {
        t += 0x108;
        t <<= seg - 1;
    }
    return static_cast<int16_t>((a & 0x80) ? t : -t);
}

namespace
{

class Silence : public CaptureSource
{
  public:
    void next(int16_t *s, size_t n) override
    {
        for (size_t i = 0; i < n; ++i)
            s[i] = 0;
    }
    std::string describe() const override { return "silence"; }
};

class Tone : public CaptureSource
{
  public:
    explicit Tone(double hz) : hz_(hz) {}
    void next(int16_t *s, size_t n) override
    {
        for (size_t i = 0; i < n; ++i) {
            s[i] = static_cast<int16_t>(std::lround(16384.0 * std::sin(phase_)));
            phase_ += 2.0 * M_PI * hz_ / 8000.0;
            if (phase_ > 2.0 * M_PI)
                phase_ -= 2.0 * M_PI;
        }
    }
    std::string describe() const override { return "tone:" + std::to_string(static_cast<long>(hz_)); }

  private:
    double hz_;
    double phase_ = 0;
};

class WavFile : public CaptureSource
{
  public:
    WavFile(std::string path, std::vector<int16_t> samples)
        : path_(std::move(path)), samples_(std::move(samples))
    {
    }
    void next(int16_t *s, size_t n) override
    {
        for (size_t i = 0; i < n; ++i)
            s[i] = pos_ < samples_.size() ? samples_[pos_++] : 0;
    }
    std::string describe() const override { return path_; }

  private:
    std::string path_;
    std::vector<int16_t> samples_;
    size_t pos_ = 0;
};

} // namespace

std::unique_ptr<CaptureSource> make_capture_source(const std::string &desc, std::string &why)
{
    if (desc == "silence")
        return std::make_unique<Silence>();
    if (desc.rfind("tone:", 0) == 0) {
        char *end = nullptr;
        double hz = std::strtod(desc.c_str() + 5, &end);
        if (end == desc.c_str() + 5 || *end != '\0' || !(hz > 0) || hz >= 4000) {
            why = "bad tone frequency (0 < HZ < 4000): " + desc;
            return nullptr;
        }
        return std::make_unique<Tone>(hz);
    }
    SF_INFO info{};
    SNDFILE *f = sf_open(desc.c_str(), SFM_READ, &info);
    if (!f) {
        why = "cannot read capture file " + desc + ": " + sf_strerror(nullptr);
        return nullptr;
    }
    if (info.samplerate != 8000 || info.channels < 1 || info.frames > 8000LL * 3600) {
        sf_close(f);
        why = "capture file must be 8000 Hz audio of at most an hour: " + desc;
        return nullptr;
    }
    std::vector<int16_t> frames(static_cast<size_t>(info.frames) * static_cast<size_t>(info.channels));
    sf_count_t got = sf_readf_short(f, frames.data(), info.frames);
    sf_close(f);
    std::vector<int16_t> mono(static_cast<size_t>(got < 0 ? 0 : got));
    for (size_t i = 0; i < mono.size(); ++i)
        mono[i] = frames[i * static_cast<size_t>(info.channels)];
    return std::make_unique<WavFile>(desc, std::move(mono));
}

double dbfs_of(double sum_squares, size_t samples)
{
    if (samples == 0 || sum_squares <= 0)
        return -100.0;
    double db = 10.0 * std::log10(sum_squares / static_cast<double>(samples) / (32768.0 * 32768.0));
    return db < -100.0 ? -100.0 : db;
}

void LevelMeter::add(const int16_t *s, size_t n)
{
    double sum = 0;
    for (size_t i = 0; i < n; ++i)
        sum += static_cast<double>(s[i]) * s[i];
    recent_.emplace_back(sum, n);
    if (recent_.size() > blocks_)
        recent_.erase(recent_.begin());
}

double LevelMeter::dbfs() const
{
    double sum = 0;
    size_t n = 0;
    for (auto &b : recent_) {
        sum += b.first;
        n += b.second;
    }
    return dbfs_of(sum, n);
}

} // namespace boardbox
