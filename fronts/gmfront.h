// class_gmfront: the GM360 front relay. It stands between a GM360 control head
// on the serial port and the radio body reached through the server link: radio
// frames go to the head one at a time, each waiting for the head's
// acknowledgement; when the head raises its request line it is polled and its
// key frame handled (volume knob, PTT key, other keys to the server); and the
// head's display shows the state of the server link.
#pragma once

#include "fronts/gmfmsg.h"
#include "fronts/gmframe.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

class class_control;
class class_roip_conn;
class Gpio;
class SerialControl;

class class_gmfront
{
  public:
    // Drives GPIO bit 3 high, starts the relay and drives the bit low again one
    // second later, so construction takes one second.
    class_gmfront(class_control *control, class_roip_conn *conn, Gpio *gpio, SerialControl *serial);
    class_gmfront(const class_gmfront &) = delete;
    class_gmfront &operator=(const class_gmfront &) = delete;

    virtual void dump(const char *title, const uint8_t *data, size_t len);
    // The relay's body: runs until the object is destroyed.
    virtual void run();
    virtual ~class_gmfront();
    virtual void feed_radio(const uint8_t *data, size_t len);
    virtual void feed_front(const uint8_t *data, size_t len);
    virtual void on_radio_frame(const uint8_t *frame, size_t len);
    virtual void on_front_frame(const uint8_t *frame, size_t len);
    virtual void on_radio_ack();
    virtual void on_front_ack();
    virtual void irq(int level);
    virtual void set_checksum(uint8_t *frame, size_t len);
    virtual void handle_front_frame(const uint8_t *frame, size_t len);
    virtual void FRONT_INIT();
    virtual void connected();
    virtual void disconnected();
    virtual void clean_qfront();
    virtual void display(const char *text);

  private:
    using Msg = std::unique_ptr<class_gmfmsg>;
    using Clock = std::chrono::steady_clock;

    void put_radio(Msg m);
    void put_front(Msg m);
    // The first message of qradio; null once the relay is stopping.
    Msg take_radio();
    // The first message of qfront, or null after one second (or when stopping).
    Msg take_front();
    void serial_write(const uint8_t *data, size_t len);

    std::recursive_mutex lock_;
    std::thread relay_;
    class_control *control_;
    class_roip_conn *conn_;
    Gpio *gpio_;
    SerialControl *serial_;
    std::deque<Msg> qradio_;
    std::condition_variable_any qradio_ready_;
    std::deque<Msg> qfront_;
    std::condition_variable_any qfront_ready_;
    gmframe::Assembler radio_asm_;
    gmframe::Assembler front_asm_;
    // A stuck request line would otherwise queue a poll every 20 ms.
    bool irq_pending_ = false;
    bool stopping_ = false;
};
