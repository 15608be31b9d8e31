// A class_control that does nothing; tests override the callbacks they watch.
#pragma once

#include "interfaces/control.h"

class ControlStub : public class_control
{
  public:
    int init() override { return 0; }
    void cb_async_setptt(int, const char *) override {}
    void cb_async_unlocksql(int) override {}
    void cb_async_gpiochanged(uint32_t, uint32_t) override {}
    void cb_async_serial_senddata(int, const uint8_t *, uint16_t, int) override {}
    void cb_async_upgradestatus(int, int, int) override {}
    void cb_conn_connected(uint32_t, const proto::VersionInfo *, const proto::LoginResult *) override {}
    void cb_conn_disconnected() override {}
    void cb_gpio_changed(uint32_t, uint32_t) override {}
    void cb_serialread(int, const uint8_t *, uint16_t) override {}
    void cb_front_ptt(int) override {}
    void cb_async_dm3000_status(uint32_t, uint8_t, const uint8_t *, int) override {}
    void cb_update_crypto(const uint8_t *, int, int) override {}
    Gpio *get_gpio() override { return nullptr; }
    SerialControl *get_serial() override { return nullptr; }
};
