// class_control_xml: what the radio controls on the XML server link share.
// The server link, the GPIO lines and the serial port on "/dev/ttyS1" are
// built by one init skeleton driven by the model's profile; received
// documents are dispatched in one order, and the models differ only in the
// hooks below (what follows a login, which serial display event they take and
// what they do with it, the server's GPIO event, local GPIO and serial input,
// the action document sent with PTT).
#pragma once

#include "board/serial_control.h"
#include "interfaces/panel_control.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class class_voip;
class class_roipsrv_conn;
class GpioAT91;
class TxTimeout;
class VoiceAlarm;

class class_control_xml : public class_panel_control
{
  public:
    // The texts are printed after the prefix; the lines' wording differs
    // slightly between the models, so each model spells its own.
    struct profile {
        const char *prefix; // "control_xcmp: "
        const char *first_line;
        uint8_t volume;
        const char *volume_failure;
        const char *blocked_failure;
        uint32_t gpio_direction;
        uint32_t gpio_values;
        SerialSettings serial;
        bool serial_timeout_reset; // SetTimeoutReset(0) after opening
        bool serial_failure_line_end;
        const char *last_line;
        bool print_setptt; // print the SetPttEv values
    };

    class_control_xml(class_voip *voip, const profile &prof);
    ~class_control_xml() override;
    class_control_xml(const class_control_xml &) = delete;
    class_control_xml &operator=(const class_control_xml &) = delete;

    int init() override;

    // The binary link's callbacks: this family never uses that link.
    void cb_async_setptt(int, const char *) override {}
    void cb_async_unlocksql(int) override {}
    void cb_async_gpiochanged(uint32_t, uint32_t) override {}
    void cb_async_serial_senddata(int, const uint8_t *, uint16_t, int) override {}
    void cb_async_upgradestatus(int, int, int) override {}
    void cb_conn_connected(uint32_t, const proto::VersionInfo *, const proto::LoginResult *) override {}
    void cb_conn_disconnected() override {}
    void cb_async_dm3000_status(uint32_t, uint8_t, const uint8_t *, int) override {}
    void cb_update_crypto(const uint8_t *, int, int) override {}

    void cb_gpio_changed(uint32_t bitmap, uint32_t mask) override;
    void cb_front_ptt(int ptt) override;
    Gpio *get_gpio() override;
    SerialControl *get_serial() override;
    control_status status() override;

    // The panel's key events and reset sequence (only xcmp has a panel).
    void send_button(int id, int state, int type) override;
    void remote_reset() override;

    // The XML link's callback; runs on the link's connection thread.
    void on_xml_message(const std::string &text);

  protected:
    // Runs after the link exists and before it starts, under the mutex:
    // the model's own objects. 0 or -1.
    virtual int init_model() { return 0; }
    // After setRemote on every login.
    virtual void login_followups() {}
    // The key of the serial display event the model takes.
    virtual const char *serial_disp_key() const = 0;
    // Under the mutex. Bytes left in `deferred` are handed to
    // deliver_deferred once the mutex is released.
    virtual void on_serial_disp(const std::string &text, std::vector<uint8_t> &deferred) = 0;
    virtual void deliver_deferred(const std::vector<uint8_t> &) {}
    // Under the mutex; the default ignores the event.
    virtual void on_gpio_event(const std::string &) {}
    // Under the mutex, after the change was printed.
    virtual void on_local_gpio(uint32_t, uint32_t) {}
    // Sent before SetPttReq.
    virtual void ptt_action(int) {}

    // Parses a GpioChangedEv and prints it; false (and a parse-error line)
    // when the document does not convert.
    bool parse_gpio_event(const std::string &text, uint32_t &bitmap, uint32_t &mask);

    // One line: the prefix, then the formatted text.
    void say(const char *format, ...) const __attribute__((format(printf, 2, 3)));
    static std::string hex(const uint8_t *data, size_t length);

    // Ends every callback source (link, serial reader, GPIO reports), so a
    // model can tear down what those callbacks use. Idempotent.
    void stop_sources();

    std::recursive_mutex mutex;
    std::atomic<int> initialised{0};
    class_voip *voip;
    std::unique_ptr<class_roipsrv_conn> link;
    std::unique_ptr<GpioAT91> gpio;
    std::unique_ptr<SerialControl> serial;

  private:
    void dispatch(const std::string &text, std::vector<uint8_t> &deferred);
    void on_login(const std::string &text);
    void on_setptt(const std::string &text);
    // At the transmit limit: ends the transmission as a release would.
    void transmit_expired();

    const profile &prof;
    bool init_attempted = false;
    std::unique_ptr<TxTimeout> tot;
    std::unique_ptr<VoiceAlarm> alarm;
    // Ends the reset sequence's pause when the control is stopped.
    std::mutex reset_mutex;
    std::condition_variable reset_wake;
    bool stopping = false;
};
