// class_control_nx700: radio type nx700. An NX700 radio on "/dev/ttyS1" at
// 115200 baud with 'D'-framed messages. Its PTT key frames key the gateway
// (and go to the server too), its volume keys set the loudspeaker level
// locally with a confirmation tone, and every other frame goes to the server.
// The server's GPIO events drive two outputs by mask; the local input 0x1000
// is mirrored to the server's GPIO bit 0x4.
#pragma once

#include "control/control_xml.h"
#include "control/nx700_serialdisp_frame.h"

class class_control_nx700 : public class_control_xml
{
  public:
    // The volume counter's value before the first volume key: the top, as
    // the player plays unscaled until a level is set.
    static constexpr int kInitialVolume = 31;

    explicit class_control_nx700(class_voip *voip);
    ~class_control_nx700() override;

    void cb_serialread(int serial_id, const uint8_t *data, uint16_t length) override;

  protected:
    int init_model() override;
    void login_followups() override;
    const char *serial_disp_key() const override { return "NXEvent/SerialDisp"; }
    void on_serial_disp(const std::string &text, std::vector<uint8_t> &deferred) override;
    void on_gpio_event(const std::string &text) override;
    void on_local_gpio(uint32_t bitmap, uint32_t mask) override;
    void ptt_action(int ptt) override;

  private:
    // A frame from the radio: acted on here, sent to the server, or both.
    void nsf_local(const uint8_t *frame, size_t length);
    void step_volume(int delta);

    nx700_serialdisp_frame from_radio;
    int volume = kInitialVolume;
};
