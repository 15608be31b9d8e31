#include "tools/gatesimd/voice.h"

#include "audio/codec_alaw.h"

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <sndfile.h>

namespace
{

constexpr int rate = 8000;
constexpr int alaw_payload_type = 8;
constexpr size_t max_play_seconds = 600;
constexpr size_t max_queued_frames = 500;

} // namespace

bool parse_voice(const std::string &desc, VoiceConfig &out, std::string &error)
{
    VoiceConfig c;
    auto arg = [&](const char *prefix) -> const char * {
        size_t n = std::char_traits<char>::length(prefix);
        return desc.compare(0, n, prefix) == 0 ? desc.c_str() + n : nullptr;
    };
    if (desc == "loop") {
        c.kind = VoiceConfig::loop;
    } else if (const char *p = arg("record:")) {
        c.kind = VoiceConfig::record;
        c.path = p;
    } else if (const char *p = arg("play:")) {
        c.kind = VoiceConfig::play;
        c.path = p;
    } else if (const char *p = arg("tone:")) {
        char *end = nullptr;
        c.kind = VoiceConfig::tone;
        c.hz = std::strtod(p, &end);
        if (*p == '\0' || *end != '\0' || !(c.hz > 0 && c.hz < rate / 2)) {
            error = "tone frequency must be between 0 and 4000 Hz: " + desc;
            return false;
        }
    } else {
        error = "voice mode must be loop, record:FILE.wav, play:FILE.wav or tone:HZ: " + desc;
        return false;
    }
    if ((c.kind == VoiceConfig::record || c.kind == VoiceConfig::play) && c.path.empty()) {
        error = "missing file name: " + desc;
        return false;
    }
    out = c;
    return true;
}

void ToneSource::next(int16_t *frame)
{
    const double step = 2 * M_PI * hz_ / rate;
    for (int i = 0; i < voice_frame_samples; i++) {
        frame[i] = static_cast<int16_t>(std::lround(0.316 * 32767 * std::sin(phase_)));
        phase_ += step;
        if (phase_ > 2 * M_PI)
            phase_ -= 2 * M_PI;
    }
}

bool WavSource::open(const std::string &path, std::string &error)
{
    SF_INFO info{};
    SNDFILE *f = sf_open(path.c_str(), SFM_READ, &info);
    if (f == nullptr) {
        error = "cannot read " + path + ": " + sf_strerror(nullptr);
        return false;
    }
    if (info.channels < 1 || info.samplerate < 1 ||
        info.frames > static_cast<sf_count_t>(max_play_seconds) * info.samplerate) {
        sf_close(f);
        error = path + ": unsupported or longer than 10 minutes";
        return false;
    }
    std::vector<float> raw(static_cast<size_t>(info.frames) * static_cast<size_t>(info.channels));
    sf_count_t got = sf_readf_float(f, raw.data(), info.frames);
    sf_close(f);
    if (got <= 0) {
        error = path + ": no audio";
        return false;
    }
    // Mix to mono, then resample linearly to 8000 Hz: plenty for a test tone
    // or speech on a radio channel.
    std::vector<float> mono(static_cast<size_t>(got));
    for (sf_count_t i = 0; i < got; i++) {
        float sum = 0;
        for (int ch = 0; ch < info.channels; ch++)
            sum += raw[static_cast<size_t>(i * info.channels + ch)];
        mono[static_cast<size_t>(i)] = sum / static_cast<float>(info.channels);
    }
    double ratio = static_cast<double>(info.samplerate) / rate;
    size_t out_n = static_cast<size_t>(static_cast<double>(mono.size()) / ratio);
    pcm_.clear();
    pcm_.reserve(out_n);
    for (size_t i = 0; i < out_n; i++) {
        double x = static_cast<double>(i) * ratio;
        size_t k = static_cast<size_t>(x);
        double frac = x - static_cast<double>(k);
        double a = mono[k], b = k + 1 < mono.size() ? mono[k + 1] : mono[k];
        double v = (a + (b - a) * frac) * 32767.0;
        pcm_.push_back(static_cast<int16_t>(std::lround(std::fmax(-32768.0, std::fmin(32767.0, v)))));
    }
    if (pcm_.empty()) {
        error = path + ": no audio";
        return false;
    }
    pos_ = 0;
    return true;
}

void WavSource::next(int16_t *frame)
{
    for (int i = 0; i < voice_frame_samples; i++) {
        frame[i] = pcm_[pos_];
        pos_ = (pos_ + 1) % pcm_.size();
    }
}

WavRecorder::~WavRecorder()
{
    close();
}

bool WavRecorder::open(const std::string &path, std::string &error)
{
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE *f = sf_open(path.c_str(), SFM_WRITE, &info);
    if (f == nullptr) {
        error = "cannot write " + path + ": " + sf_strerror(nullptr);
        return false;
    }
    file_ = f;
    stopping_ = false;
    thread_ = std::thread([this] { run(); });
    return true;
}

void WavRecorder::push(const int16_t *frame)
{
    std::lock_guard<std::mutex> g(lock_);
    if (file_ == nullptr || stopping_ || queue_.size() >= max_queued_frames)
        return;
    queue_.emplace_back(frame, frame + voice_frame_samples);
    wake_.notify_one();
}

void WavRecorder::run()
{
    std::unique_lock<std::mutex> g(lock_);
    for (;;) {
        wake_.wait(g, [this] { return stopping_ || !queue_.empty(); });
        while (!queue_.empty()) {
            std::vector<int16_t> frame = std::move(queue_.front());
            queue_.pop_front();
            g.unlock();
            sf_writef_short(static_cast<SNDFILE *>(file_), frame.data(), voice_frame_samples);
            written_++;
            g.lock();
        }
        if (stopping_)
            return;
    }
}

void WavRecorder::close()
{
    {
        std::lock_guard<std::mutex> g(lock_);
        stopping_ = true;
        wake_.notify_one();
    }
    if (thread_.joinable())
        thread_.join();
    if (file_ != nullptr)
        sf_close(static_cast<SNDFILE *>(file_));
    file_ = nullptr;
}

bool VoiceEngine::start(std::string &error)
{
    if (!cfg_.also_record.empty() && cfg_.kind != VoiceConfig::record &&
        !recorder_.open(cfg_.also_record, error))
        return false;
    switch (cfg_.kind) {
    case VoiceConfig::none:
    case VoiceConfig::loop:
        return true;
    case VoiceConfig::record:
        return recorder_.open(cfg_.path, error);
    case VoiceConfig::play:
        wav_ = std::make_unique<WavSource>();
        if (!wav_->open(cfg_.path, error))
            return false;
        break;
    case VoiceConfig::tone:
        tone_ = std::make_unique<ToneSource>(cfg_.hz);
        break;
    }
    player_ = std::thread([this] { play_loop(); });
    return true;
}

void VoiceEngine::stop()
{
    {
        std::lock_guard<std::mutex> g(stop_lock_);
        stopping_ = true;
        stop_cv_.notify_all();
    }
    if (player_.joinable())
        player_.join();
    recorder_.close();
}

int VoiceEngine::on_rtp(unsigned char *packet, int len)
{
    if (len != 12 + voice_frame_samples)
        return 0;
    unsigned char *payload = packet + 12;
    if (cfg_.kind == VoiceConfig::loop) {
        // The talker is the only one who gets host voice while talking.
        sim_.rtp_send(payload, voice_frame_samples, alaw_payload_type);
    }
    if (cfg_.kind == VoiceConfig::record || !cfg_.also_record.empty()) {
        int16_t pcm[voice_frame_samples];
        for (int i = 0; i < voice_frame_samples; i++)
            pcm[i] = alaw_decode(payload[i]);
        recorder_.push(pcm);
    }
    return 0;
}

void VoiceEngine::play_loop()
{
    // Paced on absolute deadlines so the rate stays 50 frames per second
    // whatever each send costs.
    auto next = std::chrono::steady_clock::now();
    int16_t pcm[voice_frame_samples];
    unsigned char alaw[voice_frame_samples];
    std::unique_lock<std::mutex> g(stop_lock_);
    while (!stopping_) {
        if (tone_)
            tone_->next(pcm);
        else
            wav_->next(pcm);
        for (int i = 0; i < voice_frame_samples; i++)
            alaw[i] = alaw_encode(pcm[i]);
        g.unlock();
        sim_.rtp_send(alaw, voice_frame_samples, alaw_payload_type);
        g.lock();
        next += std::chrono::milliseconds(20);
        // After a long stall start afresh instead of sending a burst.
        if (std::chrono::steady_clock::now() > next + std::chrono::milliseconds(200))
            next = std::chrono::steady_clock::now();
        stop_cv_.wait_until(g, next, [this] { return stopping_; });
    }
}
