#include "control/control_dm.h"

#include "board/gpio_at91.h"
#include "board/serial_control.h"
#include "control/binary_link.h"
#include "fronts/dmfront.h"
#include "link/roip_conn.h"
#include "voice/voip.h"
#include "wire/roip_proto.h"

#include <cstdio>

namespace
{

constexpr uint32_t GPIO_VALUES = 0xFFFE7F67;
constexpr uint32_t STATUS_LED = 0x4000;
const SerialSettings HEAD_LINE{115200, 'n', 2};

} // namespace

class_control_dm::class_control_dm(class_voip *voip) : class_control_binary(voip) {}

class_control_dm::~class_control_dm()
{
    stop();
    front_.reset();
    close_link();
}

int class_control_dm::init()
{
    if (initialised_)
        return -1;

    if (open_link(GPIO_VALUES, HEAD_LINE, "error: cannot initialize serial 0 (ttyS1)") != 0)
        return -1;

    front_ = std::make_unique<class_dmfront>(this, conn_.get(), gpio_.get(), serial_.get());

    initialised_ = 1;
    conn_->go();
    return 0;
}

void class_control_dm::cb_async_setptt(int ptt, const char *login)
{
    if (!initialised_)
        return;
    std::printf("event\t: packettype_async_setptt [ptt:%d,login:%s]\n", ptt, login ? login : "");
    server_ptt_event(ptt, login);
}

void class_control_dm::cb_async_unlocksql(int sql)
{
    if (!initialised_)
        return;
    std::printf("event\t: packettype_async_unlocksql [sql:%d]\n", sql);
    squelch_event(sql);
}

void class_control_dm::cb_async_gpiochanged(uint32_t bitmap, uint32_t mask)
{
    if (!initialised_ || mask == STATUS_LED)
        return;
    std::printf("event\t: packettype_async_gpiochanged [bitmap:%8.8X,mask:%8.8X]\n", bitmap, mask);
}

void class_control_dm::cb_async_serial_senddata(int serial_id, const uint8_t *, uint16_t length, int)
{
    // The head is painted from the status records; radio serial data has no
    // use here.
    if (!initialised_ || length == 0)
        return;
    std::printf("event\t: packettype_serial_senddata [serial_id:%d,data_len:%hu]\n", serial_id, length);
}

void class_control_dm::cb_async_upgradestatus(int status, int, int)
{
    if (!initialised_)
        return;
    std::printf("event\t: packettype_upgradestatus [status:%d]\n", status);
    end_voice_for_upgrade();
}

void class_control_dm::cb_conn_connected(uint32_t server_addr, const proto::VersionInfo *,
                                         const proto::LoginResult *login)
{
    if (!initialised_)
        return;
    std::puts("event\t: cb_conn_connected");
    std::lock_guard<std::mutex> lock(mutex_);
    if (!initialised_)
        return;
    apply_server_codec(login);
    if (login)
        voip_->setRemote(server_addr, static_cast<uint16_t>(login->voip_port),
                         static_cast<uint32_t>(login->voip_sync_num));
    session_up(true);
    conn_->send_dm_status_request();
}

void class_control_dm::cb_conn_disconnected()
{
    if (!initialised_)
        return;
    std::puts("event\t: cb_conn_disconnected");
    std::lock_guard<std::mutex> lock(mutex_);
    if (!initialised_)
        return;
    session_up(false);
    voip_->setTransmit(0);
    voip_->setRemote(0, 0, 0);
    front_->reset_display();
}

void class_control_dm::cb_gpio_changed(uint32_t bitmap, uint32_t mask)
{
    if (!initialised_ || mask == STATUS_LED)
        return;
    std::printf("event   : cb_gpio_changed [bitmap:%8.8X,mask:%8.8X]\n", bitmap, mask);
    std::lock_guard<std::mutex> lock(mutex_);
    if (initialised_)
        front_->gpio_changed(bitmap, mask);
}

void class_control_dm::cb_serialread(int serial_id, const uint8_t *data, uint16_t length)
{
    if (!initialised_ || length < 1 || data == nullptr)
        return;
    std::printf("event\t: cb_serialread [serial_id:%d,data_len:%hu,d[0]:0x%2.2hhX]\n", serial_id, length,
                data[0]);
    if (serial_id != 0)
        return;
    std::lock_guard<std::mutex> lock(mutex_);
    if (initialised_)
        front_->feed(data, length);
}

void class_control_dm::cb_front_ptt(int ptt)
{
    if (!initialised_)
        return;
    std::printf("event\t: cb_front_ptt(%d)\n", ptt);
    // Runs under the lock: the head's PTT comes through gpio_changed.
    const int p = transmit_filter(ptt);
    if (p < 0)
        return;
    conn_->setptt(p);
    voip_->setTransmit(p);
}

void class_control_dm::cb_async_dm3000_status(uint32_t a, uint8_t b, const uint8_t *status, int length)
{
    if (!initialised_)
        return;
    std::puts("event\t: cb_async_dm3000_status");
    std::lock_guard<std::mutex> lock(mutex_);
    if (initialised_)
        front_->show_status(a, b, status, length);
}
