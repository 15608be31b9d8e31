#include "web/web_app.h"

#include "web/assets.h"
#include "web/config_api.h"
#include "web/run_program.h"

#include "gateway/config_record.h"
#include "status/status_layout.h"

#include "base/base64.h"

#include <nlohmann/json.hpp>

namespace gwweb
{

namespace
{

using nlohmann::json;

std::string dump(const json &j)
{
    // Log lines may hold any bytes: never let them stop the answer.
    return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string header(const Request &req, const char *name)
{
    auto it = req.headers.find(name);
    return it == req.headers.end() ? std::string() : it->second;
}

// A JSON object body, or null with `refusal` set.
bool parse_object(const Request &req, json &out, Response &refusal)
{
    if (req.body.size() > max_json_body) {
        refusal = error_response(413, "the request body is too large");
        return false;
    }
    out = json::parse(req.body, nullptr, false);
    if (out.is_discarded() || !out.is_object()) {
        refusal = error_response(400, "the request body is not a JSON object");
        return false;
    }
    return true;
}

// A text member of a parsed object, or false with `refusal` set.
bool text_member(const json &obj, const char *name, std::string &out, Response &refusal)
{
    auto it = obj.find(name);
    if (it == obj.end() || !it->is_string()) {
        refusal = error_response(400, std::string(name) + ": a text is required");
        return false;
    }
    out = it->get<std::string>();
    if (out.size() > 64) {
        refusal = error_response(400, std::string(name) + ": too long");
        return false;
    }
    return true;
}

std::string cookie_header(const std::string &token, bool tls)
{
    return std::string(session_cookie) + "=" + token + "; Path=/; HttpOnly; SameSite=Strict" +
           (tls ? "; Secure" : "") + (token.empty() ? "; Max-Age=0" : "");
}

json status_json(const StatusView &s)
{
    json j = json::object();
    j["running"] = s.running;
    j["present"] = s.present;
    j["age_ms"] = s.age_ms;
    if (!s.present)
        return j;
    const gw_status::status_record &r = s.record;
    j["pid"] = r.pid;
    j["started_unix"] = r.started_unix;
    j["radio_type"] = r.radio_type;
    static const char *const radios[] = {"gm360", "dm3000", "xcmp", "mtetra", "nx5xxx", "nx700"};
    static const char *const codecs[] = {"alaw", "gsm", "speex"};
    j["radio"] = r.radio_type >= 1 && r.radio_type <= 6 ? radios[r.radio_type - 1] : "unknown";
    j["codec"] = r.codec >= 1 && r.codec <= 3 ? codecs[r.codec - 1] : "unknown";
    j["crypto_mode"] = r.crypto_mode;
    j["link"] = {{"state", gw_status::link_state_name(r.link_state)},
                 {"server", config_format::dotted(r.server_ip) + ":" + std::to_string(r.server_port)},
                 {"since_s", r.link_age_s},
                 {"connect_attempts", r.connect_attempts},
                 {"reconnects", r.connect_attempts > 0 ? r.connect_attempts - 1 : 0},
                 {"logins", r.logins},
                 {"losses", r.link_losses},
                 {"server_in_use", r.server_in_use ? "backup" : "main"}};
    j["ptt"] = r.ptt != 0;
    j["server_ptt"] = r.remote_ptt != 0;
    j["squelch"] = r.squelch;
    char gpio[16];
    std::snprintf(gpio, sizeof gpio, "0x%08X", r.gpio);
    j["gpio"] = gpio;
    j["voice"] = {{"sent", r.tx_packets},
                  {"received", r.rx_packets},
                  {"late", r.rx_late},
                  {"lost", r.rx_lost},
                  {"dropped", r.rx_dropped},
                  {"jitter_depth", r.jitter_depth},
                  {"jitter_capacity", r.jitter_capacity},
                  {"underruns", r.underruns},
                  {"alarm", r.voice_alarm != 0}};
    j["amplifier"] = {{"volume", r.volume}, {"muted", r.amp_muted != 0}};
    if (r.speaker_level <= 100)
        j["speaker_level"] = r.speaker_level;
    if (r.mic_level <= 100)
        j["mic_level"] = r.mic_level;
    j["log"] = s.log;
    return j;
}

} // namespace

Response json_response(int status, const std::string &body)
{
    Response r;
    r.status = status;
    r.body = body;
    return r;
}

Response error_response(int status, const std::string &message)
{
    return json_response(status, dump(json{{"error", message}}));
}

std::string cookie_value(const std::string &header, const std::string &name)
{
    size_t pos = 0;
    while (pos < header.size()) {
        size_t end = header.find(';', pos);
        if (end == std::string::npos)
            end = header.size();
        size_t b = pos;
        while (b < end && (header[b] == ' ' || header[b] == '\t'))
            ++b;
        size_t eq = header.find('=', b);
        if (eq != std::string::npos && eq < end && header.compare(b, eq - b, name) == 0 &&
            eq - b == name.size())
            return header.substr(eq + 1, end - eq - 1);
        pos = end + 1;
    }
    return std::string();
}

const SessionStore::Session *WebApp::session_of(const Request &req, uint64_t now_ms)
{
    return sessions_.find(cookie_value(header(req, "cookie"), session_cookie), now_ms);
}

bool WebApp::allowed_change(const Request &req, uint64_t now_ms, Response &refusal)
{
    const SessionStore::Session *s = session_of(req, now_ms);
    if (s == nullptr) {
        refusal = error_response(401, "log in first");
        return false;
    }
    if (!constant_time_equal(header(req, csrf_header), s->csrf)) {
        refusal = error_response(403, "the CSRF token is missing or wrong");
        return false;
    }
    return true;
}

Response WebApp::login(const Request &req, uint64_t now_ms)
{
    const uint64_t wait = throttle_.wait_ms(req.client, now_ms);
    if (wait > 0) {
        Response r =
            error_response(429, "too many failed logins: wait " + std::to_string((wait + 999) / 1000) + " s");
        r.headers.emplace_back("Retry-After", std::to_string((wait + 999) / 1000));
        return r;
    }
    json body;
    Response refusal;
    std::string given;
    if (!parse_object(req, body, refusal) || !text_member(body, "password", given, refusal))
        return refusal;
    std::string passwd, error;
    if (read_local_password(passwd, error) != 0)
        return error_response(500, error);
    if (!constant_time_equal(given, passwd)) {
        throttle_.failed(req.client, now_ms);
        ++counters_.logins_failed;
        return error_response(401, "wrong password");
    }
    throttle_.succeeded(req.client);
    const SessionStore::Session *s = sessions_.create(now_ms);
    if (s == nullptr)
        return error_response(500, "no random numbers for a session");
    ++counters_.logins_ok;
    Response r = json_response(200, dump(json{{"csrf", s->csrf}}));
    r.headers.emplace_back("Set-Cookie", cookie_header(s->token, req.tls));
    return r;
}

Response WebApp::status()
{
    return json_response(200, dump(status_json(status_.read())));
}

Response WebApp::metrics(const Request &req, uint64_t now_ms)
{
    bool allowed = metrics_open_ || session_of(req, now_ms) != nullptr;
    if (!allowed) {
        // A scraper cannot log in: HTTP basic authentication with the device
        // password (any user name) does instead.
        const std::string auth = header(req, "authorization");
        std::string passwd, error;
        if (auth.compare(0, 6, "Basic ") == 0 && auth.size() < 512 &&
            read_local_password(passwd, error) == 0 && throttle_.wait_ms(req.client, now_ms) == 0) {
            const std::string pair = base64_decode(auth.substr(6));
            const size_t colon = pair.find(':');
            allowed = colon != std::string::npos && constant_time_equal(pair.substr(colon + 1), passwd);
            if (!allowed)
                throttle_.failed(req.client, now_ms);
        }
    }
    if (!allowed) {
        Response r = error_response(401, "log in, or give the device password by basic authentication");
        r.headers.emplace_back("WWW-Authenticate", "Basic realm=\"gwwebd\"");
        return r;
    }
    Response r;
    r.content_type = "text/plain; version=0.0.4; charset=utf-8";
    r.body = metrics_text(status_.read(), counters_);
    return r;
}

Response WebApp::api(const Request &req, uint64_t now_ms)
{
    const std::string &p = req.path;
    const bool get = req.method == "GET" || req.method == "HEAD";
    const bool change = req.method == "POST" || req.method == "PUT";
    struct route {
        const char *path;
        const char *method;
    };
    static const route routes[] = {{"/api/login", "POST"},    {"/api/logout", "POST"},
                                   {"/api/session", "GET"},   {"/api/status", "GET"},
                                   {"/api/config", "GET"},    {"/api/config", "PUT"},
                                   {"/api/apply", "POST"},    {"/api/password", "POST"},
                                   {"/api/firmware", "POST"}, {"/api/firmware/upgrade", "POST"}};
    bool known = false, method_ok = false;
    for (const route &r : routes) {
        if (p == r.path) {
            known = true;
            method_ok |= req.method == r.method || (req.method == "HEAD" && std::string(r.method) == "GET");
        }
    }
    if (!known)
        return error_response(404, "no such API call");
    if (!method_ok)
        return error_response(405, "method not allowed here");

    if (p == "/api/login")
        return login(req, now_ms);
    Response refusal;
    if (get) {
        const SessionStore::Session *s = session_of(req, now_ms);
        if (s == nullptr)
            return error_response(401, "log in first");
        if (p == "/api/session")
            return json_response(200, dump(json{{"csrf", s->csrf}}));
        if (p == "/api/status")
            return status();
        json cfg;
        std::string error;
        if (read_config_json(cfg, error) != 0)
            return error_response(500, error);
        return json_response(200, dump(cfg));
    }
    if (!change || !allowed_change(req, now_ms, refusal))
        return refusal;

    if (p == "/api/logout") {
        sessions_.end(cookie_value(header(req, "cookie"), session_cookie));
        Response r = json_response(200, "{\"ok\":true}");
        r.headers.emplace_back("Set-Cookie", cookie_header("", req.tls));
        return r;
    }
    if (p == "/api/apply") {
        // gwlinkd's own restart: the board's init (or whoever started it)
        // brings it back with the new files.
        std::string output;
        int rc = run_program({"killall", "gwlinkd"}, output);
        if (rc != 0)
            return error_response(500,
                                  "cannot restart gwlinkd: " + (output.empty() ? "killall failed" : output));
        return json_response(200, "{\"ok\":true}");
    }
    if (p == "/api/firmware/upgrade") {
        json body;
        if (!parse_object(req, body, refusal))
            return refusal;
        auto c = body.find("confirm");
        if (c == body.end() || !c->is_string() || c->get<std::string>() != "upgrade")
            return error_response(400, "confirm: must be \"upgrade\"");
        std::string error;
        if (firmware_.upgrade(error) != 0)
            return error_response(409, error);
        return json_response(202, "{\"ok\":true,\"rebooting\":true}");
    }
    if (p == "/api/firmware")
        return error_response(400, "the image must be sent as the request body");

    json body;
    if (!parse_object(req, body, refusal))
        return refusal;
    std::string error;
    if (p == "/api/password") {
        std::string current, next;
        if (!text_member(body, "current", current, refusal) || !text_member(body, "new", next, refusal))
            return refusal;
        int rc = change_local_password(current, next, error);
        if (rc != config_ok)
            return error_response(rc == config_bad_value ? 400 : 500, error);
        // Every session, this one too, was opened with the old password.
        sessions_.end_all();
        Response r = json_response(200, "{\"ok\":true}");
        r.headers.emplace_back("Set-Cookie", cookie_header("", req.tls));
        return r;
    }
    int rc = write_config_json(body, error);
    if (rc != config_ok)
        return error_response(rc == config_bad_value ? 400 : 500, error);
    return json_response(200, "{\"ok\":true}");
}

Response WebApp::handle(const Request &req, uint64_t now_ms)
{
    if (req.path.compare(0, 5, "/api/") == 0)
        return api(req, now_ms);
    if (req.path == "/metrics") {
        if (req.method != "GET" && req.method != "HEAD")
            return error_response(405, "method not allowed here");
        return metrics(req, now_ms);
    }
    const Asset *a = find_asset(req.path);
    if (a == nullptr)
        return error_response(404, "not found");
    if (req.method != "GET" && req.method != "HEAD")
        return error_response(405, "method not allowed here");
    Response r;
    r.content_type = a->content_type;
    r.body.assign(reinterpret_cast<const char *>(a->data), a->size);
    return r;
}

bool WebApp::is_upload(const Request &req)
{
    return req.method == "POST" && req.path == "/api/firmware";
}

bool WebApp::upload_begin(const Request &req, uint64_t declared_length, uint64_t now_ms, Response &refusal)
{
    if (!allowed_change(req, now_ms, refusal))
        return false;
    std::string error;
    if (firmware_.begin(error) != 0) {
        refusal = error_response(500, error);
        return false;
    }
    if (declared_length > firmware_.capacity()) {
        firmware_.abandon();
        refusal = error_response(413, "the image is larger than the RAM disk (" +
                                          std::to_string(firmware_.capacity()) + " bytes)");
        return false;
    }
    return true;
}

bool WebApp::upload_data(const char *data, size_t length, Response &refusal)
{
    std::string error;
    if (firmware_.write(data, length, error) != 0) {
        refusal = error_response(413, error);
        return false;
    }
    return true;
}

Response WebApp::upload_end()
{
    if (!firmware_.uploading())
        return error_response(400, "no upload under way");
    if (firmware_.received() == 0) {
        firmware_.abandon();
        return error_response(400, "the upload was empty");
    }
    std::string verdict, error;
    const uint64_t size = firmware_.received();
    int rc = firmware_.finish(verdict, error);
    json j{{"ok", rc == 0}, {"size", size}, {"verdict", verdict}};
    if (rc != 0)
        j["error"] = error;
    return json_response(rc == 0 ? 200 : 422, dump(j));
}

} // namespace gwweb
