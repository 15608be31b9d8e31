// class_control_mtetra: radio type mtetra. An MTETRA radio on "/dev/ttyS1"
// at 460800 baud, framed by 0xFF on both ends; its PTT key frames key the
// gateway, and its serial traffic is carried in TEvent/XE SerialDisp
// documents.
#pragma once

#include "control/control_xml_framed.h"
#include "control/mtetra_serialdisp_frame.h"

class class_control_mtetra : public class_control_xml_framed<mtetra_serialdisp_frame>
{
  public:
    explicit class_control_mtetra(class_voip *voip);
    ~class_control_mtetra() override;

    // The PTT key report: 14 bytes, byte 1 0x2X, bytes 2, 3 and 10 0x14,
    // 0x04, 0x20; byte 4 non-zero is a press. 1, 0, or -1 for any other frame.
    static int ptt_frame(const uint8_t *frame, size_t length);

  protected:
    int ptt_key(const uint8_t *frame, size_t length) const override { return ptt_frame(frame, length); }
    const char *serial_disp_key() const override { return "TEvent/SerialDisp"; }
    void on_serial_disp(const std::string &text, std::vector<uint8_t> &deferred) override;
    void ptt_action(int ptt) override;
};
