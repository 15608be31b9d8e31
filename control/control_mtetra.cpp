#include "control/control_mtetra.h"

namespace
{

const class_control_xml::profile MTETRA = {
    "control_mtetra: ",
    "initializing ..",
    32,
    "error: setting volume failed !",
    "error: setblockedlist_load() failed !",
    0x111C1FE,
    0xFFFE7F67,
    {460800, 'n', 1},
    false,
    false,
    "started ..",
    true,
};

} // namespace

class_control_mtetra::class_control_mtetra(class_voip *voip) : class_control_xml_framed(voip, MTETRA) {}

class_control_mtetra::~class_control_mtetra()
{
    stop_sources();
}

int class_control_mtetra::ptt_frame(const uint8_t *f, size_t length)
{
    if (length != 14 || (f[1] & 0xF0) != 0x20 || f[2] != 0x14 || f[3] != 0x04 || f[10] != 0x20)
        return -1;
    return f[4] ? 1 : 0;
}

void class_control_mtetra::on_serial_disp(const std::string &text, std::vector<uint8_t> &)
{
    std::string bytes;
    if (xml_TEvent_SerialDisp(text, bytes) != 0) {
        say("TEvent/SerialDisp decode error!");
        return;
    }
    to_radio(bytes);
}

void class_control_mtetra::ptt_action(int ptt)
{
    // The radio wants its PTT source chosen on every press only.
    if (ptt)
        xml_TAction(link.get(), "hw");
}
