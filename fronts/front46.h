// class_front46: the Front46 panel on the serial port. A poll thread sends the
// poll frame every 20 ms; the bytes the panel sends are cut into CRC-checked
// frames and turned into PTT, key events and the BACK reset sequence; frames
// from the server are written to the panel as they are.
#pragma once

#include <cstddef>
#include <cstdint>

class class_panel_control;
class Gpio;
class SerialControl;

class class_front46
{
  public:
    class_front46(class_panel_control *control, Gpio *gpio, SerialControl *serial);
    class_front46(const class_front46 &) = delete;
    class_front46 &operator=(const class_front46 &) = delete;
    // Stops the poll thread and joins it.
    ~class_front46();

    // Starts the poll thread. 0 or -1.
    int init();
    // Bytes read from the panel.
    void feed(const uint8_t *data, size_t length);
    // Writes a frame for the panel as it is, drains the port, pauses 1 ms.
    void send_frame(const uint8_t *data, size_t length);

  private:
    class_panel_control *control;
    Gpio *gpio;
    SerialControl *serial;
};
