// What the controls on the binary server link (gm360, dm3000) share: the link
// built from the configuration, and the codec check after each login.
#pragma once

#include <memory>

class class_control;
class class_roip_conn;

namespace proto
{
struct LoginResult;
}

// The server link for the configured server, user and crypto mode, voice on
// local port 8000, reporting to `listener`; not started.
std::unique_ptr<class_roip_conn> create_server_link(class_control *listener);

// When the login result's codec differs from the configured one, stores it
// and ends this daemon ("killall gwlinkd"): a codec is never switched in
// place, the daemon is started again from outside. Does not wait.
void apply_server_codec(const proto::LoginResult *login);
