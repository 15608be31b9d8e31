#include "sim/ssc_engine.h"

#include <sndfile.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "base/byteorder.h"

namespace boardbox
{

namespace
{

int64_t now_ns()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace

SscEngine::SscEngine(EventLog &log) : log_(log)
{
    std::string ignored;
    capture_ = make_capture_source("silence", ignored);
    stats_.capture = "silence";
    for (auto *b : {&rx_[0], &rx_[1], &tx_[0], &tx_[1]})
        b->assign(kMaxBlockWords * 4, 0);
}

SscEngine::~SscEngine()
{
    stop();
    if (playback_)
        sf_close(playback_);
}

int SscEngine::set_capture(const std::string &desc, std::string &why)
{
    auto src = make_capture_source(desc, why);
    if (!src)
        return -1;
    std::lock_guard<std::mutex> g(lock_);
    capture_ = std::move(src);
    stats_.capture = capture_->describe();
    log_.event("ssc capture %s", stats_.capture.c_str());
    return 0;
}

int SscEngine::set_playback_file(const std::string &path, std::string &why)
{
    SF_INFO info{};
    info.samplerate = 8000;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE *f = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!f) {
        why = "cannot create playback file " + path + ": " + sf_strerror(nullptr);
        return -1;
    }
    std::lock_guard<std::mutex> g(lock_);
    if (playback_)
        sf_close(playback_);
    playback_ = f;
    return 0;
}

void SscEngine::start()
{
    thread_ = std::thread([this] { clock(); });
}

void SscEngine::stop()
{
    {
        std::lock_guard<std::mutex> g(lock_);
        stopping_ = true;
    }
    cv_.notify_all();
    if (thread_.joinable())
        thread_.join();
    std::lock_guard<std::mutex> g(lock_);
    if (playback_)
        sf_write_sync(playback_);
}

int SscEngine::configure(const uint8_t *r)
{
    // The caller's record in its (little-endian) memory, word by word.
    PcmConfig c{};
    c.clkdiv = bytes::get_le32(r + offsetof(pcmlink_cfg, clkdiv));
    c.tcmr = bytes::get_le32(r + offsetof(pcmlink_cfg, tcmr));
    c.tfmr = bytes::get_le32(r + offsetof(pcmlink_cfg, tfmr));
    c.rcmr = bytes::get_le32(r + offsetof(pcmlink_cfg, rcmr));
    c.rfmr = bytes::get_le32(r + offsetof(pcmlink_cfg, rfmr));
    c.rxfer_count = bytes::get_le32(r + offsetof(pcmlink_cfg, rxfer_count));
    std::lock_guard<std::mutex> g(lock_);
    stats_.config = c;
    ++stats_.configurations;
    // A size the buffers cannot hold is refused like an out-of-range one.
    if (c.rxfer_count >= 1 && c.rxfer_count <= kMaxBlockWords)
        stats_.block_words = c.rxfer_count;
    else
        log_.event("ssc incorrect rxfer_count %u, keeping %u", c.rxfer_count, stats_.block_words);
    log_.event(
        "ssc config: clkdiv: %u, tcmr: 0x%08X, tfmr: 0x%08X, rcmr: 0x%08X, rfmr: 0x%08X, rxfer_count: %u",
        c.clkdiv, c.tcmr, c.tfmr, c.rcmr, c.rfmr, c.rxfer_count);
    if (stats_.block_words == 0)
        return 0; // nothing to run yet, as with the driver
    for (auto *b : {&rx_[0], &rx_[1], &tx_[0], &tx_[1]})
        std::fill(b->begin(), b->end(), 0);
    tx_written_[0] = tx_written_[1] = false;
    rx_ready_ = -1;
    tx_free_ = -1;
    rx_last_ = 1;
    tx_last_ = 1;
    stats_.configured = true;
    ++generation_;
    cv_.notify_all();
    return 0;
}

ssize_t SscEngine::read(uint8_t *buf, size_t count)
{
    std::unique_lock<std::mutex> g(lock_);
    if (count == 0 || count > stats_.block_words * 4u)
        return -EINVAL;
    cv_.wait(g, [this] { return stopping_ || rx_ready_ >= 0; });
    if (stopping_)
        return -EIO;
    std::memcpy(buf, rx_[rx_ready_].data(), count);
    rx_ready_ = -1;
    ++stats_.rx_read;
    return static_cast<ssize_t>(count);
}

ssize_t SscEngine::write(const uint8_t *buf, size_t count)
{
    const int64_t entered = now_ns();
    std::unique_lock<std::mutex> g(lock_);
    if (count == 0 || count > stats_.block_words * 4u)
        return -EINVAL;
    cv_.wait(g, [this] { return stopping_ || tx_free_ >= 0; });
    if (stopping_)
        return -EIO;
    std::memcpy(tx_[tx_free_].data(), buf, count);
    tx_written_[tx_free_] = true;
    tx_enter_ns_[tx_free_] = entered;
    tx_prev_accept_ns_[tx_free_] = last_accept_ns_;
    tx_accept_ns_[tx_free_] = last_accept_ns_ = now_ns();
    tx_free_ = -1;
    return static_cast<ssize_t>(count);
}

void SscEngine::tick(std::vector<int16_t> &played)
{
    const uint32_t words = stats_.block_words;
    std::vector<int16_t> samples(words);

    // Receive: the block that just completed becomes the one a reader gets.
    int b = (rx_last_ + 1) % 2;
    capture_->next(samples.data(), words);
    for (uint32_t i = 0; i < words; ++i)
        bytes::put_le32(rx_[b].data() + 4 * i, PCMLINK_RX_WORD(alaw_from_linear(samples[i])));
    // The meter hears what the codec chip delivered: the A-law round trip.
    for (uint32_t i = 0; i < words; ++i)
        samples[i] = linear_from_alaw(alaw_from_linear(samples[i]));
    capture_level_.add(samples.data(), words);
    rx_ready_ = rx_last_ = b;
    ++stats_.rx_blocks;
    ++summary_rx_;

    // Transmit: the block that just went out, then refilled with 0x55 in case
    // nobody writes in time.
    b = (tx_last_ + 1) % 2;
    played.resize(words);
    for (uint32_t i = 0; i < words; ++i)
        played[i] =
            linear_from_alaw(static_cast<uint8_t>(PCMLINK_TX_CODE1(bytes::get_le32(tx_[b].data() + 4 * i))));
    playback_level_.add(played.data(), words);
    // The block went out between the previous tick and this one, a sample
    // every 125 us.
    const int64_t tick_ns = now_ns();
    if (marker_threshold_ > 0 && !marker_.seen && last_tick_ns_ != 0) {
        for (uint32_t i = 0; i < words; ++i) {
            if (std::abs(static_cast<int>(played[i])) >= marker_threshold_) {
                marker_.seen = true;
                marker_.sample_ns = last_tick_ns_ + static_cast<int64_t>(i) * 125000;
                marker_.write_enter_ns = tx_written_[b] ? tx_enter_ns_[b] : 0;
                marker_.write_accept_ns = tx_written_[b] ? tx_accept_ns_[b] : 0;
                marker_.prev_accept_ns = tx_written_[b] ? tx_prev_accept_ns_[b] : 0;
                break;
            }
        }
    }
    last_tick_ns_ = tick_ns;
    ++stats_.tx_blocks;
    if (tx_written_[b]) {
        ++stats_.tx_written;
        ++summary_tx_written_;
    } else {
        ++stats_.tx_fill;
        ++summary_tx_fill_;
    }
    std::memset(tx_[b].data(), 0x55, words * 4u);
    tx_written_[b] = false;
    tx_free_ = tx_last_ = b;
    stats_.capture_dbfs = capture_level_.dbfs();
    stats_.playback_dbfs = playback_level_.dbfs();
}

void SscEngine::clock()
{
    using clk = std::chrono::steady_clock;
    std::unique_lock<std::mutex> g(lock_);
    uint64_t gen = 0;
    clk::time_point next{};
    clk::time_point summary = clk::now() + std::chrono::seconds(1);
    std::vector<int16_t> played;
    while (!stopping_) {
        if (!stats_.configured) {
            cv_.wait(g);
            continue;
        }
        auto period = std::chrono::microseconds(125) * stats_.block_words;
        if (gen != generation_) {
            gen = generation_;
            next = clk::now() + period;
        }
        if (cv_.wait_until(g, next, [&] { return stopping_ || gen != generation_; }))
            continue;
        next += period;
        // After a long stall (a stopped debugger) start afresh rather than
        // racing through the missed blocks.
        if (clk::now() > next + 10 * period)
            next = clk::now() + period;
        tick(played);
        cv_.notify_all();
        if (playback_)
            sf_write_short(playback_, played.data(), static_cast<sf_count_t>(played.size()));
        if (clk::now() >= summary) {
            summary = clk::now() + std::chrono::seconds(1);
            log_.event(
                "ssc rx %llu blocks (capture %.1f dBFS), tx %llu written %llu fill (playback %.1f dBFS)",
                static_cast<unsigned long long>(summary_rx_), stats_.capture_dbfs,
                static_cast<unsigned long long>(summary_tx_written_),
                static_cast<unsigned long long>(summary_tx_fill_), stats_.playback_dbfs);
            summary_rx_ = summary_tx_written_ = summary_tx_fill_ = 0;
        }
    }
}

void SscEngine::arm_playback_marker(int threshold)
{
    std::lock_guard<std::mutex> g(lock_);
    marker_threshold_ = threshold;
    marker_ = PlaybackMarker{};
}

SscEngine::PlaybackMarker SscEngine::playback_marker() const
{
    std::lock_guard<std::mutex> g(lock_);
    return marker_;
}

SscEngine::Stats SscEngine::stats() const
{
    std::lock_guard<std::mutex> g(lock_);
    return stats_;
}

} // namespace boardbox
