#include "control/roipsrv_conn.h"

class_roipsrv_conn::class_roipsrv_conn(callback_t callback, const std::string &host, int port,
                                       const std::string &user, const std::string &passwd, int rtp_port)
    : host(host), port(port), user(user), passwd(passwd), rtp_port(rtp_port), callback(std::move(callback)),
      conn(host.c_str(), port, 15, -1)
{
}

class_roipsrv_conn::~class_roipsrv_conn() = default;

void class_roipsrv_conn::run() {}

int class_roipsrv_conn::start_thr()
{
    return -1;
}

int class_roipsrv_conn::send_text(const std::string &)
{
    return -1;
}

std::string class_roipsrv_conn::message_key(const std::string &)
{
    return ":err";
}
