#include "fronts/dmfront.h"

#include "board/amplifier.h"
#include "board/serial_control.h"
#include "fronts/dm3000_logo.h"
#include "fronts/dmframe.h"
#include "interfaces/control.h"
#include "link/roip_conn.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace
{

constexpr uint32_t HEAD_PTT = 0x200; // active low
constexpr uint8_t VOLUME_FIRST = 0x80;
constexpr uint8_t VOLUME_LAST = 0xBF;
constexpr uint8_t CODE_MASK = static_cast<uint8_t>(~0x40u);
constexpr uint8_t HEAD_KEY = 0x20;
constexpr uint8_t RELEASE = 0x10;
constexpr uint8_t MIC_KEY_FIRST = 1;
constexpr uint8_t MIC_KEY_LAST = 22;
constexpr uint32_t MODE_PRESS = 1;
constexpr uint32_t MODE_RELEASE = 2;
constexpr uint32_t MODE_MIC = 3;

} // namespace

class_dmfront::class_dmfront(class_control *control, class_roip_conn *conn, Gpio *gpio, SerialControl *serial)
    : control_(control), conn_(conn), gpio_(gpio), serial_(serial)
{
    show_logo();
}

class_dmfront::~class_dmfront() = default;

int class_dmfront::show_logo()
{
    std::lock_guard<std::mutex> lock(lock_);
    paint_logo();
    return 0;
}

void class_dmfront::paint_logo()
{
    show_pixels(dm3000_logo, static_cast<int>(sizeof dm3000_logo));
}

int class_dmfront::show_pixels(const uint8_t *pixels, int length)
{
    if (pixels == nullptr || length != static_cast<int>(dmframe::PIXEL_IMAGE_SIZE))
        return -1;
    uint8_t packed[dmframe::PACKED_IMAGE_SIZE];
    dmframe::pack_pixels(pixels, packed);
    return send_display(packed, 0);
}

int class_dmfront::send_display(const uint8_t *packed, uint8_t flags)
{
    uint8_t frame[dmframe::FRAME_SIZE];
    dmframe::make_frame(packed, flags, frame);
    if (serial_)
        serial_->write(frame, sizeof frame);
    return 0;
}

void class_dmfront::feed(const uint8_t *data, int length)
{
    std::lock_guard<std::mutex> lock(lock_);
    if (data == nullptr || length < 1)
        return;
    const uint8_t b = data[0];
    if (b >= VOLUME_FIRST && b <= VOLUME_LAST) {
        const unsigned volume = b - VOLUME_FIRST;
        std::printf("event\t: setting volume : %u\n", volume);
        if (i2c_max9768_vol_write(static_cast<uint8_t>(volume)) < 0)
            std::puts("setting volume : FAILED !");
        return;
    }
    const uint8_t code = b & CODE_MASK;
    if (code & HEAD_KEY) {
        const uint8_t second = code | RELEASE;
        if (code & RELEASE) {
            std::printf("event\t: button_release: 0x%2.2hhX / 0x%2.2hhX\n", code, second);
            if (conn_)
                conn_->send_dm_button(code, second, MODE_RELEASE);
        } else {
            std::printf("event\t: button_press: 0x%2.2hhX / 0x%2.2hhX\n", code, second);
            if (conn_)
                conn_->send_dm_button(code, second, MODE_PRESS);
        }
        return;
    }
    const uint8_t low = b & 0x3F;
    if (low >= MIC_KEY_FIRST && low <= MIC_KEY_LAST) {
        std::printf("event\t: button_press (mic): 0x%2.2hhX / 0x%2.2hhX\n", code, static_cast<uint8_t>(0));
        if (conn_)
            conn_->send_dm_button(code, 0, MODE_MIC);
    }
}

void class_dmfront::gpio_changed(uint32_t bitmap, uint32_t mask)
{
    std::lock_guard<std::mutex> lock(lock_);
    if ((mask & HEAD_PTT) && control_)
        control_->cb_front_ptt((bitmap & HEAD_PTT) ? 0 : 1);
}

void class_dmfront::show_status(uint32_t, uint8_t flags, const uint8_t *data, int length)
{
    std::lock_guard<std::mutex> lock(lock_);
    uint8_t packed[dmframe::PACKED_IMAGE_SIZE] = {};
    if (data != nullptr && length > 0)
        std::memcpy(packed, data, std::min(static_cast<size_t>(length), sizeof packed));
    send_display(packed, flags);
}

void class_dmfront::reset_display()
{
    std::lock_guard<std::mutex> lock(lock_);
    paint_logo();
}
