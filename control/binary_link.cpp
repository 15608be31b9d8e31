#include "control/binary_link.h"

#include "board/gpio_at91.h"
#include "board/serial_control.h"
#include "gateway/config.h"
#include "link/roip_conn.h"
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
                                             cfg.remote_passwd.c_str(), LOCAL_VOICE_PORT, cfg.crypto_mode);
}

} // namespace

int open_binary_link(class_control *listener, uint32_t gpio_values, const SerialSettings &line,
                     const char *serial_error, std::unique_ptr<GpioAT91> &gpio,
                     std::unique_ptr<SerialControl> &serial, std::unique_ptr<class_roip_conn> &conn)
{
    gpio = std::make_unique<GpioAT91>(listener);
    if (!gpio->is_ready()) {
        std::puts("cannot initialize gpio");
        return -1;
    }
    gpio->start(GPIO_DIRECTION, gpio_values);

    serial = std::make_unique<SerialControl>(listener, 0, "/dev/ttyS1");
    serial->open(&line);
    serial->SetTimeoutReset(0);
    if (!serial->is_open()) {
        std::fputs(serial_error, stdout);
        return -1;
    }

    conn = create_server_link(listener);
    conn->start();
    return 0;
}

void apply_server_codec(const proto::LoginResult *login)
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
