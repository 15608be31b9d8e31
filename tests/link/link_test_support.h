// Test support for the link tests: a scripted fake server on loopback (plain
// TCP or TLS with a freshly generated self-signed certificate), a recording
// class_control, and a capture of standard output that tests can wait on.
#pragma once

#include "base/byteorder.h"
#include "interfaces/control.h"
#include "wire/roip_proto.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace linktest
{

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;
constexpr auto generous = std::chrono::seconds(20);

// A peer may vanish under a write; the process must see an error, not a signal.
// Standard output is line-buffered as in the daemon so that captured log lines
// arrive at once.
inline int process_setup = [] {
    signal(SIGPIPE, SIG_IGN);
    setvbuf(stdout, nullptr, _IOLBF, 0);
    return 0;
}();

inline Bytes cat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

inline Bytes le32(uint32_t v)
{
    Bytes b(4);
    bytes::put_le32(b.data(), v);
    return b;
}

// ---- Standard output capture ----

class LogCapture
{
  public:
    LogCapture()
    {
        fflush(stdout);
        int p[2];
        if (pipe(p) != 0)
            std::abort();
        m_saved = dup(1);
        dup2(p[1], 1);
        ::close(p[1]);
        m_read = p[0];
        m_thread = std::thread([this] { pump(); });
    }
    ~LogCapture()
    {
        fflush(stdout);
        dup2(m_saved, 1); // the pipe's last writer goes away: the pump sees EOF
        m_thread.join();
        ::close(m_read);
        ::close(m_saved);
    }

    // Everything written to standard output before this call.
    std::vector<std::string> lines()
    {
        sync();
        std::lock_guard<std::mutex> l(m_mu);
        return m_lines;
    }

    // Waits until `line` has appeared `count` times in total.
    bool wait_line(const std::string &line, int count = 1, std::chrono::seconds t = generous)
    {
        auto deadline = Clock::now() + t;
        for (;;) {
            fflush(stdout);
            std::unique_lock<std::mutex> l(m_mu);
            if (std::count(m_lines.begin(), m_lines.end(), line) >= count)
                return true;
            if (Clock::now() >= deadline)
                return false;
            m_cv.wait_for(l, std::chrono::milliseconds(20));
        }
    }

    int count(const std::string &line)
    {
        auto ls = lines();
        return static_cast<int>(std::count(ls.begin(), ls.end(), line));
    }

    std::string dump()
    {
        std::string s;
        for (auto &l : lines())
            s += l + "\n";
        return s;
    }

  private:
    static constexpr const char *marker = "\x1elog-sync ";

    // A marker line through the same pipe: once the pump has seen it, it has
    // seen everything written before.
    void sync()
    {
        fflush(stdout);
        unsigned n;
        {
            std::lock_guard<std::mutex> l(m_mu);
            n = ++m_sent;
        }
        std::string m = std::string(marker) + std::to_string(n) + "\n";
        if (::write(1, m.data(), m.size()) != static_cast<ssize_t>(m.size()))
            return;
        std::unique_lock<std::mutex> l(m_mu);
        m_cv.wait_for(l, generous, [&] { return m_seen >= n; });
    }

    void pump()
    {
        std::string cur;
        char buf[4096];
        const std::string mk = marker;
        for (;;) {
            ssize_t n = ::read(m_read, buf, sizeof buf);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            std::lock_guard<std::mutex> l(m_mu);
            for (ssize_t i = 0; i < n; ++i) {
                if (buf[i] != '\n') {
                    cur += buf[i];
                    continue;
                }
                if (cur.compare(0, mk.size(), mk) == 0) {
                    m_seen = static_cast<unsigned>(std::stoul(cur.substr(mk.size())));
                } else {
                    m_lines.push_back(cur);
                    // Test output (failures included) stays visible.
                    std::string echo = cur + "\n";
                    if (::write(m_saved, echo.data(), echo.size()) < 0) {
                    }
                }
                cur.clear();
            }
            m_cv.notify_all();
        }
    }

    int m_saved = -1;
    int m_read = -1;
    std::thread m_thread;
    std::mutex m_mu;
    std::condition_variable m_cv;
    std::vector<std::string> m_lines;
    unsigned m_sent = 0;
    unsigned m_seen = 0;
};

// ---- Recording listener ----

struct Event {
    explicit Event(std::string k, int64_t a_ = 0, int64_t b_ = 0, int64_t c_ = 0)
        : kind(std::move(k)), a(a_), b(b_), c(c_)
    {
    }
    std::string kind;
    int64_t a = 0, b = 0, c = 0;
    std::string text;
    Bytes data;
    uint32_t addr = 0;
    proto::VersionInfo version;
    proto::LoginResult login;
};

class Recorder : public class_control
{
  public:
    int init() override { return 0; }
    void cb_async_setptt(int ptt, const char *login) override
    {
        Event e{"setptt", ptt};
        e.text = login ? login : "(null)";
        push(e);
    }
    void cb_async_unlocksql(int sql) override { push(Event{"unlocksql", sql}); }
    void cb_async_gpiochanged(uint32_t bitmap, uint32_t mask) override
    {
        push(Event{"gpiochanged", bitmap, mask});
    }
    void cb_async_serial_senddata(int id, const uint8_t *data, uint16_t len, int kind) override
    {
        Event e{"serial", id, len, kind};
        if (len > 0)
            e.data.assign(data, data + len);
        push(e);
    }
    void cb_async_upgradestatus(int status, int a1, int a2) override
    {
        push(Event{"upgradestatus", status, a1, a2});
    }
    void cb_conn_connected(uint32_t addr, const proto::VersionInfo *v, const proto::LoginResult *l) override
    {
        Event e{"connected"};
        e.addr = addr;
        e.version = *v;
        e.login = *l;
        push(e);
    }
    void cb_conn_disconnected() override { push(Event{"disconnected"}); }
    void cb_gpio_changed(uint32_t, uint32_t) override { push(Event{"unexpected"}); }
    void cb_serialread(int, const uint8_t *, uint16_t) override { push(Event{"unexpected"}); }
    void cb_front_ptt(int) override { push(Event{"unexpected"}); }
    void cb_async_dm3000_status(uint32_t a, uint8_t b, const uint8_t *status, int len) override
    {
        Event e{"dm3000", a, b, len};
        if (len > 0)
            e.data.assign(status, status + len);
        push(e);
    }
    void cb_update_crypto(const uint8_t *key, int key_len, int mode) override
    {
        Event e{"crypto", key_len, mode, key == nullptr};
        if (key && key_len > 0)
            e.data.assign(key, key + key_len);
        push(e);
    }
    Gpio *get_gpio() override { return nullptr; }
    SerialControl *get_serial() override { return nullptr; }

    void clear()
    {
        std::lock_guard<std::mutex> l(m_mu);
        m_events.clear();
    }

    std::vector<Event> events()
    {
        std::lock_guard<std::mutex> l(m_mu);
        return m_events;
    }
    int count(const std::string &kind)
    {
        std::lock_guard<std::mutex> l(m_mu);
        return static_cast<int>(
            std::count_if(m_events.begin(), m_events.end(), [&](const Event &e) { return e.kind == kind; }));
    }
    // Waits until `kind` has been recorded `n` times; returns the n-th.
    std::optional<Event> wait(const std::string &kind, int n = 1, std::chrono::seconds t = generous)
    {
        std::unique_lock<std::mutex> l(m_mu);
        std::optional<Event> found;
        m_cv.wait_for(l, t, [&] {
            int seen = 0;
            for (const Event &e : m_events)
                if (e.kind == kind && ++seen == n) {
                    found = e;
                    return true;
                }
            return false;
        });
        return found;
    }

  private:
    void push(const Event &e)
    {
        {
            std::lock_guard<std::mutex> l(m_mu);
            m_events.push_back(e);
        }
        m_cv.notify_all();
    }
    std::mutex m_mu;
    std::condition_variable m_cv;
    std::vector<Event> m_events;
};

// ---- Fake server ----

// A self-signed certificate and key made for this process.
struct TlsIdentity {
    EVP_PKEY *key = nullptr;
    X509 *cert = nullptr;
    TlsIdentity()
    {
        key = EVP_EC_gen("P-256");
        cert = X509_new();
        ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
        X509_gmtime_adj(X509_getm_notBefore(cert), 0);
        X509_gmtime_adj(X509_getm_notAfter(cert), 3600);
        X509_set_pubkey(cert, key);
        X509_NAME *name = X509_get_subject_name(cert);
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char *>("fake-server"), -1, -1, 0);
        X509_set_issuer_name(cert, name);
        X509_sign(cert, key, EVP_sha256());
    }
    ~TlsIdentity()
    {
        X509_free(cert);
        EVP_PKEY_free(key);
    }
};

class Peer
{
  public:
    Peer(int fd, SSL *ssl) : m_fd(fd), m_ssl(ssl) {}
    // The socket, for looking at what is waiting on it.
    int fd() const { return m_fd; }
    ~Peer() { close(); }
    Peer(const Peer &) = delete;
    Peer &operator=(const Peer &) = delete;

    bool send(const Bytes &b)
    {
        size_t done = 0;
        while (done < b.size()) {
            int n = m_ssl ? SSL_write(m_ssl, b.data() + done, static_cast<int>(b.size() - done))
                          : static_cast<int>(::send(m_fd, b.data() + done, b.size() - done, MSG_NOSIGNAL));
            if (n < 0 && !m_ssl && errno == EINTR)
                continue;
            if (n <= 0)
                return false;
            done += static_cast<size_t>(n);
        }
        return true;
    }

    // Exactly n bytes, or nothing when the client closes or the time runs out.
    std::optional<Bytes> recv(size_t n, std::chrono::seconds t = generous)
    {
        set_timeout(t);
        Bytes b(n);
        size_t got = 0;
        while (got < n) {
            int r = m_ssl ? SSL_read(m_ssl, b.data() + got, static_cast<int>(n - got))
                          : static_cast<int>(::recv(m_fd, b.data() + got, n - got, 0));
            // A signal to the process (a child of the code under test ending,
            // say) is no end of the stream.
            if (r < 0 && !m_ssl && errno == EINTR)
                continue;
            if (r <= 0)
                return std::nullopt;
            got += static_cast<size_t>(r);
        }
        return b;
    }

    // True when the client closes its end (EOF or reset) within the time.
    bool wait_closed(std::chrono::seconds t = generous)
    {
        set_timeout(t);
        auto deadline = Clock::now() + t;
        uint8_t buf[4096];
        while (Clock::now() < deadline) {
            int r =
                m_ssl ? SSL_read(m_ssl, buf, sizeof buf) : static_cast<int>(::recv(m_fd, buf, sizeof buf, 0));
            if (r == 0)
                return true;
            if (r < 0) {
                if (!m_ssl && errno == EINTR)
                    continue;
                if (!m_ssl && (errno == EAGAIN || errno == EWOULDBLOCK))
                    return false;
                if (m_ssl) {
                    int e = SSL_get_error(m_ssl, r);
                    if (e == SSL_ERROR_WANT_READ)
                        return false;
                }
                return true;
            }
        }
        return false;
    }

    void close()
    {
        if (m_ssl) {
            SSL_free(m_ssl);
            m_ssl = nullptr;
        }
        if (m_fd >= 0) {
            ::shutdown(m_fd, SHUT_RDWR);
            ::close(m_fd);
            m_fd = -1;
        }
    }

    // Closes at once with a reset instead of an orderly end.
    void abort()
    {
        linger lg{1, 0};
        if (m_fd >= 0)
            setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
        if (m_ssl) {
            SSL_free(m_ssl);
            m_ssl = nullptr;
        }
        if (m_fd >= 0) {
            ::close(m_fd);
            m_fd = -1;
        }
    }

    int tls_version() const { return m_ssl ? SSL_version(m_ssl) : 0; }

    uint16_t client_port() const
    {
        sockaddr_in sa{};
        socklen_t l = sizeof sa;
        getpeername(m_fd, reinterpret_cast<sockaddr *>(&sa), &l);
        return ntohs(sa.sin_port);
    }

  private:
    void set_timeout(std::chrono::seconds t)
    {
        timeval tv{};
        tv.tv_sec = static_cast<long>(t.count());
        setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    }
    int m_fd;
    SSL *m_ssl;
};

class FakeServer
{
  public:
    explicit FakeServer(bool tls = false)
    {
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int on = 1;
        setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        sa.sin_port = 0;
        if (bind(m_fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 || listen(m_fd, 8) != 0)
            std::abort();
        socklen_t l = sizeof sa;
        getsockname(m_fd, reinterpret_cast<sockaddr *>(&sa), &l);
        m_port = ntohs(sa.sin_port);
        if (tls) {
            static TlsIdentity id;
            m_ctx = SSL_CTX_new(TLS_server_method());
            SSL_CTX_use_certificate(m_ctx, id.cert);
            SSL_CTX_use_PrivateKey(m_ctx, id.key);
        }
    }
    ~FakeServer()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        if (m_ctx)
            SSL_CTX_free(m_ctx);
    }
    FakeServer(const FakeServer &) = delete;
    FakeServer &operator=(const FakeServer &) = delete;

    int port() const { return m_port; }

    // Stops listening: further connects are refused.
    void stop_listening()
    {
        ::close(m_fd);
        m_fd = -1;
    }

    std::unique_ptr<Peer> accept(std::chrono::seconds t = generous)
    {
        pollfd p{m_fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(std::chrono::milliseconds(t).count())) != 1)
            return nullptr;
        int c = ::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0)
            return nullptr;
        // Small scripted writes go out at once instead of waiting for acks.
        int on = 1;
        setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        SSL *ssl = nullptr;
        if (m_ctx) {
            timeval tv{10, 0};
            setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
            ssl = SSL_new(m_ctx);
            SSL_set_fd(ssl, c);
            if (SSL_accept(ssl) != 1) {
                SSL_free(ssl);
                ::close(c);
                return nullptr;
            }
        }
        return std::make_unique<Peer>(c, ssl);
    }

  private:
    int m_fd = -1;
    int m_port = 0;
    SSL_CTX *m_ctx = nullptr;
};

// ---- Protocol scripts ----

inline proto::VersionInfo version(unsigned pmaj, unsigned pmin, unsigned fmaj = 2, unsigned fmin = 30)
{
    return proto::VersionInfo{proto::version_word(static_cast<uint16_t>(pmaj), static_cast<uint16_t>(pmin)),
                              proto::version_word(1, 0),
                              proto::version_word(static_cast<uint16_t>(fmaj), static_cast<uint16_t>(fmin)),
                              4711};
}

inline proto::LoginResult login_result()
{
    proto::LoginResult r;
    r.priv_level = 1;
    r.priv_rctl = 1;
    r.voip_port = 8000;
    r.voip_sync_num = 40001;
    r.codec_type = 2;
    std::strcpy(r.device_name, "fake-site");
    r.rtype[0] = 0x11;
    r.rtype[1] = 0x22;
    return r;
}

// Accepts one connection, sends the version info and reads the login request.
inline std::unique_ptr<Peer> accept_until_login_request(FakeServer &srv, const proto::VersionInfo &v,
                                                        Bytes *request = nullptr)
{
    auto peer = srv.accept();
    if (!peer || !peer->send(proto::build_version_info(v)))
        return nullptr;
    auto req = peer->recv(72);
    if (!req)
        return nullptr;
    if (request)
        *request = *req;
    return peer;
}

// A whole login that the server accepts (no blocked list, no crypto).
inline std::unique_ptr<Peer> accept_login(FakeServer &srv, const proto::VersionInfo &v = version(1, 5))
{
    auto peer = accept_until_login_request(srv, v);
    if (!peer || !peer->send(proto::build_login_result(login_result())))
        return nullptr;
    return peer;
}

} // namespace linktest
