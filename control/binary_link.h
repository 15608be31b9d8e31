// What the controls on the binary server link (gm360, dm3000) share: the link
// built from the configuration, and the codec check after each login.
#pragma once

#include <cstdint>
#include <memory>

class class_control;
class class_roip_conn;
class GpioAT91;
class SerialControl;
struct SerialSettings;

namespace proto
{
struct LoginResult;
}

// The first steps of a binary-link control's init, each object reporting to
// `listener`: the GPIO lines (polling started with the direction mask 0x11C1FE
// and the output levels `gpio_values`), the head's serial port "/dev/ttyS1"
// on `line` with the time-out reset off, and the server link for the
// configured server, user and crypto mode with voice on local port 8000
// (started; its gate stays closed until `go`). 0, or -1 after printing
// "cannot initialize gpio" or `serial_error`; what was created is kept.
int open_binary_link(class_control *listener, uint32_t gpio_values, const SerialSettings &line,
                     const char *serial_error, std::unique_ptr<GpioAT91> &gpio,
                     std::unique_ptr<SerialControl> &serial, std::unique_ptr<class_roip_conn> &conn);

// When the login result's codec differs from the configured one, stores it
// and ends this daemon ("killall gwlinkd"): a codec is never switched in
// place, the daemon is started again from outside. Does not wait.
void apply_server_codec(const proto::LoginResult *login);
