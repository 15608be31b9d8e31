// class_control_xcmp: radio type xcmp. The radio is reached through the XML
// server link; the board carries a Front46 panel on "/dev/ttyS1". Display
// data from the server goes to the panel, the panel's keys and PTT go to the
// server, and the server's GPIO events drive the power and battery outputs.
#pragma once

#include "control/control_xml.h"

#include <memory>

class class_front46;

class class_control_xcmp : public class_control_xml
{
  public:
    explicit class_control_xcmp(class_voip *voip);
    ~class_control_xcmp() override;

    void cb_serialread(int serial_id, const uint8_t *data, uint16_t length) override;

  protected:
    int init_model() override;
    void login_followups() override;
    const char *serial_disp_key() const override { return "XCMPEvent/SerialDisp"; }
    void on_serial_disp(const std::string &text, std::vector<uint8_t> &deferred) override;
    void deliver_deferred(const std::vector<uint8_t> &bytes) override;
    void on_gpio_event(const std::string &text) override;

  private:
    // Created by init and kept until destruction; read without the mutex by
    // the paths that must not hold it while the panel takes its own lock.
    std::unique_ptr<class_front46> panel;
};
