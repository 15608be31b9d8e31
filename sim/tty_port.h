// One serial line of the board ("/dev/ttyS1" or "/dev/ttyS3"): a pty of the
// box's own devpts, the slave reached through the device name, the master
// served by a peer. Kinds: "null" (bytes logged and dropped), "raw" (relayed to
// a pty of the host whose slave path a test opens), or a registered peer.
#pragma once

#include <termios.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "sim/event_log.h"
#include "sim/pio_model.h"
#include "sim/tty_peer.h"
#include "sim/unique_fd.h"

namespace boardbox
{

class TtyPort : public PeerHost
{
  public:
    TtyPort(int port, std::string kind, EventLog &log, PioModel *pio);
    ~TtyPort() override { stop(); }

    // Before the host's /dev is covered: the host pty of a raw line.
    int prepare(std::string &why);
    // Inside the box: the pty and "/dev/ttySn".
    int create(std::string &why);
    // The peer and the line's thread.
    int start(std::string &why);
    void stop();

    void set_pio(PioModel *pio) { pio_ = pio; }
    // In a forked child that does not exec (the box's init): drop this
    // process's copies of the line's descriptors, so that a hang-up closes
    // the box's end for real.
    void close_in_child();
    void notify_gpio(uint32_t outputs, uint32_t changed);

    // {"cmd": "tty", "port": N} and requests addressed to the peer. With
    // "op": "hangup" the line goes as if the device vanished: the box closes
    // its end (the product's descriptor reads end of file or EIO) and
    // "/dev/ttySn" disappears; "op": "restore" brings it back as a new pty
    // with the settings the product had made, as a UART keeps them.
    nlohmann::json control(const nlohmann::json &request);

    const std::string &kind() const { return kind_; }
    const std::string &host_path() const { return host_path_; }
    std::string device() const { return "/dev/ttyS" + std::to_string(port_); }

    // PeerHost
    int port() const override { return port_; }
    void send(const uint8_t *data, size_t count) override;
    void set_inputs(uint32_t low, uint32_t high) override;
    uint32_t gpio_outputs() const override;
    uint32_t gpio_levels() const override;
    unsigned baud() const override;
    void log(const std::string &text) override;
    double now() const override { return log_.now(); }

  private:
    void run();
    // Runs on the line's thread: hang up or restore the box's pty.
    void apply_line_op(int op);
    nlohmann::json line_op(int op);
    void trace(const char *dir, const uint8_t *data, size_t count);

    int port_;
    std::string kind_, arg_;
    EventLog &log_;
    PioModel *pio_;
    UniqueFd master_, slave_;           // the box's pty
    UniqueFd host_master_, host_slave_; // raw lines only
    std::string host_path_;
    std::unique_ptr<TtyPeer> peer_;
    UniqueFd wake_;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
    std::mutex gpio_lock_;
    // A hang-up or restore asked for from the control thread, done by the
    // line's thread (which polls the descriptors); send() takes master_lock_.
    std::mutex master_lock_;
    std::condition_variable op_done_;
    int pending_op_ = 0; // 1 hang up, 2 restore
    int op_result_ = 0;
    std::atomic<bool> hung_up_{false};
    termios saved_{};
    uint32_t gpio_outputs_ = 0, gpio_changed_ = 0;
};

} // namespace boardbox
