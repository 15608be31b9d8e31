#include "control/binary_link.h"

#include "board/gpio_at91.h"
#include "board/serial_control.h"
#include "control/extra_settings.h"
#include "gateway/config.h"
#include "gateway/extra_config.h"
#include "link/roip_conn.h"
#include "voice/voip.h"
#include "wire/roip_proto.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdio>
#include <cstdlib>

namespace
{

constexpr uint32_t GPIO_DIRECTION = 0x11C1FE;
constexpr int LOCAL_VOICE_PORT = 8000;

std::unique_ptr<class_roip_conn> create_server_link(class_control *listener)
{
    const config_format::config_record cfg = g_config.fields();
    struct in_addr server;
    server.s_addr = cfg.remote_ip;
    char host[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &server, host, sizeof host);
    return std::make_unique<class_roip_conn>(listener, host, cfg.remote_port, cfg.remote_user.c_str(),
                                             cfg.remote_passwd.c_str(), LOCAL_VOICE_PORT, cfg.crypto_mode,
                                             extra_backup_server());
}

} // namespace

class_control_binary::class_control_binary(class_voip *voip) : voip_(voip) {}

class_control_binary::~class_control_binary() = default;

void class_control_binary::close_link()
{
    // The timers call back into this object and sound the beeper: they end
    // before the link and the GPIO lines.
    if (tot_)
        tot_->stop();
    if (alarm_)
        alarm_->stop();
    conn_.reset();
    serial_.reset();
    gpio_.reset();
}

void class_control_binary::stop()
{
    std::lock_guard<std::mutex> lock(mutex_);
    initialised_ = 0;
}

int class_control_binary::open_link(uint32_t gpio_values, const SerialSettings &line,
                                    const char *serial_error)
{
    gpio_ = std::make_unique<GpioAT91>(this);
    if (!gpio_->is_ready()) {
        std::puts("cannot initialize gpio");
        return -1;
    }
    gpio_->start(GPIO_DIRECTION, gpio_values);
    tot_ = std::make_unique<TxTimeout>(extra_tx_timeout(), gpio_.get(), [this] { transmit_expired(); });
    alarm_ = std::make_unique<VoiceAlarm>(extra_voice_alarm(), [this] { return voip_->voicePackets(); });

    serial_ = std::make_unique<SerialControl>(this, 0, "/dev/ttyS1");
    serial_->open(&line);
    serial_->SetTimeoutReset(0);
    if (!serial_->is_open()) {
        std::fputs(serial_error, stdout);
        return -1;
    }

    conn_ = create_server_link(this);
    conn_->start();
    return 0;
}

void class_control_binary::apply_server_codec(const proto::LoginResult *login)
{
    if (!login || login->codec_type == g_config.codec())
        return;
    if (login->codec_type < 1 || login->codec_type > 3) {
        std::printf("cb_conn_connected: ignoring unknown codec type %d\n", login->codec_type);
        return;
    }
    // Restarting without the new codec stored would only bring the daemon
    // back with the old one, for ever.
    if (g_config.save_codec(login->codec_type) != 0) {
        std::printf("cb_conn_connected: cannot store codec type %d, going on with codec %d\n",
                    login->codec_type, g_config.codec());
        return;
    }
    int ignored = std::system("killall gwlinkd");
    (void)ignored;
}

void class_control_binary::end_voice_for_upgrade()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!initialised_)
        return;
    voip_->setRemote(0, 0, 0);
    conn_->setptt(0);
}

void class_control_binary::cb_update_crypto(const uint8_t *key, int key_length, int mode)
{
    if (!initialised_)
        return;
    std::printf("event\t: cb_update_crypto: mode: %d, key_len: %d\n", mode, key_length);
    std::lock_guard<std::mutex> lock(mutex_);
    if (initialised_)
        voip_->setCryptoKey(key, key_length, mode);
}

int class_control_binary::transmit_filter(int ptt)
{
    return tot_ ? tot_->filter(ptt) : (ptt ? 1 : 0);
}

void class_control_binary::transmit_expired()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!initialised_ || !tot_->take_expiry())
        return;
    std::printf("tot     : transmission ended after %d s, release PTT to transmit again\n",
                g_extra_config.settings().tx_timeout);
    conn_->setptt(0);
    voip_->setTransmit(0);
}

void class_control_binary::session_up(bool up)
{
    if (!up && tot_)
        tot_->cancel();
    if (alarm_)
        alarm_->link_up(up);
}

void class_control_binary::squelch_event(int sql)
{
    if (alarm_)
        alarm_->squelch(sql != 0);
}

void class_control_binary::server_ptt_event(int ptt, const char *login)
{
    // The server's report of this gateway's own PTT brings no voice to it.
    const bool own = login && g_config.fields().remote_user == login;
    if (alarm_)
        alarm_->remote_talking(ptt != 0 && !own);
}

control_status class_control_binary::status()
{
    control_status st;
    if (conn_) {
        const ServerAddress s = conn_->server_in_use();
        st.server_addr = s.addr;
        st.server_port = s.port;
        st.on_backup = s.backup;
    }
    st.voice_alarm = alarm_ && alarm_->active();
    return st;
}

Gpio *class_control_binary::get_gpio()
{
    return gpio_.get();
}

SerialControl *class_control_binary::get_serial()
{
    return serial_.get();
}
