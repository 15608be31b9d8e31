#include "fronts/gmfront.h"

#include "board/amplifier.h"
#include "board/gpio.h"
#include "board/serial_control.h"
#include "interfaces/control.h"
#include "link/roip_conn.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace
{

constexpr uint32_t RESET_LINE = 0x8; // GPIO bit 3: held high while the relay starts
constexpr auto ANSWER_WAIT = std::chrono::seconds(1);

constexpr uint8_t KEY_HEADER0 = 0xF4;
constexpr uint8_t KEY_HEADER1 = 0x24;
constexpr uint8_t KEY_VOLUME = 0x10;
constexpr uint8_t KEY_PTT = 0x00;
constexpr uint8_t KEY_IGNORED1 = 0xFF;
constexpr uint8_t KEY_IGNORED2 = 0x20;
constexpr uint8_t KEY_REVERSED = 0x21;

void feed(gmframe::Assembler &a, class_gmfront &f, const uint8_t *data, size_t len, bool radio)
{
    for (size_t i = 0; i < len; i++) {
        switch (a.feed(data[i])) {
        case gmframe::Assembler::FRAME:
            if (radio)
                f.on_radio_frame(a.data(), a.size());
            else
                f.on_front_frame(a.data(), a.size());
            break;
        case gmframe::Assembler::CRC_ERROR:
            f.dump(radio ? "radio : CRC ERROR : " : "front : CRC ERROR : ", a.data(), a.size());
            break;
        case gmframe::Assembler::ACK_BYTE:
            if (radio)
                f.on_radio_ack();
            else
                f.on_front_ack();
            break;
        case gmframe::Assembler::NONE:
            break;
        }
    }
}

} // namespace

class_gmfront::class_gmfront(class_control *control, class_roip_conn *conn, Gpio *gpio, SerialControl *serial)
    : control_(control), conn_(conn), gpio_(gpio), serial_(serial)
{
    if (gpio_)
        gpio_->set_bits(RESET_LINE);
    relay_ = std::thread(&class_gmfront::run, this);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    if (gpio_)
        gpio_->clear_bits(RESET_LINE);
}

class_gmfront::~class_gmfront()
{
    {
        std::lock_guard<std::recursive_mutex> lock(lock_);
        stopping_ = true;
    }
    qradio_ready_.notify_all();
    qfront_ready_.notify_all();
    if (relay_.joinable())
        relay_.join();
}

void class_gmfront::dump(const char *title, const uint8_t *data, size_t len)
{
    // One printf per line, so relay and reader lines never interleave.
    std::string line(title);
    line += "  : [ ";
    char hex[4];
    for (size_t i = 0; i < len; i++) {
        std::snprintf(hex, sizeof hex, "%2.2X ", data[i]);
        line += hex;
    }
    line += "]\n";
    std::fputs(line.c_str(), stdout);
}

void class_gmfront::put_radio(Msg m)
{
    std::lock_guard<std::recursive_mutex> lock(lock_);
    qradio_.push_back(std::move(m));
    qradio_ready_.notify_one();
}

void class_gmfront::put_front(Msg m)
{
    std::lock_guard<std::recursive_mutex> lock(lock_);
    qfront_.push_back(std::move(m));
    qfront_ready_.notify_one();
}

class_gmfront::Msg class_gmfront::take_radio()
{
    std::unique_lock<std::recursive_mutex> lock(lock_);
    qradio_ready_.wait(lock, [&] { return stopping_ || !qradio_.empty(); });
    if (stopping_)
        return nullptr;
    Msg m = std::move(qradio_.front());
    qradio_.pop_front();
    if (m->type() == GMFMSG_IRQ)
        irq_pending_ = false;
    return m;
}

class_gmfront::Msg class_gmfront::take_front()
{
    std::unique_lock<std::recursive_mutex> lock(lock_);
    auto deadline = Clock::now() + ANSWER_WAIT;
    if (!qfront_ready_.wait_until(lock, deadline, [&] { return stopping_ || !qfront_.empty(); }))
        return nullptr;
    if (stopping_)
        return nullptr;
    Msg m = std::move(qfront_.front());
    qfront_.pop_front();
    return m;
}

void class_gmfront::serial_write(const uint8_t *data, size_t len)
{
    if (serial_)
        serial_->write(data, len);
}

void class_gmfront::run()
{
    for (;;) {
        Msg m = take_radio();
        if (!m)
            return;
        switch (m->type()) {
        case GMFMSG_IRQ:
            serial_write(gmframe::POLL, sizeof gmframe::POLL);
            for (;;) {
                Msg f = take_front();
                if (!f) {
                    clean_qfront();
                    break;
                }
                if (f->type() == GMFMSG_FRAME) {
                    dump("FRAME FROM QFRONT : ", f->data(), f->length());
                    handle_front_frame(f->data(), f->length());
                    break;
                }
            }
            break;
        case GMFMSG_FRAME:
            dump("FRAME FROM QRADIO : ", m->data(), m->length());
            serial_write(m->data(), m->length());
            // The head never has more than one frame waiting for its answer.
            for (;;) {
                Msg f = take_front();
                if (!f) {
                    clean_qfront();
                    break;
                }
                if (f->type() == GMFMSG_ACK) {
                    std::puts("FRAME FROM QFRONT : [ ACK ]");
                    break;
                }
            }
            break;
        case GMFMSG_CONNECTED:
            std::puts("GMFMSG_CONNECTED");
            display("Connecting ..");
            FRONT_INIT();
            break;
        case GMFMSG_DISCONNECTED:
            std::puts("GMFMSG_DISCONNECTED");
            display("No conn.");
            break;
        default:
            break;
        }
        std::lock_guard<std::recursive_mutex> lock(lock_);
        if (stopping_)
            return;
    }
}

void class_gmfront::feed_radio(const uint8_t *data, size_t len)
{
    std::lock_guard<std::recursive_mutex> lock(lock_);
    dump("f <- r", data, len);
    feed(radio_asm_, *this, data, len, true);
}

void class_gmfront::feed_front(const uint8_t *data, size_t len)
{
    std::lock_guard<std::recursive_mutex> lock(lock_);
    dump("f -> r", data, len);
    feed(front_asm_, *this, data, len, false);
}

void class_gmfront::on_radio_frame(const uint8_t *frame, size_t len)
{
    dump("radio : ", frame, len);
    if (len == sizeof gmframe::POLL && std::memcmp(frame, gmframe::POLL, len) == 0)
        return;
    if (len < 3 || frame[0] == KEY_HEADER0)
        return;
    put_radio(std::make_unique<class_gmfmsg>(GMFMSG_FRAME, frame, static_cast<uint32_t>(len)));
}

void class_gmfront::on_front_frame(const uint8_t *frame, size_t len)
{
    if (len != gmframe::KEY_FRAME_SIZE || frame[0] != KEY_HEADER0 || frame[1] != KEY_HEADER1)
        return;
    put_front(std::make_unique<class_gmfmsg>(GMFMSG_FRAME, frame, static_cast<uint32_t>(len)));
}

void class_gmfront::on_radio_ack() {}

void class_gmfront::on_front_ack()
{
    std::puts("front : [ ACK ]");
    put_front(std::make_unique<class_gmfmsg>(GMFMSG_ACK));
}

void class_gmfront::irq(int level)
{
    if (level != 1)
        return;
    std::puts("front : [ IRQ ]");
    std::lock_guard<std::recursive_mutex> lock(lock_);
    if (irq_pending_)
        return;
    irq_pending_ = true;
    put_radio(std::make_unique<class_gmfmsg>(GMFMSG_IRQ));
}

void class_gmfront::connected()
{
    std::puts("front : [ CONNECTED ]");
    put_radio(std::make_unique<class_gmfmsg>(GMFMSG_CONNECTED));
}

void class_gmfront::disconnected()
{
    std::puts("front : [ DISCONNECTED ]");
    put_radio(std::make_unique<class_gmfmsg>(GMFMSG_DISCONNECTED));
}

void class_gmfront::set_checksum(uint8_t *frame, size_t len)
{
    gmframe::set_checksum(frame, len);
}

void class_gmfront::handle_front_frame(const uint8_t *frame, size_t len)
{
    if (len != gmframe::KEY_FRAME_SIZE)
        return;
    const uint8_t k = frame[2];
    const uint8_t s = frame[3];
    const uint8_t x = frame[4];

    if ((k == KEY_IGNORED1 || k == KEY_IGNORED2) && x == 0)
        return;
    if (k == KEY_VOLUME && x == 0) {
        std::printf("setting volume : %u -> %u\n", static_cast<unsigned>(s), static_cast<unsigned>(s >> 2));
        if (i2c_max9768_vol_write(static_cast<uint8_t>(s >> 2)) < 0)
            std::puts("setting volume : FAILED !");
        return;
    }
    if (k == KEY_PTT && x == 0) {
        if (control_)
            control_->cb_front_ptt(s != 0 ? 1 : 0);
        return;
    }

    // Every other key goes to the server as a press/release pair.
    uint8_t a[gmframe::KEY_FRAME_SIZE];
    uint8_t b[gmframe::KEY_FRAME_SIZE];
    std::memcpy(a, frame, len);
    std::memcpy(b, frame, len);
    uint32_t mode;
    if (k != KEY_REVERSED && s == 1) {
        b[3] = 0;
        set_checksum(b, len);
        mode = 0;
    } else if (k != KEY_REVERSED && s == 0) {
        a[3] = 1;
        set_checksum(a, len);
        mode = 1;
    } else if (k == KEY_REVERSED && s == 0) {
        b[3] = 1;
        set_checksum(b, len);
        mode = 2;
    } else {
        return;
    }
    if (conn_)
        conn_->send_front_frames(a, b, static_cast<int>(len), mode);
}

void class_gmfront::FRONT_INIT()
{
    std::puts(": FRONT_INIT() : gm360");
    for (size_t i = 0; i < 7; i++)
        on_radio_frame(gmframe::INIT_FRAMES[i], gmframe::INIT_FRAME_SIZES[i]);
    if (!conn_ || !conn_->is_logged_in())
        display("No conn.");
    if (conn_)
        conn_->send_front_state(0);
}

void class_gmfront::clean_qfront()
{
    std::puts("clean_qfront() !");
    std::lock_guard<std::recursive_mutex> lock(lock_);
    qfront_.clear();
}

void class_gmfront::display(const char *text)
{
    uint8_t frame[gmframe::DISPLAY_FRAME_SIZE];
    if (!text || !gmframe::make_display(text, frame))
        return;
    on_radio_frame(frame, sizeof frame);
}
