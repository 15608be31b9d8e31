// class_control_gm: radio type gm360. A GM360 control head on "/dev/ttyS1", the
// radio body behind the binary server link, and the GM360 front relay between
// the two; the active-low GPIO line 0x1000 is the local PTT.
#pragma once

#include "control/binary_link.h"

#include <memory>

class class_voip;
class class_gmfront;

class class_control_gm : public class_control_binary
{
  public:
    explicit class_control_gm(class_voip *voip);
    ~class_control_gm() override;

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
    void cb_front_ptt(int ptt) override;
    void cb_async_dm3000_status(uint32_t a, uint8_t b, const uint8_t *status, int length) override;

    // The front relay, for the supervision loop's interrupt line; null before init.
    class_gmfront *front() { return front_.get(); }

  private:
    std::unique_ptr<class_gmfront> front_;
};
