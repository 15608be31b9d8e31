#include "control/binary_link.h"

#include "gateway/config.h"
#include "link/roip_conn.h"
#include "wire/roip_proto.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdio>
#include <cstdlib>

namespace
{

constexpr int LOCAL_VOICE_PORT = 8000;

} // namespace

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

void apply_server_codec(const proto::LoginResult *login)
{
    if (!login || login->codec_type == g_config.codec())
        return;
    if (login->codec_type < 1 || login->codec_type > 3) {
        std::printf("cb_conn_connected: ignoring unknown codec type %d\n", login->codec_type);
        return;
    }
    g_config.save_codec(login->codec_type);
    int ignored = std::system("killall gwlinkd");
    (void)ignored;
}
