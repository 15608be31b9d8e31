// class_control_xml_framed: an XML-linked control with the radio itself on
// "/dev/ttyS1" and one frame assembler of the radio's framing on each side:
// A cuts the server's serial display bytes into frames for the radio, B looks
// at the radio's bytes for its PTT key frames. The radio's bytes all go to
// the server as they come, framed or not.
#pragma once

#include "control/control_xml.h"
#include "control/xml_messages.h"

template <class Frame> class class_control_xml_framed : public class_control_xml
{
  public:
    using class_control_xml::class_control_xml;

    void cb_serialread(int, const uint8_t *data, uint16_t length) override
    {
        std::lock_guard<std::recursive_mutex> lock(mutex);
        if (!initialised)
            return;
        from_radio.push(data, length);
        xml_SerialDisp(link.get(), data, length);
    }

  protected:
    // 1 pressed, 0 released, -1 not a PTT key frame.
    virtual int ptt_key(const uint8_t *frame, size_t length) const = 0;

    int init_model() override
    {
        from_server.set_callback(
            [this](const uint8_t *frame, size_t length) { serial->write(frame, length); });
        from_radio.set_callback([this](const uint8_t *frame, size_t length) {
            const int key = ptt_key(frame, length);
            if (key >= 0)
                cb_front_ptt(key);
        });
        return 0;
    }

    // Decoded server bytes through assembler A.
    void to_radio(const std::string &bytes)
    {
        from_server.push(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
    }

    Frame from_server;
    Frame from_radio;
};
