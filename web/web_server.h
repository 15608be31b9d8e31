// The HTTP side of gwwebd on libmicrohttpd: one internal polling thread,
// bounded connections, header memory and bodies; every request handed to the
// WebApp on that thread.
#pragma once

#include "web/web_app.h"

#include <string>

struct MHD_Daemon;

namespace gwweb
{

struct ServerOptions {
    std::string bind = "0.0.0.0";
    int port = 80;
    std::string tls_cert; // PEM texts, both or neither
    std::string tls_key;
    bool metrics_open = false;
};

class WebServer
{
  public:
    static constexpr unsigned max_connections = 16;
    static constexpr unsigned max_per_client = 8;
    static constexpr unsigned idle_timeout_s = 30;
    // Request line and headers of one connection must fit this.
    static constexpr size_t header_memory = 16 * 1024;

    explicit WebServer(const ServerOptions &opt) : opt_(opt), app_(opt.metrics_open) {}
    ~WebServer();
    WebServer(const WebServer &) = delete;
    WebServer &operator=(const WebServer &) = delete;

    // 0, or -1 with `error`.
    int start(std::string &error);
    void stop();

    WebApp &app() { return app_; }
    bool tls() const { return !opt_.tls_cert.empty(); }

  private:
    ServerOptions opt_;
    WebApp app_;
    MHD_Daemon *daemon_ = nullptr;
};

} // namespace gwweb
