#include "control/control_nx5.h"

namespace
{

const class_control_xml::profile NX5 = {
    "control_nx5: ",
    "initializing...",
    0,
    "error: setting volume failed!",
    "error: setblockedlist_load() failed!",
    0x111C1FE,
    0xFFFE7F67,
    {230400, 'n', 1},
    false,
    false,
    "started ..",
    true,
};

} // namespace

class_control_nx5::class_control_nx5(class_voip *voip) : class_control_xml_framed(voip, NX5) {}

class_control_nx5::~class_control_nx5()
{
    stop_sources();
}

int class_control_nx5::ptt_frame(const uint8_t *f, size_t length)
{
    if (length != 28 || f[8] != 0x01 || f[9] != 0x70 || f[22] != 0x27)
        return -1;
    return f[23] ? 1 : 0;
}

void class_control_nx5::on_serial_disp(const std::string &text, std::vector<uint8_t> &)
{
    std::string bytes;
    if (xml_NXEvent_SerialDisp(text, bytes) != 0) {
        say("NXEvent/SerialDisp decode error!");
        return;
    }
    to_radio(bytes);
}

void class_control_nx5::ptt_action(int)
{
    xml_NXAction(link.get(), "hw");
}
