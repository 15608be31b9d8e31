#include "control/roipsrv_conn.h"

#include "control/xml_messages.h"
#include "status/live_status.h"
#include "wire/xml_frame.h"

#include <arpa/inet.h>
#include <pugixml.hpp>

#include <arpa/inet.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>

namespace
{

constexpr int socket_timeout = 15;
constexpr int retry_pause = 3;
// With a backup server, a server that keeps the connection but does not
// answer the login within this time counts as a failed attempt.
constexpr std::chrono::seconds login_wait{15};
const char keepalive_reply[] = "<KeepaliveReq />";

char lower(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// The server's keep-alive is recognised by its element name followed by a
// blank, in any letter case, anywhere in the text.
bool is_keepalive(const std::string &text)
{
    static const std::string needle = "<keepaliveev ";
    return std::search(text.begin(), text.end(), needle.begin(), needle.end(),
                       [](char a, char b) { return lower(a) == b; }) != text.end();
}

} // namespace

class_roipsrv_conn::class_roipsrv_conn(callback_t callback, const std::string &host, int port,
                                       const std::string &user, const std::string &passwd, int rtp_port,
                                       const BackupServer &backup)
    : host(host), port(port), user(user), passwd(passwd), rtp_port(rtp_port), callback(std::move(callback)),
      conn(this->host.c_str(), this->port, socket_timeout, -1), buffer(xml_frame::max_text + 1),
      session_addr(inet_addr(host.c_str()))
{
    ServerChoice::Hooks hooks;
    if (backup.addr != 0) {
        probe = std::make_unique<c_connection_tcp>(this->host.c_str(), this->port, socket_timeout, -1);
        hooks.probe = [this](const ServerAddress &server) { return probe_login(server); };
        hooks.abort_probe = [this] { probe->close(); };
        hooks.leave_backup = [this] { leave_session(); };
    }
    choice = std::make_unique<ServerChoice>(host, port, backup, std::move(hooks));
}

class_roipsrv_conn::~class_roipsrv_conn()
{
    {
        std::lock_guard<std::mutex> lock(stop_mutex);
        stop = true;
    }
    stop_cv.notify_all();
    // No probe runs or starts after this; the connection thread may still
    // ask the choice until it is joined below.
    choice->stop();
    // A pending connect or read on the connection thread fails at once.
    conn.close();
    if (thread.joinable())
        thread.join();
}

int class_roipsrv_conn::start_thr()
{
    if (thread.joinable())
        return -1;
    try {
        thread = std::thread([this] { run(); });
    } catch (...) {
        return -1;
    }
    return 0;
}

bool class_roipsrv_conn::pause(int seconds)
{
    std::unique_lock<std::mutex> lock(stop_mutex);
    stop_cv.wait_for(lock, std::chrono::seconds(seconds), [this] { return stop.load(); });
    return !stop;
}

void class_roipsrv_conn::notify(const std::string &text)
{
    if (!stop && callback)
        callback(text);
}

bool class_roipsrv_conn::read_frame(c_connection_tcp &from, std::vector<char> &buf, std::string &text)
{
    uint8_t header[xml_frame::header_size];
    if (from.read(header, sizeof header) != static_cast<int>(sizeof header))
        return false;
    uint32_t length = xml_frame::decode_length(header);
    if (length > xml_frame::max_text)
        return false;
    int n = static_cast<int>(length);
    if (from.read(buf.data(), n) != n)
        return false;
    text.assign(buf.data(), length);
    return true;
}

void class_roipsrv_conn::run()
{
    while (!stop) {
        const ServerAddress server = choice->next();
        {
            std::lock_guard<std::mutex> lock(mutex);
            conn.set_peer(server.addr, server.port);
            session_addr = server.addr;
        }
        gw_status::note_connecting(server.addr, static_cast<uint32_t>(server.port), server.backup);
        // The stop check after connect closes the window in which the
        // destructor's close ran before the new socket existed.
        if (conn.connect() != 0 || stop) {
            gw_status::note_link_down();
            conn.close();
            if (!stop && choice->attempt_failed())
                continue; // the other server, at once
            if (!pause(retry_pause))
                return;
            continue;
        }
        {
            std::lock_guard<std::mutex> lock(mutex);
            connected = 1;
            ptt_keyed = false;
        }
        gw_status::note_connected();
        notify(":connected");
        xml_LoginReq(this, user, passwd, rtp_port);

        bool logged_in = false;
        const auto connected_at = std::chrono::steady_clock::now();
        std::string text;
        while (!stop && read_frame(conn, buffer, text)) {
            if (is_keepalive(text)) {
                send_text(keepalive_reply);
            } else {
                if (!logged_in && text.find("LoginPosResp") != std::string::npos &&
                    message_key(text) == "LoginPosResp") {
                    logged_in = true;
                    choice->logged_in();
                }
                notify(text);
            }
            if (!logged_in && choice->has_backup() &&
                std::chrono::steady_clock::now() - connected_at > login_wait)
                break;
        }

        {
            std::lock_guard<std::mutex> lock(mutex);
            connected = 0;
            conn.close();
        }
        gw_status::note_link_down();
        notify(":disconnected");
        // A session left for the other server is followed by the login
        // there without the pause, so the gap is the switch itself.
        bool at_once = false;
        if (logged_in)
            at_once = choice->session_ended();
        else if (!stop)
            at_once = choice->attempt_failed();
        if (at_once && !stop)
            continue;
        if (!pause(retry_pause))
            return;
    }
}

bool class_roipsrv_conn::write_frame(const std::string &text)
{
    uint8_t header[xml_frame::header_size];
    xml_frame::encode_header(static_cast<uint32_t>(text.size()), header);
    int sent = 0;
    if (conn.write_counted(header, sizeof header, sent) < 0) {
        // Nothing of the frame went out: the stream is still in step, and a
        // broken connection is the reader's to notice.
        if (sent > 0)
            conn.close();
        return false;
    }
    if (conn.write(text.data(), static_cast<int>(text.size())) < 0) {
        // Part of the frame has gone out: every later frame would be read out
        // of step. Dropping the connection makes the reader reconnect and log
        // in afresh.
        conn.close();
        return false;
    }
    return true;
}

int class_roipsrv_conn::send_text(const std::string &text)
{
    if (text.size() > static_cast<size_t>(INT_MAX))
        return -1;
    std::lock_guard<std::mutex> lock(mutex);
    if (connected != 1)
        return -1;
    if (!write_frame(text))
        return -1;
    // The two PTT requests are fixed texts; what the last one asked for is
    // released before a deliberate move to another server.
    if (text.size() < 32 && text.compare(0, 10, "<SetPttReq") == 0) {
        if (text == xml_text::SetPttReq(1))
            ptt_keyed = true;
        else if (text == xml_text::SetPttReq(0))
            ptt_keyed = false;
    }
    return 0;
}

uint32_t class_roipsrv_conn::server_address()
{
    std::lock_guard<std::mutex> lock(mutex);
    return session_addr;
}

ServerAddress class_roipsrv_conn::server_in_use()
{
    return choice->in_use();
}

bool class_roipsrv_conn::probe_login(const ServerAddress &server)
{
    if (stop)
        return false;
    probe->set_peer(server.addr, server.port);
    bool accepted = false;
    if (probe->connect() == 0 && !stop) {
        const std::string req = xml_text::LoginReq(user, passwd, rtp_port);
        uint8_t header[xml_frame::header_size];
        xml_frame::encode_header(static_cast<uint32_t>(req.size()), header);
        if (probe->write(header, sizeof header) >= 0 &&
            probe->write(req.data(), static_cast<int>(req.size())) >= 0) {
            std::vector<char> buf(xml_frame::max_text + 1);
            std::string text;
            const auto deadline = std::chrono::steady_clock::now() + login_wait;
            // Keep-alives and whatever else may come first are passed over.
            while (!stop && std::chrono::steady_clock::now() < deadline && read_frame(*probe, buf, text)) {
                if (is_keepalive(text))
                    continue;
                const std::string k = message_key(text);
                if (k == "LoginPosResp") {
                    accepted = true;
                    break;
                }
                if (k.compare(0, 8, "NegResp/") == 0)
                    break;
            }
        }
    }
    probe->close();
    return accepted;
}

void class_roipsrv_conn::leave_session()
{
    std::lock_guard<std::mutex> lock(mutex);
    if (connected == 1 && ptt_keyed) {
        // The server being left must not go on holding the radio keyed.
        write_frame(xml_text::SetPttReq(0));
        ptt_keyed = false;
    }
    // The connection thread's read fails; it asks for the next server.
    conn.close();
}

std::string class_roipsrv_conn::message_key(const std::string &text)
{
    if (text.empty())
        return ":err";
    if (text[0] == ':')
        return text;
    pugi::xml_document doc;
    if (!doc.load_buffer(text.data(), text.size()))
        return ":err";
    pugi::xml_node root = doc.document_element();
    const std::string name = root.name();
    if (name == "NegResp" || name == "PosResp")
        return name + "/" + root.attribute("req").value();
    if (name == "XCMPEvent" || name == "TEvent" || name == "NXEvent")
        return name + "/" + root.first_child().name();
    return name;
}
