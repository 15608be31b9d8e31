#include "web/web_server.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>

#include <cctype>
#include <cstring>
#include <exception>
#include <memory>

namespace gwweb
{

namespace
{

uint64_t now_ms()
{
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec / 1000000);
}

struct Exchange {
    Request req;
    bool upload = false;
    bool answered = false;
    // A refusal found while the body streams is sent once the body has been
    // read (and dropped): the library answers only between requests' bodies.
    bool refused = false;
    Response refusal;
};

MHD_Result collect_header(void *cls, MHD_ValueKind, const char *key, const char *value)
{
    auto *req = static_cast<Request *>(cls);
    if (key == nullptr)
        return MHD_YES;
    std::string name(key);
    for (char &c : name)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    // A repeated header keeps its first value: no client gets to choose which
    // one a check sees.
    req->headers.emplace(name, value ? value : "");
    return MHD_YES;
}

std::string client_address(MHD_Connection *c)
{
    const MHD_ConnectionInfo *info = MHD_get_connection_info(c, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    if (info == nullptr || info->client_addr == nullptr)
        return "?";
    char text[INET6_ADDRSTRLEN] = "?";
    const sockaddr *sa = info->client_addr;
    if (sa->sa_family == AF_INET)
        ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in *>(sa)->sin_addr, text, sizeof text);
    else if (sa->sa_family == AF_INET6)
        ::inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6 *>(sa)->sin6_addr, text, sizeof text);
    return text;
}

MHD_Result send(MHD_Connection *c, const Response &r)
{
    MHD_Response *resp = MHD_create_response_from_buffer(r.body.size(), const_cast<char *>(r.body.data()),
                                                         MHD_RESPMEM_MUST_COPY);
    if (resp == nullptr)
        return MHD_NO;
    MHD_add_response_header(resp, "Content-Type", r.content_type.c_str());
    MHD_add_response_header(resp, "Cache-Control", "no-store");
    MHD_add_response_header(resp, "X-Content-Type-Options", "nosniff");
    MHD_add_response_header(resp, "X-Frame-Options", "DENY");
    MHD_add_response_header(resp, "Referrer-Policy", "no-referrer");
    MHD_add_response_header(resp, "Content-Security-Policy",
                            "default-src 'self'; frame-ancestors 'none'; form-action 'self'");
    for (const auto &h : r.headers)
        MHD_add_response_header(resp, h.first.c_str(), h.second.c_str());
    MHD_Result ok = MHD_queue_response(c, static_cast<unsigned>(r.status), resp);
    MHD_destroy_response(resp);
    return ok;
}

// The declared body length, or 0.
uint64_t declared_length(const Request &req)
{
    auto it = req.headers.find("content-length");
    if (it == req.headers.end())
        return 0;
    return std::strtoull(it->second.c_str(), nullptr, 10);
}

MHD_Result on_request(void *cls, MHD_Connection *c, const char *url, const char *method, const char *,
                      const char *upload_data, size_t *upload_size, void **con_cls)
{
    auto *server = static_cast<WebServer *>(cls);
    WebApp *app = &server->app();
    try {
        auto *ex = static_cast<Exchange *>(*con_cls);
        if (ex == nullptr) {
            std::unique_ptr<Exchange> fresh(new Exchange);
            fresh->req.method = method ? method : "";
            fresh->req.path = url ? url : "";
            MHD_get_connection_values(c, MHD_HEADER_KIND, collect_header, &fresh->req);
            fresh->req.client = client_address(c);
            fresh->req.tls = server->tls();
            ex = fresh.release();
            *con_cls = ex;
            if (WebApp::is_upload(ex->req)) {
                ex->upload = true;
                Response refusal;
                if (!app->upload_begin(ex->req, declared_length(ex->req), now_ms(), refusal)) {
                    ex->answered = true;
                    return send(c, refusal);
                }
            } else if (declared_length(ex->req) > max_json_body) {
                ex->answered = true;
                return send(c, error_response(413, "the request body is too large"));
            }
            return MHD_YES;
        }
        if (*upload_size > 0) {
            const size_t n = *upload_size;
            *upload_size = 0;
            if (ex->answered || ex->refused)
                return MHD_YES;
            if (ex->upload) {
                ex->refused = !app->upload_data(upload_data, n, ex->refusal);
            } else if (ex->req.body.size() + n > max_json_body) {
                ex->refused = true;
                ex->refusal = error_response(413, "the request body is too large");
            } else {
                ex->req.body.append(upload_data, n);
            }
            return MHD_YES;
        }
        if (ex->answered)
            return MHD_YES;
        ex->answered = true;
        if (ex->refused)
            return send(c, ex->refusal);
        return send(c, ex->upload ? app->upload_end() : app->handle(ex->req, now_ms()));
    } catch (const std::exception &) {
        // Out of memory, most likely: this request ends, the server goes on.
        return MHD_NO;
    }
}

void on_completed(void *cls, MHD_Connection *, void **con_cls, MHD_RequestTerminationCode)
{
    auto *server = static_cast<WebServer *>(cls);
    auto *ex = static_cast<Exchange *>(*con_cls);
    // An upload cut off half way leaves nothing to check or upgrade.
    if (ex != nullptr && ex->upload && !ex->answered)
        server->app().upload_abandon();
    delete ex;
    *con_cls = nullptr;
}

} // namespace

WebServer::~WebServer()
{
    stop();
}

void WebServer::stop()
{
    if (daemon_ != nullptr)
        MHD_stop_daemon(daemon_);
    daemon_ = nullptr;
}

int WebServer::start(std::string &error)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(opt_.port));
    if (::inet_pton(AF_INET, opt_.bind.c_str(), &addr.sin_addr) != 1) {
        error = "not an IPv4 address: " + opt_.bind;
        return -1;
    }
    const bool tls = !opt_.tls_cert.empty();
    if (tls && MHD_is_feature_supported(MHD_FEATURE_TLS) != MHD_YES) {
        error = "this libmicrohttpd has no TLS";
        return -1;
    }
    unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_POLL | (tls ? MHD_USE_TLS : 0);
    if (tls) {
        daemon_ = MHD_start_daemon(
            flags, static_cast<uint16_t>(opt_.port), nullptr, nullptr, on_request, this, MHD_OPTION_SOCK_ADDR,
            reinterpret_cast<sockaddr *>(&addr), MHD_OPTION_CONNECTION_LIMIT, max_connections,
            MHD_OPTION_PER_IP_CONNECTION_LIMIT, max_per_client, MHD_OPTION_CONNECTION_TIMEOUT, idle_timeout_s,
            MHD_OPTION_CONNECTION_MEMORY_LIMIT, header_memory, MHD_OPTION_NOTIFY_COMPLETED, on_completed,
            this, MHD_OPTION_LISTENING_ADDRESS_REUSE, 1u, MHD_OPTION_HTTPS_MEM_CERT, opt_.tls_cert.c_str(),
            MHD_OPTION_HTTPS_MEM_KEY, opt_.tls_key.c_str(), MHD_OPTION_END);
    } else {
        daemon_ = MHD_start_daemon(
            flags, static_cast<uint16_t>(opt_.port), nullptr, nullptr, on_request, this, MHD_OPTION_SOCK_ADDR,
            reinterpret_cast<sockaddr *>(&addr), MHD_OPTION_CONNECTION_LIMIT, max_connections,
            MHD_OPTION_PER_IP_CONNECTION_LIMIT, max_per_client, MHD_OPTION_CONNECTION_TIMEOUT, idle_timeout_s,
            MHD_OPTION_CONNECTION_MEMORY_LIMIT, header_memory, MHD_OPTION_NOTIFY_COMPLETED, on_completed,
            this, MHD_OPTION_LISTENING_ADDRESS_REUSE, 1u, MHD_OPTION_END);
    }
    if (daemon_ == nullptr) {
        error = "cannot listen on " + opt_.bind + ":" + std::to_string(opt_.port);
        return -1;
    }
    return 0;
}

} // namespace gwweb
