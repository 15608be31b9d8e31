// gwwebd's application: every page, asset and API call, from a Request to a
// Response. Sessions, the login throttle and the upload live here; the HTTP
// server only carries bytes. One thread calls it at a time.
#pragma once

#include "web/firmware_upload.h"
#include "web/http_types.h"
#include "web/login_throttle.h"
#include "web/metrics.h"
#include "web/session_store.h"
#include "web/status_source.h"

#include <cstdint>
#include <string>

namespace gwweb
{

constexpr size_t max_json_body = 16 * 1024;
constexpr char session_cookie[] = "gwweb_session";
constexpr char csrf_header[] = "x-csrf-token";

class WebApp
{
  public:
    explicit WebApp(bool metrics_open) : metrics_open_(metrics_open) {}

    Response handle(const Request &req, uint64_t now_ms);

    // The firmware upload, whose body is streamed: begin with the headers
    // (false and `refusal` set when it is not allowed), then the data, then
    // the end, which answers with fwwriter's verdict.
    static bool is_upload(const Request &req);
    bool upload_begin(const Request &req, uint64_t declared_length, uint64_t now_ms, Response &refusal);
    bool upload_data(const char *data, size_t length, Response &refusal);
    Response upload_end();
    void upload_abandon() { firmware_.abandon(); }

  private:
    const SessionStore::Session *session_of(const Request &req, uint64_t now_ms);
    bool allowed_change(const Request &req, uint64_t now_ms, Response &refusal);
    Response login(const Request &req, uint64_t now_ms);
    Response status();
    Response metrics(const Request &req, uint64_t now_ms);
    Response api(const Request &req, uint64_t now_ms);

    bool metrics_open_;
    SessionStore sessions_;
    LoginThrottle throttle_;
    StatusSource status_;
    FirmwareUpload firmware_;
    WebCounters counters_;
};

// The value of one cookie in a Cookie header; empty when it is not there.
std::string cookie_value(const std::string &header, const std::string &name);

Response json_response(int status, const std::string &body);
Response error_response(int status, const std::string &message);

} // namespace gwweb
