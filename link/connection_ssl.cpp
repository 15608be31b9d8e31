#include "link/connection_ssl.h"

#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

c_connection_ssl::c_connection_ssl(const char *address, int port, int timeout, int keepalive)
    : c_connection_tcp(address, port, timeout, keepalive)
{
    OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
    OPENSSL_init_crypto(OPENSSL_INIT_ADD_ALL_CIPHERS | OPENSSL_INIT_ADD_ALL_DIGESTS, nullptr);
    // The generic method negotiates the highest version both sides support.
    m_ctx = SSL_CTX_new(TLS_client_method());
    if (m_ctx)
        SSL_CTX_set_verify(m_ctx, SSL_VERIFY_NONE, nullptr);
}

c_connection_ssl::~c_connection_ssl()
{
    c_connection_ssl::close();
    if (m_ctx)
        SSL_CTX_free(m_ctx);
}

std::recursive_mutex *c_connection_ssl::mutex()
{
    return &m_tls_mutex;
}

int c_connection_ssl::connect()
{
    {
        std::lock_guard<std::recursive_mutex> lock(m_tls_mutex);
        if (!m_ctx)
            return -1;
        c_connection_ssl::close();
    }
    // Not under the TLS lock: a close() from another thread must be able to
    // abort a pending connect or handshake.
    if (c_connection_tcp::connect() < 0)
        return -1;
    {
        std::lock_guard<std::recursive_mutex> lock(m_tls_mutex);
        int s = take_socket();
        if (s < 0)
            return -1;
        SSL *ssl = SSL_new(m_ctx);
        if (!ssl || SSL_set_fd(ssl, s) != 1) {
            if (ssl)
                SSL_free(ssl);
            ::shutdown(s, SHUT_RDWR);
            ::close(s);
            return -1;
        }
        // Non-blocking underneath, so that reads and writes from different
        // threads can take turns on the session; the time-out is kept by poll.
        int fl = fcntl(s, F_GETFL);
        fcntl(s, F_SETFL, fl | O_NONBLOCK);
        std::unique_lock<std::shared_mutex> io(m_io);
        m_ssl = ssl;
        m_sfd = s;
    }
    if (handshake() < 0) {
        c_connection_ssl::close();
        return -1;
    }
    return 0;
}

template <typename Call> int c_connection_ssl::step(Call call)
{
    int n, err = SSL_ERROR_NONE;
    {
        std::lock_guard<std::mutex> lock(m_call);
        ERR_clear_error();
        n = call(m_ssl);
        if (n <= 0)
            err = SSL_get_error(m_ssl, n);
    }
    if (n > 0)
        return n;
    if (err == SSL_ERROR_WANT_READ)
        return wait_ready(m_sfd, POLLIN) ? 0 : -1;
    if (err == SSL_ERROR_WANT_WRITE)
        return wait_ready(m_sfd, POLLOUT) ? 0 : -1;
    return -1;
}

int c_connection_ssl::handshake()
{
    std::shared_lock<std::shared_mutex> io(m_io);
    if (!m_ssl)
        return -1;
    for (;;) {
        int r = step([](SSL *ssl) { return SSL_connect(ssl); });
        if (r > 0)
            return 0;
        if (r < 0)
            return -1;
    }
}

int c_connection_ssl::close()
{
    std::lock_guard<std::recursive_mutex> lock(m_tls_mutex);
    // Whatever TCP part is still open (a connect in progress) goes too.
    c_connection_tcp::close();
    SSL *ssl;
    int s;
    {
        std::shared_lock<std::shared_mutex> io(m_io);
        ssl = m_ssl;
        s = m_sfd;
        if (!ssl)
            return 0;
        std::lock_guard<std::mutex> call(m_call);
        // One call: the close notification goes out, the peer's is not awaited.
        ERR_clear_error();
        SSL_shutdown(ssl);
    }
    ::shutdown(s, SHUT_RDWR);
    std::unique_lock<std::shared_mutex> io(m_io);
    m_ssl = nullptr;
    m_sfd = -1;
    SSL_free(ssl);
    ::close(s);
    ERR_clear_error();
    return 0;
}

int c_connection_ssl::write(const void *buf, int len)
{
    std::shared_lock<std::shared_mutex> io(m_io);
    if (!m_ssl)
        return -1;
    if (len <= 0)
        return 0;
    const auto *p = static_cast<const uint8_t *>(buf);
    int done = 0;
    while (done < len) {
        int r = step([&](SSL *ssl) { return SSL_write(ssl, p + done, len - done); });
        if (r < 0)
            return -1;
        done += r;
    }
    return len;
}

int c_connection_ssl::read(void *buf, int len)
{
    if (len <= 0)
        return 0;
    std::shared_lock<std::shared_mutex> io(m_io);
    if (!m_ssl)
        return -1;
    auto *p = static_cast<uint8_t *>(buf);
    int got = 0;
    while (got < len) {
        int r = step([&](SSL *ssl) { return SSL_read(ssl, p + got, len - got); });
        if (r < 0)
            return -1;
        got += r;
    }
    return len;
}
