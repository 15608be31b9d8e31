// gwwebd's API and limits, inside a box: the real program on loopback, its
// "/config", "/run" and "/dev/ram0" the box's own. The test plays gwlinkd's
// part by writing the status file itself.
#include "tests/web/http_client.h"

#include "base/base64.h"

#include "status/status_file.h"
#include "status/status_layout.h"
#include "tests/system/site.h"

#include "sim/box_client.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace
{

using nlohmann::json;
using webtest::Answer;
using webtest::http_exchange;
using webtest::request;

constexpr int port = 8080;

std::vector<uint8_t> file_bytes(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

class GwwebdApi : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        std::string why;
        ASSERT_TRUE(site::inside_isolated_box(why)) << why;
        // gwwebd runs the board's programs (fwwriter) by name.
        static bool path_set = false;
        if (!path_set) {
            std::string path = std::string(GW_BUILD_DIR) + "/bin:" + std::getenv("PATH");
            ::setenv("PATH", path.c_str(), 1);
            path_set = true;
        }
        ASSERT_EQ(std::system((site::bin("gwcfg") + " reset").c_str()), 0);
        ASSERT_NO_FATAL_FAILURE(start({}));
    }

    void start(std::vector<std::string> extra)
    {
        web_.stop();
        std::vector<std::string> argv{site::bin("gwwebd"), "--port", std::to_string(port), "--bind",
                                      "127.0.0.1"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        const size_t from = web_.line_count();
        ASSERT_EQ(web_.start(argv), 0);
        ASSERT_TRUE(web_.wait_for_line("gwwebd: listening on 127.0.0.1:8080", site::ms(10000), from))
            << web_.tail();
    }

    Answer call(const std::string &method, const std::string &path, const std::string &body = "",
                bool with_session = true, bool with_csrf = true)
    {
        std::string h;
        if (with_session && !cookie_.empty())
            h += "Cookie: " + cookie_ + "\r\n";
        if (with_csrf && !csrf_.empty())
            h += "X-CSRF-Token: " + csrf_ + "\r\n";
        return http_exchange(port, request(method, path, body, h));
    }

    Answer login(const std::string &password)
    {
        Answer a = http_exchange(port, request("POST", "/api/login", json{{"password", password}}.dump()));
        if (a.status == 200) {
            std::string set = a.header("set-cookie");
            cookie_ = set.substr(0, set.find(';'));
            csrf_ = json::parse(a.body)["csrf"];
        }
        return a;
    }

    site::Child web_;
    std::string cookie_, csrf_;
};

TEST_F(GwwebdApi, EveryCallAnswersByItsRules)
{
    struct Case {
        const char *method, *path, *body;
        bool session, csrf;
        int status;
    };
    const Case before_login[] = {
        {"GET", "/api/status", "", false, false, 401},
        {"GET", "/api/config", "", false, false, 401},
        {"PUT", "/api/config", "{}", false, false, 401},
        {"POST", "/api/logout", "{}", false, false, 401},
        {"GET", "/api/session", "", false, false, 401},
        {"GET", "/metrics", "", false, false, 401},
        {"GET", "/", "", false, false, 200},
        {"GET", "/status", "", false, false, 200},
        {"GET", "/app.js", "", false, false, 200},
        {"GET", "/nothing", "", false, false, 404},
        {"GET", "/api/nothing", "", false, false, 404},
        {"DELETE", "/api/config", "", false, false, 405},
        {"POST", "/app.css", "{}", false, false, 405},
    };
    for (const Case &c : before_login)
        EXPECT_EQ(call(c.method, c.path, c.body, c.session, c.csrf).status, c.status)
            << c.method << " " << c.path;

    Answer a = login("qzv");
    ASSERT_EQ(a.status, 200) << a.body;
    const std::string set = a.header("set-cookie");
    EXPECT_NE(set.find("HttpOnly"), std::string::npos) << set;
    EXPECT_NE(set.find("SameSite=Strict"), std::string::npos) << set;
    EXPECT_EQ(a.header("content-security-policy").find("default-src 'self'"), 0u);

    const Case after_login[] = {
        {"GET", "/api/status", "", true, false, 200},
        {"GET", "/api/config", "", true, false, 200},
        {"GET", "/api/session", "", true, false, 200},
        {"GET", "/metrics", "", true, false, 200},
        {"PUT", "/api/config", "{}", true, false, 403},
        {"POST", "/api/apply", "{}", true, false, 403},
        {"POST", "/api/password", "{}", true, false, 403},
        {"POST", "/api/firmware", "x", true, false, 403},
        {"POST", "/api/logout", "{}", true, false, 403},
        {"PUT", "/api/config", "{}", true, true, 200},
        {"POST", "/api/firmware/upgrade", "{\"confirm\":\"upgrade\"}", true, true, 409},
        {"POST", "/api/firmware/upgrade", "{}", true, true, 400},
    };
    for (const Case &c : after_login)
        EXPECT_EQ(call(c.method, c.path, c.body, c.session, c.csrf).status, c.status)
            << c.method << " " << c.path;
    // A token of another session does not pass.
    std::string mine = csrf_;
    csrf_ = std::string(64, 'a');
    EXPECT_EQ(call("PUT", "/api/config", "{}").status, 403);
    csrf_ = mine;
    EXPECT_EQ(call("POST", "/api/logout", "{}").status, 200);
    EXPECT_EQ(call("GET", "/api/status").status, 401);
}

TEST_F(GwwebdApi, WrongPasswordsAreRefusedAndSlowedDown)
{
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(login("guess" + std::to_string(i)).status, 401);
    // The fourth failure starts the waiting, after which even the right
    // password waits its turn.
    EXPECT_EQ(login("guess3").status, 401);
    Answer a = login("qzv");
    EXPECT_EQ(a.status, 429) << a.body;
    EXPECT_EQ(a.header("retry-after"), "1");
    auto deadline = site::Clock::now() + site::ms(5000);
    while (a.status == 429 && site::Clock::now() < deadline) {
        std::this_thread::sleep_for(site::ms(100));
        a = login("qzv");
    }
    EXPECT_EQ(a.status, 200) << a.body;
    for (const char *body : {"{\"password\":1}", "[]", "nonsense", "{\"password\":\"qzv\"", ""})
        EXPECT_EQ(http_exchange(port, request("POST", "/api/login", body)).status, 400) << body;
}

TEST_F(GwwebdApi, ConfigurationWritesLikeGwcfgAndBadInputChangesNothing)
{
    ASSERT_EQ(login("qzv").status, 200);
    Answer a = call("PUT", "/api/config",
                    json{{"remote_ip", "10.0.0.5"},
                         {"remote_port", 6000},
                         {"codec", "gsm"},
                         {"radio_type", "xcmp"},
                         {"remote_user", "op"},
                         {"blocked", {"bob", "eve", "bob"}}}
                        .dump());
    ASSERT_EQ(a.status, 200) << a.body;
    std::string shown;
    {
        FILE *p = ::popen((site::bin("gwcfg") + " show").c_str(), "r");
        char buf[256];
        while (std::fgets(buf, sizeof buf, p))
            shown += buf;
        ::pclose(p);
    }
    for (const char *line : {"remote_ip:10.0.0.5\n", "remote_port:6000\n", "radio_type:3\n",
                             "remote_user:op\n", "codec:gsm\n", "blocked:bob\nblocked:eve\n"})
        EXPECT_NE(shown.find(line), std::string::npos) << line << shown;
    json cfg = json::parse(call("GET", "/api/config").body);
    EXPECT_EQ(cfg["remote_port"], 6000);
    EXPECT_EQ(cfg["codec"], "gsm");
    EXPECT_EQ(cfg.count("passwd"), 0u) << "the login password is never sent out";

    const std::vector<uint8_t> main_before = file_bytes("/config/main.cfg"),
                               codec_before = file_bytes("/config/codec.cfg"),
                               blocked_before = file_bytes("/config/blocked.cfg");
    std::vector<std::string> names;
    for (int i = 0; i < 129; ++i)
        names.push_back("user" + std::to_string(i));
    struct Bad {
        std::string body;
        int status;
        const char *says;
    };
    const Bad bad[] = {
        {std::string(20000, ' '), 413, "too large"},
        {"{\"remote_port\":", 400, "not a JSON object"},
        {"[1,2]", 400, "not a JSON object"},
        {json{{"remote_port", 70000}}.dump(), 400, "remote_port"},
        {json{{"remote_port", "5555x"}}.dump(), 400, "remote_port"},
        {json{{"remote_ip", "10.0.0.300"}}.dump(), 400, "remote_ip"},
        {json{{"remote_user", std::string(32, 'u')}}.dump(), 400, "longer than 31 bytes"},
        {json{{"remote_user", std::string(5000, 'u')}}.dump(), 400, "too long"},
        {json{{"buffers", true}}.dump(), 400, "buffers: must be a text or a whole number"},
        {json{{"buffers", 2.5}}.dump(), 400, "buffers"},
        {json{{"crypto_mode", json::array()}}.dump(), 400, "crypto_mode"},
        {json{{"codec", "mp3"}}.dump(), 400, "unknown codec"},
        {json{{"nonsense", "1"}}.dump(), 400, "unknown field"},
        {json{{"passwd", "new"}}.dump(), 400, "passwd"},
        {json{{"blocked", names}}.dump(), 400, "128 names"},
        {json{{"blocked", "bob"}}.dump(), 400, "blocked"},
        {json{{"blocked", {1}}}.dump(), 400, "blocked"},
        {json{{"remote_port", 5000}, {"radio_type", "tetra9"}}.dump(), 400, "radio type"},
        {"{\"remote_user\":\"\\u0000x\"}", 400, "NUL"},
    };
    for (const Bad &b : bad) {
        Answer r = call("PUT", "/api/config", b.body);
        EXPECT_EQ(r.status, b.status) << b.body.substr(0, 80);
        EXPECT_NE(r.body.find(b.says), std::string::npos) << r.body.substr(0, 200);
        json e = json::parse(r.body, nullptr, false);
        EXPECT_TRUE(e.is_object() && e.contains("error")) << r.body.substr(0, 200);
    }
    EXPECT_EQ(file_bytes("/config/main.cfg"), main_before);
    EXPECT_EQ(file_bytes("/config/codec.cfg"), codec_before);
    EXPECT_EQ(file_bytes("/config/blocked.cfg"), blocked_before);
    // No temporary was left behind by any of them.
    EXPECT_EQ(std::system("ls -A /config | grep -q gwcfg-"), 256);
}

TEST_F(GwwebdApi, PasswordChangeEndsEverySessionOpenedBeforeIt)
{
    ASSERT_EQ(login("qzv").status, 200);
    const std::string old_cookie = cookie_, old_csrf = csrf_;
    EXPECT_EQ(call("POST", "/api/password", json{{"current", "wrong"}, {"new", "s3cret"}}.dump()).status,
              400);
    EXPECT_EQ(
        call("POST", "/api/password", json{{"current", "qzv"}, {"new", std::string(32, 'x')}}.dump()).status,
        400);
    EXPECT_EQ(call("POST", "/api/password", json{{"current", "qzv"}, {"new", ""}}.dump()).status, 400);
    EXPECT_EQ(call("GET", "/api/status").status, 200) << "a refused change ends nothing";
    Answer a = call("POST", "/api/password", json{{"current", "qzv"}, {"new", "s3cret"}}.dump());
    ASSERT_EQ(a.status, 200) << a.body;
    EXPECT_EQ(call("GET", "/api/status").status, 401);
    EXPECT_EQ(call("PUT", "/api/config", "{}").status, 401);
    EXPECT_EQ(login("qzv").status, 401);
    EXPECT_EQ(login("s3cret").status, 200);
    EXPECT_NE(cookie_, old_cookie);
    cookie_ = old_cookie;
    csrf_ = old_csrf;
    EXPECT_EQ(call("GET", "/api/config").status, 401);
}

TEST_F(GwwebdApi, StatusAndMetricsComeFromTheDaemonsStatusFile)
{
    ASSERT_EQ(login("qzv").status, 200);
    json s = json::parse(call("GET", "/api/status").body);
    EXPECT_EQ(s["running"], false);

    gw_status::StatusMap map;
    ASSERT_EQ(map.open_for_writing(gw_status::status_path), 0);
    gw_status::status_record r;
    r.pid = static_cast<uint32_t>(::getpid());
    r.radio_type = 3;
    r.codec = 2;
    r.link_state = 3;
    r.server_ip = inet_addr("127.0.0.1");
    r.server_port = 5556;
    r.connect_attempts = 3;
    r.logins = 2;
    r.ptt = 1;
    r.tx_packets = 150;
    r.rx_packets = 90;
    r.rx_lost = 2;
    r.jitter_depth = 3;
    r.jitter_capacity = 8;
    r.volume = 45;
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    r.written_mono_ms = static_cast<uint32_t>(ts.tv_sec * 1000 + ts.tv_nsec / 1000000);
    uint8_t raw[gw_status::record_size];
    gw_status::encode(r, raw);
    map.publish(raw);
    const std::string line = "control_xcmp: logged in, remote rtp port: 8000 <&>\n";
    map.append_log(line.data(), line.size());

    s = json::parse(call("GET", "/api/status").body);
    EXPECT_EQ(s["running"], true);
    EXPECT_EQ(s["link"]["state"], "logged in");
    EXPECT_EQ(s["link"]["server"], "127.0.0.1:5556");
    EXPECT_EQ(s["link"]["reconnects"], 2);
    EXPECT_EQ(s["radio"], "xcmp");
    EXPECT_EQ(s["codec"], "gsm");
    EXPECT_EQ(s["ptt"], true);
    EXPECT_EQ(s["voice"]["lost"], 2);
    EXPECT_EQ(s["log"].back(), "control_xcmp: logged in, remote rtp port: 8000 <&>");

    // Scrapers authenticate with the device password, or need no login with
    // --metrics-open.
    const std::string basic =
        "Authorization: Basic " + base64_encode(reinterpret_cast<const uint8_t *>("x:qzv"), 5) + "\r\n";
    Answer m = http_exchange(port, request("GET", "/metrics", "", basic));
    ASSERT_EQ(m.status, 200);
    EXPECT_NE(m.body.find("gwlink_link_up 1\n"), std::string::npos) << m.body;
    EXPECT_NE(m.body.find("gwlink_voice_packets_total{direction=\"in\",fate=\"lost\"} 2\n"),
              std::string::npos);
    EXPECT_NE(m.body.find("gwlink_jitter_depth_packets 3\n"), std::string::npos);
    EXPECT_EQ(m.header("content-type").find("text/plain; version=0.0.4"), 0u);
    {
        std::ofstream("/run/metrics.txt") << m.body;
        std::string out;
        FILE *p = ::popen("promtool check metrics < /run/metrics.txt 2>&1", "r");
        ASSERT_NE(p, nullptr);
        char buf[512];
        while (std::fgets(buf, sizeof buf, p))
            out += buf;
        EXPECT_EQ(::pclose(p), 0) << out;
        EXPECT_EQ(out, "") << "promtool's findings";
    }
    EXPECT_EQ(
        http_exchange(port, request("GET", "/metrics", "", "Authorization: Basic eDp3cm9uZw==\r\n")).status,
        401);
    ASSERT_NO_FATAL_FAILURE(start({"--metrics-open"}));
    EXPECT_EQ(http_exchange(port, request("GET", "/metrics")).status, 200) << web_.tail();
}

TEST_F(GwwebdApi, HostileRequestsGetAClearRefusalAndTheServerStaysUp)
{
    struct Raw {
        const char *what;
        std::string bytes;
        int lo, hi;
    };
    const std::string big_header =
        "GET / HTTP/1.1\r\nHost: x\r\nX-Pad: " + std::string(40000, 'p') + "\r\n\r\n";
    const std::string huge_body =
        "PUT /api/config HTTP/1.1\r\nHost: x\r\nContent-Length: 1000000000\r\n\r\n{";
    const Raw raws[] = {
        {"dot-dot path", "GET /../etc/passwd HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n", 404, 404},
        {"encoded dot-dot", "GET /%2e%2e/%2e%2e/etc/passwd HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n",
         404, 404},
        {"dot-dot into the api", "GET /static/../api/status HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n",
         401, 404},
        {"asset with a tail",
         "GET /app.js/../../config/main.cfg HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n", 404, 404},
        {"long header", big_header, 400, 499},
        {"huge declared body", huge_body, 413, 413},
        {"garbage", std::string("\x16\x03\x01\x02\x00 nonsense\r\n\r\n", 18), 400, 499},
    };
    for (const Raw &r : raws) {
        Answer a = http_exchange(port, r.bytes);
        EXPECT_GE(a.status, r.lo) << r.what;
        EXPECT_LE(a.status, r.hi) << r.what;
    }
    // Idle connections beyond the limit are turned away; the server answers
    // again once they are gone.
    std::vector<int> idle;
    for (int i = 0; i < 20; ++i)
        idle.push_back(webtest::connect_to(port));
    for (int fd : idle)
        if (fd >= 0)
            ::close(fd);
    auto deadline = site::Clock::now() + site::ms(10000);
    Answer ok;
    while (ok.status != 200 && site::Clock::now() < deadline)
        ok = http_exchange(port, request("GET", "/app.css"));
    EXPECT_EQ(ok.status, 200);
    EXPECT_TRUE(web_.running());
}

std::string command_output(const std::string &command)
{
    std::string out;
    FILE *p = ::popen(command.c_str(), "r");
    if (p == nullptr)
        return out;
    char buf[512];
    while (std::fgets(buf, sizeof buf, p))
        out += buf;
    ::pclose(p);
    return out;
}

TEST_F(GwwebdApi, TlsServesTheSameApiAndMarksTheCookieSecure)
{
    ASSERT_EQ(std::system("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 "
                          "-subj /CN=gateway -keyout /run/key.pem -out /run/cert.pem 2>/dev/null"),
              0);
    ASSERT_NO_FATAL_FAILURE(start({"--tls-cert", "/run/cert.pem", "--tls-key", "/run/key.pem"}));
    const std::string out = command_output("curl -sk -i -H 'Content-Type: application/json' "
                                           "-d '{\"password\":\"qzv\"}' https://127.0.0.1:8080/api/login");
    EXPECT_EQ(out.compare(0, 15, "HTTP/1.1 200 OK"), 0) << out;
    EXPECT_NE(out.find("HttpOnly; SameSite=Strict; Secure"), std::string::npos) << out;
    // Plain HTTP on the TLS port gets no answer.
    EXPECT_EQ(http_exchange(port, request("GET", "/app.css")).status, -1);
}

TEST_F(GwwebdApi, FirmwareUploadShowsTheCheckersVerdictAndWritesNoFlash)
{
    ASSERT_EQ(login("qzv").status, 200);
    auto upload = [&](const std::string &image) {
        std::string h =
            "Cookie: " + cookie_ + "\r\nX-CSRF-Token: " + csrf_ +
            "\r\nContent-Type: application/octet-stream\r\nContent-Length: " + std::to_string(image.size()) +
            "\r\n";
        return http_exchange(port, "POST /api/firmware HTTP/1.1\r\nHost: x\r\nConnection: close\r\n" + h +
                                       "\r\n" + image);
    };
    Answer a = upload(std::string(4096, 'Z'));
    EXPECT_EQ(a.status, 422) << a.body;
    json j = json::parse(a.body);
    EXPECT_EQ(j["ok"], false);
    EXPECT_NE(j["verdict"].get<std::string>().find("invalid hdr.name"), std::string::npos) << a.body;
    EXPECT_EQ(call("POST", "/api/firmware/upgrade", "{\"confirm\":\"upgrade\"}").status, 409);

    // Larger than the RAM disk: refused before it is sent, or while it
    // streams when no length was given.
    a = upload(std::string(2 * 1024 * 1024, 'Z'));
    EXPECT_EQ(a.status, 413) << a.body;
    std::string chunked =
        "POST /api/firmware HTTP/1.1\r\nHost: x\r\nConnection: close\r\nCookie: " + cookie_ +
        "\r\nX-CSRF-Token: " + csrf_ + "\r\nTransfer-Encoding: chunked\r\n\r\n";
    for (int i = 0; i < 40; ++i)
        chunked += "8000\r\n" + std::string(0x8000, 'Z') + "\r\n";
    a = http_exchange(port, chunked + "0\r\n\r\n");
    EXPECT_EQ(a.status, 413) << a.body;

    // A good header with empty parts passes; only the confirmed upgrade
    // would write, and it is not asked for here.
    std::string good(36, '\0');
    good.replace(0, 7, "DovGWIM");
    good[8] = 3;
    good[14] = 1;
    a = upload(good);
    EXPECT_EQ(a.status, 200) << a.body;
    EXPECT_NE(a.body.find("upgrade looks fine"), std::string::npos) << a.body;

    boardbox::Client box;
    ASSERT_EQ(box.connect_inside(), 0);
    boardbox::FlashState flash;
    ASSERT_EQ(box.flash_state(flash), 0);
    for (const boardbox::MtdPartition &p : flash.partitions) {
        EXPECT_EQ(p.erases, 0u) << p.device;
        EXPECT_EQ(p.writes, 0u) << p.device;
    }
}

} // namespace
