// gatesimd's voice modes: what happens to the talker's audio and what the
// host sends to the gateways. Voice on the relay is A-law, 160 bytes a frame.
#pragma once

#include "gatesim/libgatesim.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

constexpr int voice_frame_samples = 160; // 20 ms at 8000 Hz

struct VoiceConfig {
    enum Kind { none, loop, record, play, tone } kind = none;
    std::string path; // record / play
    double hz = 0;    // tone
    // --record: the talker's voice also goes to this file, whatever the mode.
    std::string also_record;
};

// "loop", "record:FILE.wav", "play:FILE.wav" or "tone:HZ".
bool parse_voice(const std::string &desc, VoiceConfig &out, std::string &error);

// A sine at -10 dBFS, continuous across frames.
class ToneSource
{
  public:
    explicit ToneSource(double hz) : hz_(hz) {}
    void next(int16_t *frame);

  private:
    double hz_;
    double phase_ = 0;
};

// A WAV file (any rate and channel count libsndfile reads) held in memory as
// 8000 Hz mono and played in a loop.
class WavSource
{
  public:
    bool open(const std::string &path, std::string &error);
    void next(int16_t *frame);
    size_t samples() const { return pcm_.size(); }

  private:
    std::vector<int16_t> pcm_;
    size_t pos_ = 0;
};

// Writes 8000 Hz mono 16-bit WAV on its own thread, so the relay's callback
// never waits for the disk.
class WavRecorder
{
  public:
    ~WavRecorder();
    bool open(const std::string &path, std::string &error);
    // Queues one frame; frames are dropped while the disk is 10 s behind.
    void push(const int16_t *frame);
    // Writes what is queued and finishes the file.
    void close();
    uint64_t frames_written() const { return written_; }

  private:
    void run();
    void *file_ = nullptr;
    std::thread thread_;
    std::mutex lock_;
    std::condition_variable wake_;
    std::deque<std::vector<int16_t>> queue_;
    bool stopping_ = false;
    std::atomic<uint64_t> written_{0};
};

class VoiceEngine
{
  public:
    VoiceEngine(libgatesim &sim, VoiceConfig cfg) : sim_(sim), cfg_(std::move(cfg)) {}
    ~VoiceEngine() { stop(); }
    bool start(std::string &error);
    void stop();
    // The relay's receive callback: one 172-byte packet of the talker.
    int on_rtp(unsigned char *packet, int len);

  private:
    void play_loop();

    libgatesim &sim_;
    VoiceConfig cfg_;
    std::unique_ptr<ToneSource> tone_;
    std::unique_ptr<WavSource> wav_;
    WavRecorder recorder_;
    std::thread player_;
    std::mutex stop_lock_;
    std::condition_variable stop_cv_;
    bool stopping_ = false;
};
