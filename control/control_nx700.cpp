#include "control/control_nx700.h"

#include "board/gpio_at91.h"
#include "control/xml_messages.h"
#include "voice/voip.h"

#include <cstdio>
#include <cstring>

namespace
{

constexpr uint32_t SERVER_RESET = 0x400000;
constexpr uint32_t SERVER_ENABLE_8V = 0x800000;
constexpr uint32_t RESET_OUTPUT = 0x80;
constexpr uint32_t ENABLE_8V_OUTPUT = 0x100;
constexpr uint32_t SWITCH_INPUT = 0x1000;
constexpr uint32_t SERVER_SWITCH = 0x4;
constexpr int kMaxVolume = 31;

constexpr uint8_t PTT_PRESSED[5] = {0x44, 0x00, 0x02, 0x1A, 0x01};
constexpr uint8_t PTT_RELEASED[5] = {0x44, 0x00, 0x02, 0x1A, 0x00};
constexpr uint8_t VOLUME_UP[5] = {0x44, 0x00, 0x02, 0x10, 0x01};
constexpr uint8_t VOLUME_DOWN[5] = {0x44, 0x00, 0x02, 0x11, 0x01};

const class_control_xml::profile NX700 = {
    "control_nx700: ",
    "initializing...",
    0,
    "error: setting volume failed!",
    "error: setblockedlist_load() failed!",
    0x311C1FE,
    0xFFFE7F67,
    {115200, 'n', 1},
    true,
    true,
    "started ..",
    false,
};

bool same(const uint8_t *frame, size_t length, const uint8_t (&key)[5])
{
    return length == sizeof key && std::memcmp(frame, key, sizeof key) == 0;
}

} // namespace

class_control_nx700::class_control_nx700(class_voip *voip) : class_control_xml(voip, NX700) {}

class_control_nx700::~class_control_nx700()
{
    stop_sources();
}

int class_control_nx700::init_model()
{
    from_radio.set_callback([this](const uint8_t *frame, size_t length) { nsf_local(frame, length); });
    return 0;
}

void class_control_nx700::login_followups()
{
    xml_GpioStateReq(link.get());
}

void class_control_nx700::cb_serialread(int serial_id, const uint8_t *data, uint16_t length)
{
    std::lock_guard<std::recursive_mutex> lock(mutex);
    if (!initialised)
        return;
    say("serial -> frame [%s]", hex(data, length).c_str());
    if (serial_id == 0)
        from_radio.push(data, length);
}

void class_control_nx700::nsf_local(const uint8_t *frame, size_t length)
{
    say("nsf_local: serial <- frame: [%s]", hex(frame, length).c_str());
    if (same(frame, length, PTT_PRESSED) || same(frame, length, PTT_RELEASED)) {
        const int ptt = frame[4] ? 1 : 0;
        std::printf("=== PTT (%d)\n", ptt);
        cb_front_ptt(ptt);
    } else if (same(frame, length, VOLUME_UP)) {
        step_volume(+1);
        return;
    } else if (same(frame, length, VOLUME_DOWN)) {
        step_volume(-1);
        return;
    }
    xml_SerialDisp(link.get(), frame, length);
}

void class_control_nx700::step_volume(int delta)
{
    int tone = 2;
    const int next = volume + delta;
    if (next >= 0 && next <= kMaxVolume) {
        volume = next;
        tone = 1;
    }
    voip->setVolume(volume);
    voip->playTone(tone);
    std::printf(":: VOLUME: %d\n", volume);
}

void class_control_nx700::on_serial_disp(const std::string &text, std::vector<uint8_t> &)
{
    std::string bytes;
    if (xml_NXEvent_SerialDisp(text, bytes) != 0) {
        say("NXEvent/SerialDisp decode error!");
        return;
    }
    const uint8_t *data = reinterpret_cast<const uint8_t *>(bytes.data());
    say("serial <- frame [%s]", hex(data, bytes.size()).c_str());
    serial->write(data, bytes.size());
}

void class_control_nx700::on_gpio_event(const std::string &text)
{
    uint32_t bitmap = 0, mask = 0;
    if (!parse_gpio_event(text, bitmap, mask))
        return;
    if (mask & SERVER_RESET) {
        if (bitmap & SERVER_RESET) {
            say("set: RESET_ON");
            gpio->set_bits(RESET_OUTPUT);
        } else {
            say("clr: RESET_ON");
            gpio->clear_bits(RESET_OUTPUT);
        }
    }
    if (mask & SERVER_ENABLE_8V) {
        if (bitmap & SERVER_ENABLE_8V) {
            say("set: ENABLE_8V");
            gpio->set_bits(ENABLE_8V_OUTPUT);
        } else {
            say("clr: ENABLE_8V");
            gpio->clear_bits(ENABLE_8V_OUTPUT);
        }
    }
}

void class_control_nx700::on_local_gpio(uint32_t bitmap, uint32_t mask)
{
    if (!(mask & SWITCH_INPUT))
        return;
    if (bitmap & SWITCH_INPUT) {
        say("cb_gpio_changed: set SWITCH_ON");
        xml_GpioSetReq(link.get(), SERVER_SWITCH);
    } else {
        say("cb_gpio_changed: clr SWITCH_ON");
        xml_GpioClrReq(link.get(), SERVER_SWITCH);
    }
}

void class_control_nx700::ptt_action(int)
{
    xml_NXAction(link.get(), "hw");
}
