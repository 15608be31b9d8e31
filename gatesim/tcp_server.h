// tcpkit: the multi-client TCP server under libgatesim. One processing thread
// per gateway runs the protocol handler; one writer thread per gateway drains
// its EventQ, so broadcast events never interleave with direct responses.
#pragma once

#include "gatesim/event_q.h"
#include "gatesim/waker.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <netinet/in.h>
#include <pthread.h>
#include <vector>

namespace tcpkit
{

// One accepted connection. The privilege and asynchronous state are written by
// the processing thread and read by broadcasting host threads, hence atomic.
struct client {
    int socket = -1;
    sockaddr_in address{}; // the peer's address, copied at login
    sockaddr_in peer{};    // as returned by accept
    std::atomic<int> privilege{-1};
    std::atomic<uint32_t> gpio_mask{0};
    std::atomic<int> remote_control{-1};
    std::recursive_mutex write_lock; // a handler may hold it around its own Write
    pthread_t thread{};
    int fixedport = 0; // peer's TCP source port, host order, set at login
    std::unique_ptr<EventQ> queue;
    char user[32] = {};
    std::atomic<int> async_state{1}; // 1 not logged in, 0 events on, 2 events off
    int reserved = 0;
};

using client_callback = std::function<int(client *)>;

class TcpServer
{
  public:
    static constexpr size_t client_stack_size = 1024 * 1024;
    static constexpr size_t writer_stack_size = 512 * 1024;

    // Binds and listens at once; the accept thread waits for StartServing.
    // Port 0 binds an ephemeral port (GetPort tells which).
    TcpServer(int port, int max_clients, const char *bind_address, client_callback process,
              client_callback disconnect);
    TcpServer(const TcpServer &) = delete;
    TcpServer &operator=(const TcpServer &) = delete;

    virtual int ListAdd(client *c);
    virtual int ListDelete(client *c);
    virtual ~TcpServer();
    virtual int StartServing();
    virtual int IsInitialized();
    virtual int GetPort();
    virtual int GetClientsNum();
    // Writes the whole buffer under the client's write lock (never raises
    // SIGPIPE); returns len, or -1 when the connection failed.
    virtual int Write(client *c, const char *data, int len);
    virtual int Send(client *c, const char *data, int len, int flags);
    // Reads exactly len bytes; 0 when the peer closed, -1 on error.
    virtual int Read(client *c, char *buf, int len);
    // Queues a copy for every logged-in client with events on (or only `only`).
    virtual int AsyncWriteGroup(const char *data, unsigned size, bool urgent, client *only);
    // From now on every new connection is closed; every client but `keep` is cut.
    virtual int UpgradeStop(client *keep);

    static void SetSocketOpts(int socket);

    // Stops accepting, cuts every connection and joins every thread (the
    // destructor does it too). Handlers may still use the server meanwhile.
    void Stop();

  private:
    void Thr_Main();
    void Thr_Client(client *c);
    static void *_Thr_Main(void *self);
    static void *_Thr_Client(void *arg);
    static void *_AsyncWriterThread(void *arg);
    void accept_one();
    void reap_finished();
    int send_all(client *c, const char *data, int len, int flags);

    client_callback process_;
    client_callback disconnect_;
    int port_ = 0;
    std::atomic<int> max_clients_{0};
    int listen_socket_ = -1;
    in_addr_t bind_address_ = 0;
    int initialized_ = 0;
    std::list<client *> clients_;
    std::mutex list_lock_;

    // The start gate (released by StartServing or by destruction).
    std::mutex start_lock_;
    std::condition_variable start_cv_;
    bool started_ = false;

    pthread_t accept_thread_{};
    bool accept_running_ = false;
    gatesim_detail::Waker stop_;
    std::mutex stop_lock_;

    // Client threads still running, and the handles of those that ended and
    // wait to be joined.
    std::mutex threads_lock_;
    std::condition_variable threads_cv_;
    int live_threads_ = 0;
    std::vector<pthread_t> finished_;
};

} // namespace tcpkit
