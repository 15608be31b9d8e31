#include "control/roipsrv_conn.h"

#include "control/xml_messages.h"
#include "wire/xml_frame.h"

#include <pugixml.hpp>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>

namespace
{

constexpr int socket_timeout = 15;
constexpr int retry_pause = 3;
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
                                       const std::string &user, const std::string &passwd, int rtp_port)
    : host(host), port(port), user(user), passwd(passwd), rtp_port(rtp_port), callback(std::move(callback)),
      conn(this->host.c_str(), this->port, socket_timeout, -1), buffer(xml_frame::max_text + 1)
{
}

class_roipsrv_conn::~class_roipsrv_conn()
{
    {
        std::lock_guard<std::mutex> lock(stop_mutex);
        stop = true;
    }
    stop_cv.notify_all();
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

bool class_roipsrv_conn::read_frame(std::string &text)
{
    uint8_t header[xml_frame::header_size];
    if (conn.read(header, sizeof header) != static_cast<int>(sizeof header))
        return false;
    uint32_t length = xml_frame::decode_length(header);
    if (length > xml_frame::max_text)
        return false;
    int n = static_cast<int>(length);
    if (conn.read(buffer.data(), n) != n)
        return false;
    text.assign(buffer.data(), length);
    return true;
}

void class_roipsrv_conn::run()
{
    while (!stop) {
        // The stop check after connect closes the window in which the
        // destructor's close ran before the new socket existed.
        if (conn.connect() != 0 || stop) {
            conn.close();
            if (!pause(retry_pause))
                return;
            continue;
        }
        {
            std::lock_guard<std::mutex> lock(mutex);
            connected = 1;
        }
        notify(":connected");
        xml_LoginReq(this, user, passwd, rtp_port);

        std::string text;
        while (!stop && read_frame(text)) {
            if (is_keepalive(text))
                send_text(keepalive_reply);
            else
                notify(text);
        }

        {
            std::lock_guard<std::mutex> lock(mutex);
            connected = 0;
            conn.close();
        }
        notify(":disconnected");
        if (!pause(retry_pause))
            return;
    }
}

int class_roipsrv_conn::send_text(const std::string &text)
{
    if (text.size() > static_cast<size_t>(INT_MAX))
        return -1;
    uint8_t header[xml_frame::header_size];
    xml_frame::encode_header(static_cast<uint32_t>(text.size()), header);
    std::lock_guard<std::mutex> lock(mutex);
    if (connected != 1)
        return -1;
    int sent = 0;
    if (conn.write_counted(header, sizeof header, sent) < 0) {
        // Nothing of the frame went out: the stream is still in step, and a
        // broken connection is the reader's to notice.
        if (sent > 0)
            conn.close();
        return -1;
    }
    if (conn.write(text.data(), static_cast<int>(text.size())) < 0) {
        // Part of the frame has gone out: every later frame would be read out
        // of step. Dropping the connection makes the reader reconnect and log
        // in afresh.
        conn.close();
        return -1;
    }
    return 0;
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
