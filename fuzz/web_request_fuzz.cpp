// gwwebd's readers of outside bytes: a whole request (method, path, headers,
// body) through the application, the cookie header, and configuration JSON
// through the checks. Input: a method byte, the path up to a newline, header
// lines "name: value" up to an empty line, then the body.
//
// Only answers without side effects can be reached: every call that changes
// anything needs a session, whose random token the input cannot know.
#include "web/config_api.h"
#include "web/web_app.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace
{

const char *const methods[] = {"GET", "POST", "PUT", "HEAD", "DELETE", "OPTIONS", "PATCH", ""};

gwweb::Request parse(const uint8_t *data, size_t size)
{
    gwweb::Request req;
    if (size == 0)
        return req;
    req.method = methods[data[0] % 8];
    std::string rest(reinterpret_cast<const char *>(data + 1), size - 1);
    size_t nl = rest.find('\n');
    req.path = rest.substr(0, nl);
    size_t pos = nl == std::string::npos ? rest.size() : nl + 1;
    while (pos < rest.size()) {
        size_t end = rest.find('\n', pos);
        if (end == std::string::npos)
            end = rest.size();
        std::string line = rest.substr(pos, end - pos);
        pos = end + 1;
        if (line.empty())
            break;
        size_t colon = line.find(':');
        if (colon != std::string::npos)
            req.headers.emplace(line.substr(0, colon), line.substr(colon + 1));
    }
    if (pos < rest.size())
        req.body = rest.substr(pos);
    req.client = "fuzz";
    return req;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static gwweb::WebApp app(false);
    static uint64_t now = 0;
    gwweb::Request req = parse(data, size);
    // Time moves on, so the throttle and idle rules are walked too.
    now += 1000;
    gwweb::Response r = app.handle(req, now);
    if (r.status < 100 || r.status > 599)
        __builtin_trap();

    auto cookie = req.headers.find("cookie");
    if (cookie != req.headers.end())
        (void)gwweb::cookie_value(cookie->second, gwweb::session_cookie);

    nlohmann::json j = nlohmann::json::parse(req.body, nullptr, false);
    if (!j.is_discarded()) {
        gwweb::ConfigChange change;
        std::string error;
        if (gwweb::parse_config_change(j, change, error) == gwweb::config_ok) {
            gwcfg::Configuration cfg;
            cfg.record = config_format::default_record();
            gwcfg::Changes changes;
            gwweb::apply_config_change(change, cfg, changes, error);
        }
    }
    return 0;
}
