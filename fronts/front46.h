// class_front46: the Front46 panel on the serial port. A poll thread sends the
// poll frame every 20 ms; the bytes the panel sends are cut into CRC-checked
// frames and turned into PTT, key events and the BACK reset sequence; frames
// from the server are written to the panel as they are.
//
// The panel's lock guards only the panel's own state and its writes to the
// port. Calls into the control (PTT, keys, the reset sequence) are made after
// that lock is released, in the order the frames arrived, so the control may
// hold its own lock while it calls send_frame or feed without any risk of the
// two locks being taken in opposite orders.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

class class_panel_control;
class Gpio;
class SerialControl;

class class_front46
{
  public:
    // Milliseconds from a clock that never steps backwards.
    using Clock = std::function<uint64_t()>;

    static constexpr uint64_t RESYNC_GAP_MS = 3;
    static constexpr uint64_t RESET_HOLD_MS = 4000;
    static constexpr uint16_t MIN_LENGTH = 4;
    static constexpr uint16_t MAX_LENGTH = 1296;
    static constexpr uint8_t POLL_FRAME[6] = {0x00, 0x04, 0x73, 0x07, 0x2D, 0xED};

    class_front46(class_panel_control *control, Gpio *gpio, SerialControl *serial);
    // The same with another clock for the pause and hold-time rules.
    class_front46(class_panel_control *control, Gpio *gpio, SerialControl *serial, Clock clock);
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
    // What a frame asks of the control, carried out once the lock is released.
    struct Action {
        enum Kind { PTT, BUTTON, RESET } kind;
        int a;
        int b;
    };

    enum AssemblerState { FIRST_LENGTH_BYTE, SECOND_LENGTH_BYTE, COLLECTING, ERROR };

    void poll_loop();
    // Both run under lock_ and only queue actions.
    void assemble(const uint8_t *data, size_t length);
    void on_frame(const uint8_t *frame, size_t n);
    void run_actions(const std::vector<Action> &actions);
    void write_locked(const uint8_t *data, size_t length);

    std::mutex lock_;
    std::condition_variable stop_wake_;
    bool stopping_ = false;
    std::thread poll_thread_;
    class_panel_control *control_;
    SerialControl *serial_;
    Clock clock_;

    bool ptt_ = false;
    bool ptt_sources_[4] = {};
    bool back_pressed_ = false;
    uint64_t back_press_time_ = 0;

    uint64_t last_feed_ = 0;
    bool fed_before_ = false;
    AssemblerState state_ = FIRST_LENGTH_BYTE;
    uint16_t expected_ = 0;
    uint16_t held_ = 0;
    uint8_t buffer_[2048] = {};
    std::vector<Action> pending_;
};
