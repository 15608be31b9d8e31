#include "fronts/front46.h"

#include "board/serial_control.h"

class_front46::class_front46(class_panel_control *control, Gpio *gpio, SerialControl *serial)
    : control(control), gpio(gpio), serial(serial)
{
}

class_front46::~class_front46() = default;

int class_front46::init()
{
    return 0;
}

void class_front46::feed(const uint8_t *, size_t) {}

void class_front46::send_frame(const uint8_t *data, size_t length)
{
    serial->write(data, length);
}
