// A client of a box's control socket, for tests and the demo.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace boardbox
{

struct GpioState {
    uint32_t outputs = 0;    // levels of the product's output lines
    uint32_t directions = 0; // 1 = output
    uint32_t levels = 0;     // what the product reads (PIO_PDSR)
    uint32_t inputs = 0;     // injected input levels
};

struct AmpCommand {
    double time = 0; // seconds since the box started
    uint8_t value = 0;
};

struct AudioLevels {
    bool configured = false;
    double capture_dbfs = -100;
    double playback_dbfs = -100;
    uint64_t rx_blocks = 0, rx_read = 0, tx_blocks = 0, tx_written = 0, tx_fill = 0;
};

// Where the first loud sample after arming surfaced in the played audio
// (steady-clock nanoseconds; see SscEngine::PlaybackMarker).
struct PlaybackMarker {
    bool seen = false;
    int64_t sample_ns = 0, write_enter_ns = 0, write_accept_ns = 0, prev_accept_ns = 0;
};

// One flash partition as the `mtd` request reports it.
struct MtdPartition {
    std::string device; // "/dev/mtd3"
    uint64_t size = 0;
    uint64_t erases = 0, writes = 0, failed_writes = 0;
    uint64_t last_write_bytes = 0;
    bool last_write_ok = true;
};

struct FlashState {
    std::vector<MtdPartition> partitions; // mtd3, mtd4, mtd5
    long long ram0_size = -1;             // -1: no /dev/ram0
};

class Client
{
  public:
    using ms = std::chrono::milliseconds;

    Client() = default;
    ~Client() { close(); }
    Client(const Client &) = delete;
    Client &operator=(const Client &) = delete;

    // Connects, retrying until the box has created the socket or `timeout`
    // passed. 0 or -1.
    int connect(const std::string &path, ms timeout = ms(10000));
    // From a program running inside a box: the socket named by BOARDBOX_CONTROL.
    int connect_inside(ms timeout = ms(10000));
    void close();
    bool connected() const { return fd_ >= 0; }

    // One request line and its reply line (without the newlines). 0 or -1.
    int raw(const std::string &line, std::string &reply, ms timeout = ms(10000));
    // A JSON request; 0 when the reply says "ok", -1 otherwise (the reply, if
    // any, is still stored).
    int request(const nlohmann::json &req, nlohmann::json &reply, ms timeout = ms(10000));

    bool ping();
    int set_inputs(uint32_t low, uint32_t high);
    int read_gpio(GpioState &state);
    int read_outputs(uint32_t &outputs);
    int amplifier_log(std::vector<AmpCommand> &commands);
    int audio_levels(AudioLevels &levels);
    int set_capture(const std::string &source);
    int arm_playback_marker(int threshold);
    int playback_marker(PlaybackMarker &marker);
    // Host path of the pty a raw line is relayed to.
    int tty_path(int port, std::string &path);
    int note(const std::string &text);
    // The partitions and the RAM disk (the `mtd` request).
    int flash_state(FlashState &state);

  private:
    int fd_ = -1;
    std::string pending_;
};

} // namespace boardbox
