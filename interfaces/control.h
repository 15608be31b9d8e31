// class_control: the radio-control interface. Every radio model implements it,
// and it is the one listener type of the server link, the GPIO poll thread, the
// serial reader thread and the front objects. The slot order is fixed: the other
// subsystems call through it.
#pragma once

#include <cstdint>

namespace proto
{
struct VersionInfo;
struct LoginResult;
} // namespace proto

class Gpio;
class SerialControl;

// What a control reports beyond the fixed callbacks, for the gateway's
// status: the server its link uses (the one of the running session, else
// the one being tried) and whether the voice alarm is raised.
struct control_status {
    uint32_t server_addr = 0; // network order; 0 before the link exists
    int server_port = 0;
    bool on_backup = false;
    bool voice_alarm = false;
};

class class_control
{
  public:
    virtual ~class_control() = default;

    // 0 on success, -1 on failure (and on a second call).
    virtual int init() = 0;

    // Binary server link events.
    virtual void cb_async_setptt(int ptt, const char *login) = 0;
    virtual void cb_async_unlocksql(int sql) = 0;
    virtual void cb_async_gpiochanged(uint32_t bitmap, uint32_t mask) = 0;
    // kind: 0 for the plain serial-data packet (203), 1 for its second variant.
    virtual void cb_async_serial_senddata(int serial_id, const uint8_t *data, uint16_t length, int kind) = 0;
    virtual void cb_async_upgradestatus(int status, int arg1, int arg2) = 0;
    // server_addr is the server's IPv4 address in network byte order.
    virtual void cb_conn_connected(uint32_t server_addr, const proto::VersionInfo *version,
                                   const proto::LoginResult *login) = 0;
    virtual void cb_conn_disconnected() = 0;

    // Board and front events.
    virtual void cb_gpio_changed(uint32_t bitmap, uint32_t mask) = 0;
    virtual void cb_serialread(int serial_id, const uint8_t *data, uint16_t length) = 0;
    virtual void cb_front_ptt(int ptt) = 0;

    virtual void cb_async_dm3000_status(uint32_t a, uint8_t b, const uint8_t *status, int length) = 0;
    virtual void cb_update_crypto(const uint8_t *key, int key_length, int mode) = 0;

    virtual Gpio *get_gpio() = 0;
    virtual SerialControl *get_serial() = 0;

    // Any thread; a control without a link reports nothing.
    virtual control_status status() { return {}; }
};
