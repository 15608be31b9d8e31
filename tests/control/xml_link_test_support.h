// Test support for the XML server link: frames on a fake server's connection
// and a recorder of the texts the link hands to its callback.
#pragma once

#include "control/roipsrv_conn.h"
#include "wire/xml_frame.h"

#include "tests/link/link_test_support.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace xmltest
{

using linktest::Bytes;
using linktest::Clock;
using linktest::FakeServer;
using linktest::generous;
using linktest::Peer;

inline Bytes frame(const std::string &text)
{
    std::string f = xml_frame::encode(text);
    return Bytes(f.begin(), f.end());
}

inline Bytes header(uint32_t length)
{
    Bytes h(xml_frame::header_size);
    xml_frame::encode_header(length, h.data());
    return h;
}

// One whole frame from the client, or nothing on end of stream or time-out.
inline std::optional<std::string> read_frame(Peer &peer, std::chrono::seconds t = generous)
{
    auto h = peer.recv(xml_frame::header_size, t);
    if (!h)
        return std::nullopt;
    uint32_t length = xml_frame::decode_length(h->data());
    if (length == 0)
        return std::string();
    auto body = peer.recv(length, t);
    if (!body)
        return std::nullopt;
    return std::string(body->begin(), body->end());
}

// Every text the link delivered, with the time it arrived.
class Texts
{
  public:
    void push(const std::string &text)
    {
        {
            std::lock_guard<std::mutex> l(m_mu);
            m_texts.push_back(text);
            m_times.push_back(Clock::now());
        }
        m_cv.notify_all();
    }
    std::vector<std::string> all()
    {
        std::lock_guard<std::mutex> l(m_mu);
        return m_texts;
    }
    // Waits until `text` has arrived `n` times in total; its arrival time.
    std::optional<Clock::time_point> wait(const std::string &text, int n = 1,
                                          std::chrono::seconds t = generous)
    {
        std::unique_lock<std::mutex> l(m_mu);
        std::optional<Clock::time_point> at;
        m_cv.wait_for(l, t, [&] {
            int seen = 0;
            for (size_t i = 0; i < m_texts.size(); ++i)
                if (m_texts[i] == text && ++seen == n) {
                    at = m_times[i];
                    return true;
                }
            return false;
        });
        return at;
    }
    size_t size()
    {
        std::lock_guard<std::mutex> l(m_mu);
        return m_texts.size();
    }

  private:
    std::mutex m_mu;
    std::condition_variable m_cv;
    std::vector<std::string> m_texts;
    std::vector<Clock::time_point> m_times;
};

const char login_text[] =
    "<LoginReq><Credentials user=\"op1\" passwd=\"pw\" tag=\"pulpit-op1\" /><Rtp port=\"8000\" "
    "sm=\"1\" /></LoginReq>";

// A link to a fresh fake server, logging in as op1/pw with RTP port 8000.
// `hook` (optional) runs on the connection thread for every delivered text,
// after it was recorded.
struct XmlLink {
    using hook_t = std::function<void(class_roipsrv_conn &, const std::string &)>;

    FakeServer srv;
    Texts texts;
    hook_t hook;
    // Records only the link's own ":..." notices (long runs would fill memory).
    bool notices_only = false;
    std::unique_ptr<class_roipsrv_conn> link;
    // The link for the hook: `link` is already empty while the link's
    // destructor delivers its last notices, the object itself is not.
    class_roipsrv_conn *conn = nullptr;

    explicit XmlLink(hook_t h = nullptr) : hook(std::move(h))
    {
        link = std::make_unique<class_roipsrv_conn>(
            [this](const std::string &t) {
                if (!notices_only || (!t.empty() && t[0] == ':'))
                    texts.push(t);
                if (hook)
                    hook(*conn, t);
            },
            "127.0.0.1", srv.port(), "op1", "pw", 8000);
        conn = link.get();
    }
    ~XmlLink() { link.reset(); }

    // Starts the link and takes its first connection up to ":connected".
    std::unique_ptr<Peer> start_and_login()
    {
        if (link->start_thr() != 0)
            return nullptr;
        auto peer = accept_login();
        if (!peer || !texts.wait(":connected"))
            return nullptr;
        return peer;
    }

    // Accepts the link's connection and reads its login request.
    std::unique_ptr<Peer> accept_login()
    {
        auto peer = srv.accept();
        if (!peer)
            return nullptr;
        auto login = read_frame(*peer);
        if (!login || *login != login_text)
            return nullptr;
        return peer;
    }
};

} // namespace xmltest
