// c_connection_ssl: TLS client transport layered on the TCP one. The server's
// certificate is not checked and no client certificate is offered.
#pragma once

#include "link/connection_tcp.h"

#include <mutex>

typedef struct ssl_ctx_st SSL_CTX;
typedef struct ssl_st SSL;

class c_connection_ssl : public c_connection_tcp
{
  public:
    c_connection_ssl(const char *address, int port, int timeout, int keepalive);
    ~c_connection_ssl() override;

    std::recursive_mutex *mutex() override;
    int connect() override;
    int close() override;
    int write(const void *buf, int len) override;
    int read(void *buf, int len) override;

  private:
    int handshake();
    // Runs one non-blocking TLS call and, when it has to wait, waits for the
    // socket: >0 bytes done, 0 call again, -1 failure.
    template <typename Call> int step(Call call);

    SSL_CTX *m_ctx = nullptr;
    SSL *m_ssl = nullptr; // guarded by m_io (published exclusively, used shared)
    int m_sfd = -1;       // the session's socket
    std::recursive_mutex m_tls_mutex;
    // A session is not safe for concurrent calls; reads and writes take turns
    // call by call, and wait for the socket outside this lock.
    std::mutex m_call;
};
