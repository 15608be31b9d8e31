// class_control_nx5: radio type nx5xxx. An NX5xxx radio on "/dev/ttyS1" at
// 230400 baud with checksummed frames; its PTT key frames key the gateway,
// and its serial traffic is carried in NXEvent/XE SerialDisp documents.
#pragma once

#include "control/control_xml_framed.h"
#include "control/nx5_serialdisp_frame.h"

class class_control_nx5 : public class_control_xml_framed<nx5_serialdisp_frame>
{
  public:
    explicit class_control_nx5(class_voip *voip);
    ~class_control_nx5() override;

    // The PTT key report: 28 bytes (L = 18), payload starting 0x01 'p', byte
    // 22 0x27; byte 23 non-zero is a press. 1, 0, or -1 for any other frame.
    static int ptt_frame(const uint8_t *frame, size_t length);

  protected:
    int ptt_key(const uint8_t *frame, size_t length) const override { return ptt_frame(frame, length); }
    const char *serial_disp_key() const override { return "NXEvent/SerialDisp"; }
    void on_serial_disp(const std::string &text, std::vector<uint8_t> &deferred) override;
    void ptt_action(int ptt) override;
};
