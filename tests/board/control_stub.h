// A control that does nothing; tests override the callbacks they watch.
// PanelControlStub adds the panel's two calls.
#pragma once

#include "interfaces/control.h"
#include "interfaces/panel_control.h"

template <class Interface> class BasicControlStub : public Interface
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

using ControlStub = BasicControlStub<class_control>;

class PanelControlStub : public BasicControlStub<class_panel_control>
{
  public:
    void send_button(int, int, int) override {}
    void remote_reset() override {}
};
