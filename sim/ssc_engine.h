// "/dev/ssc0" with the pcmlink driver's semantics. The configuration request
// (re)starts both directions from zeroed double buffers; a clock thread ends
// one block per direction every RXFER_COUNT/8000 s. A read waits for the next
// completed capture block and gets the newest one (never the same twice); a
// write waits until a transmit buffer is free; a transmit buffer that nobody
// refilled goes out as 0x55 fill.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kernel/pcmlink/pcmlink.h"
#include "sim/device_file.h"
#include "sim/event_log.h"
#include "sim/sim_audio.h"

typedef struct sf_private_tag SNDFILE;

namespace boardbox
{

// The driver's configuration record, as the box last received it.
using PcmConfig = pcmlink_cfg;

class SscEngine : public DeviceFile
{
  public:
    static constexpr uint32_t kMaxBlockWords = PCMLINK_MAX_WORDS; // one 64 KiB buffer

    struct Stats {
        bool configured = false;
        uint32_t block_words = 0;
        unsigned configurations = 0;
        PcmConfig config{}; // the last record received
        uint64_t rx_blocks = 0, rx_read = 0;
        uint64_t tx_blocks = 0, tx_written = 0, tx_fill = 0;
        double capture_dbfs = -100, playback_dbfs = -100;
        std::string capture;
    };

    explicit SscEngine(EventLog &log);
    ~SscEngine() override;

    // Capture source by its description (see make_capture_source); 0 or -1 with `why`.
    int set_capture(const std::string &desc, std::string &why);
    // Records every transmitted block, decoded from bits 12-19, to a WAV file.
    int set_playback_file(const std::string &path, std::string &why);

    void start();
    // Wakes every blocked reader and writer (they fail with EIO) and ends the clock.
    void stop();

    // The configuration request: 0 (the record is taken) always, like the driver
    // once the record was copied in.
    int configure(const uint8_t *record);

    ssize_t read(uint8_t *buf, size_t count) override;
    ssize_t write(const uint8_t *buf, size_t count) override;

    Stats stats() const;

    // Where one loud sample surfaced in what the loudspeaker slot played, in
    // steady-clock nanoseconds: for timing the downlink sample by sample.
    struct PlaybackMarker {
        bool seen = false;
        int64_t sample_ns = 0;       // the first loud sample left the port
        int64_t write_enter_ns = 0;  // the write that carried it reached the device
        int64_t write_accept_ns = 0; // ... and was copied into a transmit buffer
        int64_t prev_accept_ns = 0;  // the writer's previous write was copied
    };
    // Watches the played samples for the first one whose magnitude reaches
    // `threshold`, forgetting any earlier find.
    void arm_playback_marker(int threshold);
    PlaybackMarker playback_marker() const;

  private:
    void clock();
    void tick(std::vector<int16_t> &played);

    EventLog &log_;
    mutable std::mutex lock_;
    std::condition_variable cv_;
    bool stopping_ = false;
    std::thread thread_;

    Stats stats_;
    uint64_t generation_ = 0; // bumped by every configuration
    std::vector<uint8_t> rx_[2], tx_[2];
    bool tx_written_[2] = {false, false};
    int64_t tx_enter_ns_[2] = {0, 0}, tx_accept_ns_[2] = {0, 0}, tx_prev_accept_ns_[2] = {0, 0};
    int64_t last_accept_ns_ = 0, last_tick_ns_ = 0;
    int marker_threshold_ = 0; // 0: not watching
    PlaybackMarker marker_;
    int rx_ready_ = -1, rx_last_ = 1, tx_free_ = -1, tx_last_ = 1;
    std::unique_ptr<CaptureSource> capture_;
    LevelMeter capture_level_, playback_level_;
    SNDFILE *playback_ = nullptr;
    uint64_t summary_rx_ = 0, summary_tx_written_ = 0, summary_tx_fill_ = 0;
};

} // namespace boardbox
