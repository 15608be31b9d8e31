#include "fronts/front46.h"

#include "base/crc16_xmodem.h"
#include "board/serial_control.h"
#include "interfaces/panel_control.h"

#include <chrono>
#include <cstdio>
#include <system_error>

namespace
{

constexpr auto POLL_PERIOD = std::chrono::milliseconds(20);
constexpr auto LINE_PAUSE = std::chrono::milliseconds(1);

constexpr uint8_t PTT_MARK = 0xC0;
constexpr uint8_t PTT_RELEASED_BIT = 0x04;
constexpr size_t BUTTON_FRAME_SIZE = 15;
constexpr size_t DIAL_FRAME_SIZE = 16;
constexpr uint8_t DIAL_CODE = 2;
constexpr int KEY_BACK = 0x8C;

struct Key {
    uint8_t code;
    const char *name;
};

constexpr Key KEYS[] = {{0xA0, " P1 "}, {0xA1, " P2 "}, {0xA2, " P3 "}, {0xA3, " P4 "}, {0x87, " UP "},
                        {0x88, "DOWN"}, {0x5C, " OK "}, {0x8C, "BACK"}, {0x5B, "DIAL"}};

const char *key_name(uint8_t code)
{
    for (const Key &k : KEYS)
        if (k.code == code)
            return k.name;
    return nullptr;
}

uint64_t monotonic_ms()
{
    // Monotonic rather than the time of day: a clock step must neither fake a
    // long BACK press nor hide a pause.
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

} // namespace

class_front46::class_front46(class_panel_control *control, Gpio *gpio, SerialControl *serial)
    : class_front46(control, gpio, serial, monotonic_ms)
{
}

class_front46::class_front46(class_panel_control *control, Gpio *gpio, SerialControl *serial, Clock clock)
    : control_(control), serial_(serial), clock_(clock ? std::move(clock) : Clock(monotonic_ms))
{
    // The panel drives no lines of its own.
    (void)gpio;
}

class_front46::~class_front46()
{
    {
        std::lock_guard<std::mutex> lock(lock_);
        stopping_ = true;
    }
    stop_wake_.notify_all();
    if (poll_thread_.joinable())
        poll_thread_.join();
}

int class_front46::init()
{
    std::puts("front46: init");
    std::lock_guard<std::mutex> lock(lock_);
    if (poll_thread_.joinable() || stopping_)
        return -1;
    try {
        poll_thread_ = std::thread(&class_front46::poll_loop, this);
    } catch (const std::system_error &) {
        return -1;
    }
    return 0;
}

void class_front46::poll_loop()
{
    std::unique_lock<std::mutex> lock(lock_);
    for (;;) {
        if (stop_wake_.wait_for(lock, POLL_PERIOD, [this] { return stopping_; }))
            return;
        write_locked(POLL_FRAME, sizeof POLL_FRAME);
    }
}

void class_front46::send_frame(const uint8_t *data, size_t length)
{
    if (!data || length == 0)
        return;
    std::lock_guard<std::mutex> lock(lock_);
    write_locked(data, length);
}

void class_front46::write_locked(const uint8_t *data, size_t length)
{
    if (!serial_)
        return;
    serial_->write(data, length);
    serial_->drain();
    // The panel needs a gap between two frames to find the next one.
    std::this_thread::sleep_for(LINE_PAUSE);
}

void class_front46::feed(const uint8_t *data, size_t length)
{
    std::vector<Action> actions;
    {
        std::lock_guard<std::mutex> lock(lock_);
        assemble(data, length);
        actions.swap(pending_);
    }
    run_actions(actions);
}

void class_front46::assemble(const uint8_t *data, size_t length)
{
    const uint64_t now = clock_();
    // Only a refused frame waits for a pause; a frame in progress may span pauses.
    if (state_ == ERROR && (!fed_before_ || now - last_feed_ > RESYNC_GAP_MS)) {
        state_ = FIRST_LENGTH_BYTE;
        held_ = 0;
    }
    last_feed_ = now;
    fed_before_ = true;
    if (!data)
        return;

    for (size_t i = 0; i < length; i++) {
        const uint8_t b = data[i];
        switch (state_) {
        case FIRST_LENGTH_BYTE:
            buffer_[0] = b;
            held_ = 1;
            state_ = SECOND_LENGTH_BYTE;
            break;
        case SECOND_LENGTH_BYTE: {
            buffer_[1] = b;
            held_ = 2;
            const uint16_t l = static_cast<uint16_t>(buffer_[0] << 8 | b);
            if (l < MIN_LENGTH || l > MAX_LENGTH) {
                std::printf("frame46: feed: error: size: %u !\n", static_cast<unsigned>(l));
                state_ = ERROR;
            } else {
                expected_ = l;
                state_ = COLLECTING;
            }
            break;
        }
        case COLLECTING:
            buffer_[held_++] = b;
            if (--expected_ > 0)
                break;
            if (crc16::xmodem(buffer_ + 2, held_ - 2u) != 0) {
                std::puts("frame46: feed: error: CRC16 !");
                state_ = ERROR;
                break;
            }
            on_frame(buffer_, held_);
            state_ = FIRST_LENGTH_BYTE;
            held_ = 0;
            break;
        case ERROR:
            break;
        }
    }
}

void class_front46::on_frame(const uint8_t *frame, size_t n)
{
    if (n >= 7 && frame[6] == PTT_MARK && (frame[2] & 0x80)) {
        const unsigned source = (frame[2] >> 4) & 0x07;
        if (source < 4)
            ptt_sources_[source] = (frame[3] & PTT_RELEASED_BIT) == 0;
        const bool any = ptt_sources_[0] || ptt_sources_[1] || ptt_sources_[2] || ptt_sources_[3];
        if (!any && ptt_) {
            std::puts("front46: ptt: 0 !");
            pending_.push_back({Action::PTT, 0, 0});
            ptt_ = false;
        } else if (any && !ptt_) {
            std::puts("front46: ptt: 1 !");
            pending_.push_back({Action::PTT, 1, 0});
            ptt_ = true;
        }
    }

    if (n == DIAL_FRAME_SIZE && frame[11] == DIAL_CODE) {
        std::printf("front46: dial: val: %2hhd, change: %hhd\n", static_cast<signed char>(frame[12]),
                    static_cast<signed char>(frame[13]));
        return;
    }

    if (n != BUTTON_FRAME_SIZE)
        return;
    const uint8_t code = frame[11];
    const char *name = key_name(code);
    if (!name)
        return;
    const bool pressed = frame[12] != 0;
    std::printf("front46: button: [%4.4s]: [%s] ---\n", name, pressed ? "#" : " ");
    pending_.push_back({Action::BUTTON, code, pressed ? 1 : 0});
    if (code != KEY_BACK)
        return;
    const uint64_t now = clock_();
    if (pressed) {
        back_pressed_ = true;
        back_press_time_ = now;
        return;
    }
    // A release with no press remembered counts as a long press.
    if (!back_pressed_ || now - back_press_time_ > RESET_HOLD_MS) {
        std::puts("--- RESET SEQ DETECTED ---");
        pending_.push_back({Action::RESET, 0, 0});
    }
    back_pressed_ = false;
    back_press_time_ = 0;
}

void class_front46::run_actions(const std::vector<Action> &actions)
{
    if (!control_)
        return;
    for (const Action &a : actions) {
        switch (a.kind) {
        case Action::PTT:
            control_->cb_front_ptt(a.a);
            break;
        case Action::BUTTON:
            control_->send_button(a.a, a.b, 0);
            break;
        case Action::RESET:
            control_->remote_reset();
            break;
        }
    }
}
