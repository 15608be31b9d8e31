#include "control/control_xcmp.h"

#include "board/gpio_at91.h"
#include "control/roipsrv_conn.h"
#include "control/xml_messages.h"
#include "fronts/front46.h"

#include <cstdio>

namespace
{

constexpr uint32_t POWER_OUTPUT = 0x20000;   // high on mains, low on battery
constexpr uint32_t BATTERY_OUTPUT = 0x40000; // high while the battery is good
constexpr uint32_t ON_BATTERY = 0x200000;
constexpr uint32_t BATTERY_GOOD = 0x200;

const class_control_xml::profile XCMP = {
    "control_xcmp: ",
    "initializing ..",
    0,
    "error: setting volume failed !",
    "error: setblockedlist_load() failed !",
    0x111C1FE,
    0xFFFE7F67,
    {3000000, 'n', 1},
    false,
    false,
    "started ..",
    true,
};

} // namespace

class_control_xcmp::class_control_xcmp(class_voip *voip) : class_control_xml(voip, XCMP) {}

class_control_xcmp::~class_control_xcmp()
{
    // The panel is fed by the serial reader and the link; both end first.
    stop_sources();
    panel.reset();
}

int class_control_xcmp::init_model()
{
    panel = std::make_unique<class_front46>(this, gpio.get(), serial.get());
    if (panel->init() != 0) {
        say("error: cannot initialize front46");
        return -1;
    }
    return 0;
}

void class_control_xcmp::login_followups()
{
    xml_XCMPStatusReq(link.get());
    xml_GpioStateReq(link.get());
}

void class_control_xcmp::cb_serialread(int, const uint8_t *data, uint16_t length)
{
    {
        // Bytes read while init runs wait here for it and are delivered.
        std::lock_guard<std::recursive_mutex> lock(mutex);
        if (!initialised || !panel)
            return;
    }
    // Fed without the mutex: the panel's reset sequence pauses 2 s on this
    // thread, which must not hold up the other callbacks. The panel exists
    // for as long as callbacks can come.
    panel->feed(data, length);
}

void class_control_xcmp::on_serial_disp(const std::string &text, std::vector<uint8_t> &deferred)
{
    if (xml_XCMPEvent_SerialDisp(text, deferred) != 0) {
        deferred.clear();
        say("XCMPEvent/SerialDisp decode error !");
    }
}

void class_control_xcmp::deliver_deferred(const std::vector<uint8_t> &bytes)
{
    if (panel)
        panel->send_frame(bytes.data(), bytes.size());
}

void class_control_xcmp::on_gpio_event(const std::string &text)
{
    uint32_t bitmap = 0, mask = 0;
    if (!parse_gpio_event(text, bitmap, mask))
        return;
    if (!(bitmap & ON_BATTERY)) {
        std::puts(" - ac 230V");
        gpio->set_bits(POWER_OUTPUT);
    } else {
        std::puts(" - battery");
        gpio->clear_bits(POWER_OUTPUT);
    }
    if (!(bitmap & BATTERY_GOOD)) {
        std::puts(" - battery low");
        gpio->clear_bits(BATTERY_OUTPUT);
    } else {
        std::puts(" - battery ok");
        gpio->set_bits(BATTERY_OUTPUT);
    }
}
