// What the controls on the binary server link (gm360, dm3000) share: the GPIO
// lines, the head's serial port and the server link built from the
// configuration, their orderly stop, the codec check after each login, and the
// callbacks that act the same for both.
#pragma once

#include "interfaces/control.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

class class_voip;
class class_roip_conn;
class GpioAT91;
class TxTimeout;
class VoiceAlarm;
struct SerialSettings;

class class_control_binary : public class_control
{
  public:
    ~class_control_binary() override;
    class_control_binary(const class_control_binary &) = delete;
    class_control_binary &operator=(const class_control_binary &) = delete;

    void cb_update_crypto(const uint8_t *key, int key_length, int mode) override;
    Gpio *get_gpio() override;
    SerialControl *get_serial() override;
    control_status status() override;

  protected:
    explicit class_control_binary(class_voip *voip);

    // The first steps of init: the GPIO lines (polling started with the
    // direction mask 0x11C1FE and the output levels `gpio_values`), the head's
    // serial port "/dev/ttyS1" on `line` with the time-out reset off, and the
    // server link for the configured server, user and crypto mode with voice
    // on local port 8000 (started; its gate stays closed until `go`). 0, or -1
    // after printing "cannot initialize gpio" or `serial_error`; what was
    // created is kept.
    int open_link(uint32_t gpio_values, const SerialSettings &line, const char *serial_error);

    // From here on every callback returns without acting; one that is acting
    // now finishes first. The derived destructor calls it, then drops its
    // front, then calls close_link: the link's, the port's and the GPIO
    // poller's threads call this object's virtual callbacks until they are
    // joined, so they must end while the derived object still exists.
    void stop();
    void close_link();

    // When the login result's codec differs from the configured one, stores
    // it and ends this daemon ("killall gwlinkd"): a codec is never switched
    // in place, the daemon is started again from outside. Does not wait.
    static void apply_server_codec(const proto::LoginResult *login);

    // An upgrade is starting: voice and PTT to the server end. Takes the lock.
    void end_voice_for_upgrade();

    // The transmit time-out's say on a change of the operator's PTT, under
    // the lock: the PTT to act on, or -1 to do nothing (see TxTimeout).
    int transmit_filter(int ptt);
    // What the link's session tells the voice alarm and the time-out:
    // logged in or not, the squelch, the server's PTT event.
    void session_up(bool up);
    void squelch_event(int sql);
    void server_ptt_event(int ptt, const char *login);

    std::mutex mutex_;
    std::atomic<int> initialised_{0};
    class_voip *voip_;
    std::unique_ptr<class_roip_conn> conn_;
    std::unique_ptr<GpioAT91> gpio_;
    std::unique_ptr<SerialControl> serial_;

  private:
    // At the transmit limit: ends the transmission as a release would.
    void transmit_expired();

    std::unique_ptr<TxTimeout> tot_;
    std::unique_ptr<VoiceAlarm> alarm_;
};
