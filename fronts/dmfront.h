// class_dmfront: serves a DM3000 control head on the serial port. It paints the
// head's 132 x 32 display (the built-in start-up picture, or the images the
// server sends), turns the head's one-byte key codes into amplifier volume and
// button events for the server, and the head's active-low PTT line (GPIO
// 0x200) into PTT for the control.
#pragma once

#include <cstdint>
#include <mutex>

class class_control;
class class_roip_conn;
class Gpio;
class SerialControl;

class class_dmfront
{
  public:
    // Shows the start-up picture before returning.
    class_dmfront(class_control *control, class_roip_conn *conn, Gpio *gpio, SerialControl *serial);
    class_dmfront(const class_dmfront &) = delete;
    class_dmfront &operator=(const class_dmfront &) = delete;

    virtual ~class_dmfront();
    virtual int show_logo();
    // A pixel image of exactly 4224 bytes, else -1 and nothing is sent.
    virtual int show_pixels(const uint8_t *pixels, int length);
    // A 528-byte packed image and the display flags (low three bits).
    virtual int send_display(const uint8_t *packed, uint8_t flags);
    // Bytes from the head; only the first byte of a chunk is a key code.
    virtual void feed(const uint8_t *data, int length);
    virtual void gpio_changed(uint32_t bitmap, uint32_t mask);
    // The server's DM3000 status: `flags` are the display flags and `data`
    // the packed image (shorter data leaves the rest clear, longer is cut).
    virtual void show_status(uint32_t value, uint8_t flags, const uint8_t *data, int length);
    virtual void reset_display();

  private:
    void paint_logo();

    std::mutex lock_;
    class_control *control_;
    class_roip_conn *conn_;
    [[maybe_unused]] Gpio *gpio_; // kept for the head lines the front may drive
    SerialControl *serial_;
};
