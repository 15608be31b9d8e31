// c_connection_tcp: plain TCP client transport with socket time-outs.
#pragma once

#include "link/connection.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <shared_mutex>
#include <string>

class c_connection_tcp : public c_connection
{
  public:
    // timeout in seconds (-1: none); keepalive > 0 turns TCP keep-alive on.
    c_connection_tcp(const char *address, int port, int timeout, int keepalive);
    ~c_connection_tcp() override;

    c_connection_tcp(const c_connection_tcp &) = delete;
    c_connection_tcp &operator=(const c_connection_tcp &) = delete;

    std::recursive_mutex *mutex() override;
    int connect() override;
    int close() override;
    int write(const void *buf, int len) override;
    // As write, and `sent` tells how many bytes the socket took even when it
    // failed: a caller can tell a stream left whole from one cut mid-message.
    int write_counted(const void *buf, int len, int &sent);
    int read(void *buf, int len) override;
    int release() override;

    // The server of the next connect (address in network order); the one
    // open now, if any, is not touched.
    void set_peer(uint32_t address, int port);

  protected:
    // Takes the connected socket out of this object (for a session layered on
    // it); -1 when the connection was closed in the meantime.
    int take_socket();
    // Waits until the socket is ready for `events` or the time-out passes.
    bool wait_ready(int fd, short events) const;

    std::atomic<int> m_fd{-1};
    uint32_t m_addr; // network order; guarded by m_mutex
    uint32_t m_port; // host order; guarded by m_mutex
    int m_timeout;   // seconds, -1 = none
    int m_keepalive;
    std::recursive_mutex m_mutex;
    // Held shared by every operation that uses the socket, exclusively by the
    // closer before it releases the descriptor: a pending recv on another thread
    // must never end up on a reused descriptor number.
    std::shared_mutex m_io;
};
