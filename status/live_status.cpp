#include "status/live_status.h"

#include <time.h>

namespace gw_status
{

LiveStatus &live()
{
    static LiveStatus status;
    return status;
}

uint32_t monotonic_seconds()
{
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint32_t>(ts.tv_sec);
}

namespace
{

void enter(uint32_t state)
{
    LiveStatus &s = live();
    put(s.link_since_s, monotonic_seconds());
    put(s.link_state, state);
}

} // namespace

void note_connecting(uint32_t server_ip, uint32_t server_port, bool backup)
{
    LiveStatus &s = live();
    put(s.server_ip, server_ip);
    put(s.server_port, server_port);
    put(s.server_in_use, backup ? 1u : 0u);
    bump(s.connect_attempts);
    enter(link_connecting);
}

void note_connected()
{
    enter(link_connected);
}

void note_logged_in()
{
    bump(live().logins);
    enter(link_logged_in);
}

void note_link_down()
{
    LiveStatus &s = live();
    if (get(s.link_state) == gw_status::link_logged_in)
        bump(s.link_losses);
    put(s.squelch, 0);
    put(s.remote_ptt, 0);
    enter(link_idle);
}

} // namespace gw_status
