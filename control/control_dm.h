// class_control_dm: radio type dm3000. A DM3000 control head on "/dev/ttyS1"
// (115200 8N2), the radio behind the binary server link, and the DM front
// that paints the head's display and turns its keys and PTT line into events.
// After every login the server is asked for the head's display.
#pragma once

#include "control/binary_link.h"

#include <memory>

class class_voip;
class class_dmfront;

class class_control_dm : public class_control_binary
{
  public:
    explicit class_control_dm(class_voip *voip);
    ~class_control_dm() override;

    int init() override;
    void cb_async_setptt(int ptt, const char *login) override;
    void cb_async_unlocksql(int sql) override;
    void cb_async_gpiochanged(uint32_t bitmap, uint32_t mask) override;
    void cb_async_serial_senddata(int serial_id, const uint8_t *data, uint16_t length, int kind) override;
    void cb_async_upgradestatus(int status, int arg1, int arg2) override;
    void cb_conn_connected(uint32_t server_addr, const proto::VersionInfo *version,
                           const proto::LoginResult *login) override;
    void cb_conn_disconnected() override;
    void cb_gpio_changed(uint32_t bitmap, uint32_t mask) override;
    void cb_serialread(int serial_id, const uint8_t *data, uint16_t length) override;
    // Called by the DM front with both locks held, so it takes none.
    void cb_front_ptt(int ptt) override;
    void cb_async_dm3000_status(uint32_t a, uint8_t b, const uint8_t *status, int length) override;

  private:
    std::unique_ptr<class_dmfront> front_;
};
