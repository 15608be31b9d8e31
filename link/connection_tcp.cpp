#include "link/connection_tcp.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

c_connection_tcp::c_connection_tcp(const char *address, int port, int timeout, int keepalive)
    : m_addr(inet_addr(address ? address : "")), m_port(static_cast<uint32_t>(port)), m_timeout(timeout),
      m_keepalive(keepalive)
{
}

c_connection_tcp::~c_connection_tcp()
{
    c_connection_tcp::close();
}

std::recursive_mutex *c_connection_tcp::mutex()
{
    return &m_mutex;
}

void c_connection_tcp::set_peer(uint32_t address, int port)
{
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    m_addr = address;
    m_port = static_cast<uint32_t>(port);
}

int c_connection_tcp::connect()
{
    int s;
    sockaddr_in sa{};
    std::shared_lock<std::shared_mutex> io;
    {
        std::lock_guard<std::recursive_mutex> lock(m_mutex);
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = m_addr;
        sa.sin_port = htons(static_cast<uint16_t>(m_port));
        c_connection_tcp::close();
        s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (s < 0)
            return -1;
        if (m_timeout != -1) {
            timeval tv{};
            tv.tv_sec = m_timeout;
            setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
            setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
            if (m_keepalive > 0) {
                int on = 1;
                int half = m_timeout / 2;
                int interval = 2;
                setsockopt(s, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
                setsockopt(s, IPPROTO_TCP, TCP_KEEPCNT, &half, sizeof half);
                setsockopt(s, IPPROTO_TCP, TCP_KEEPIDLE, &half, sizeof half);
                setsockopt(s, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
            }
        }
        // Published before the blocking connect so that close() from another
        // thread can abort it; the socket lock is taken first, so the closer
        // cannot release the descriptor before connect has run on it.
        io = std::shared_lock<std::shared_mutex>(m_io);
        m_fd = s;
    }

    int r = ::connect(s, reinterpret_cast<const sockaddr *>(&sa), sizeof sa);
    // Before the connection lock: close() takes that first, then this one.
    io.unlock();

    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    if (m_fd != s)
        return -1; // closed meanwhile
    if (r < 0) {
        c_connection_tcp::close();
        return -1;
    }
    return 0;
}

int c_connection_tcp::close()
{
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    int s = m_fd.exchange(-1);
    if (s < 0)
        return 0;
    ::shutdown(s, SHUT_RDWR);
    // Pending operations on other threads return now; wait for them to leave
    // before the descriptor number can be reused.
    std::unique_lock<std::shared_mutex> io(m_io);
    ::close(s);
    return 0;
}

int c_connection_tcp::write(const void *buf, int len)
{
    int sent = 0;
    return write_counted(buf, len, sent);
}

int c_connection_tcp::write_counted(const void *buf, int len, int &sent)
{
    sent = 0;
    if (len <= 0)
        return 0;
    std::shared_lock<std::shared_mutex> io(m_io);
    int s = m_fd;
    if (s < 0)
        return -1;
    ssize_t n;
    do {
        n = ::send(s, buf, static_cast<size_t>(len), MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    if (n > 0)
        sent = static_cast<int>(n);
    return n == len ? 0 : -1;
}

int c_connection_tcp::read(void *buf, int len)
{
    if (len <= 0)
        return 0;
    std::shared_lock<std::shared_mutex> io(m_io);
    int s = m_fd;
    if (s < 0)
        return -1;
    auto *p = static_cast<uint8_t *>(buf);
    int got = 0;
    while (got < len) {
        ssize_t n = ::recv(s, p + got, static_cast<size_t>(len - got), 0);
        if (n > 0)
            got += static_cast<int>(n);
        else if (n < 0 && errno == EINTR)
            continue;
        else
            return -1;
    }
    return len;
}

int c_connection_tcp::release()
{
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    return m_fd.exchange(-1);
}

int c_connection_tcp::take_socket()
{
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    std::unique_lock<std::shared_mutex> io(m_io);
    return m_fd.exchange(-1);
}

bool c_connection_tcp::wait_ready(int fd, short events) const
{
    pollfd p{fd, events, 0};
    int ms = m_timeout < 0 ? -1 : m_timeout * 1000;
    for (;;) {
        int r = ::poll(&p, 1, ms);
        if (r > 0)
            return true;
        if (r < 0 && errno == EINTR)
            continue;
        return false;
    }
}
