#include "control/control_gm.h"

#include "board/gpio_at91.h"
#include "board/serial_control.h"
#include "control/binary_link.h"
#include "fronts/gmfront.h"
#include "link/roip_conn.h"
#include "voice/voip.h"
#include "wire/roip_proto.h"

#include <cstdio>

namespace
{

constexpr uint32_t GPIO_VALUES = 0xFFFE6F67;
constexpr uint32_t STATUS_LED = 0x4000;
constexpr uint32_t FRONT_PTT = 0x1000; // active low
const SerialSettings HEAD_LINE{9600, 'n', 1};

} // namespace

class_control_gm::class_control_gm(class_voip *voip) : class_control_binary(voip) {}

class_control_gm::~class_control_gm()
{
    stop();
    front_.reset();
    close_link();
}

int class_control_gm::init()
{
    if (initialised_)
        return -1;

    if (open_link(GPIO_VALUES, HEAD_LINE, "cannot initialize serial 0 (ttyS1)") != 0)
        return -1;

    front_ = std::make_unique<class_gmfront>(this, conn_.get(), gpio_.get(), serial_.get());

    initialised_ = 1;
    conn_->go();
    return 0;
}

void class_control_gm::cb_async_setptt(int ptt, const char *login)
{
    std::puts("cb_async_setptt");
    if (!initialised_)
        return;
    std::printf("event\t: packettype_async_setptt [ptt:%d,login:%s]\n", ptt, login ? login : "");
    server_ptt_event(ptt, login);
}

void class_control_gm::cb_async_unlocksql(int sql)
{
    std::printf("cb_async_unlocksql (%d)\n", sql);
    if (!initialised_)
        return;
    std::printf("event\t: packettype_async_unlocksql [sql:%d]\n", sql);
    squelch_event(sql);
}

void class_control_gm::cb_async_gpiochanged(uint32_t bitmap, uint32_t mask)
{
    std::puts("cb_async_gpiochanged");
    if (!initialised_)
        return;
    if (mask != STATUS_LED)
        std::printf("event\t: packettype_async_gpiochanged [bitmap:%8.8X,mask:%8.8X]\n", bitmap, mask);
}

void class_control_gm::cb_async_serial_senddata(int serial_id, const uint8_t *data, uint16_t length, int kind)
{
    std::puts("cb_async_serial_senddata");
    if (!initialised_)
        return;
    std::printf("event\t: packettype_serial_senddata [serial_id:%d,data_len:%hu]\n", serial_id, length);
    if (serial_id != 0 || kind != 0)
        return;
    std::lock_guard<std::mutex> lock(mutex_);
    if (initialised_)
        front_->feed_radio(data, length);
}

void class_control_gm::cb_async_upgradestatus(int status, int, int)
{
    std::puts("cb_async_upgradestatus");
    if (!initialised_)
        return;
    std::printf("event\t: packettype_upgradestatus [status:%d]\n", status);
    end_voice_for_upgrade();
}

void class_control_gm::cb_conn_connected(uint32_t server_addr, const proto::VersionInfo *,
                                         const proto::LoginResult *login)
{
    std::puts("cb_conn_connected");
    if (!initialised_)
        return;
    std::puts("event\t: cb_conn_connected");
    std::lock_guard<std::mutex> lock(mutex_);
    if (!initialised_)
        return;
    apply_server_codec(login);
    front_->connected();
    if (login)
        voip_->setRemote(server_addr, static_cast<uint16_t>(login->voip_port),
                         static_cast<uint32_t>(login->voip_sync_num));
    session_up(true);
}

void class_control_gm::cb_conn_disconnected()
{
    std::puts("cb_conn_disconnected");
    if (!initialised_)
        return;
    std::puts("event\t: cb_conn_disconnected");
    std::lock_guard<std::mutex> lock(mutex_);
    if (!initialised_)
        return;
    session_up(false);
    voip_->setTransmit(0);
    voip_->setRemote(0, 0, 0);
    front_->disconnected();
}

void class_control_gm::cb_gpio_changed(uint32_t bitmap, uint32_t mask)
{
    std::puts("cb_gpio_changed");
    if (!initialised_ || mask == STATUS_LED)
        return;
    std::printf("gpio    : changed [bitmap:%8.8X,mask:%8.8X]\n", bitmap, mask);
    if (mask & FRONT_PTT)
        cb_front_ptt((bitmap & FRONT_PTT) ? 0 : 1);
}

void class_control_gm::cb_serialread(int serial_id, const uint8_t *data, uint16_t length)
{
    std::puts("cb_serialread");
    if (!initialised_)
        return;
    std::puts("cb_serialread");
    if (serial_id != 0)
        return;
    std::lock_guard<std::mutex> lock(mutex_);
    if (initialised_)
        front_->feed_front(data, length);
}

void class_control_gm::cb_front_ptt(int ptt)
{
    std::puts("cb_front_ptt");
    if (!initialised_)
        return;
    std::printf("event\t: cb_front_ptt(%d)\n", ptt);
    std::lock_guard<std::mutex> lock(mutex_);
    if (!initialised_)
        return;
    const int p = transmit_filter(ptt);
    if (p < 0)
        return;
    conn_->setptt(p);
    voip_->setTransmit(p);
}

void class_control_gm::cb_async_dm3000_status(uint32_t, uint8_t, const uint8_t *, int) {}
