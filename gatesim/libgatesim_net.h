// libgatesim's building blocks, exported beside the emulator for hosts that
// use them directly: the multi-client TCP server (tcpkit::TcpServer and its
// client record), the per-connection outgoing queue EventQ, and the UDP
// helpers of the voice relay (n_udp). Installed next to libgatesim.h.
#pragma once

#include "libgatesim.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <netinet/in.h>
#include <pthread.h>
#include <string>
#include <vector>

// Not exported: the server's member that stops its threads.
namespace gatesim_detail
{

class Waker
{
  public:
    Waker();
    ~Waker();
    Waker(const Waker &) = delete;
    Waker &operator=(const Waker &) = delete;

    bool ok() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    void notify();
    bool notified() const;
    // Waits up to `ms` (-1 = forever) for `other` to become readable or for the
    // notification. Returns 1 when `other` is readable, 0 on time-out, -1 once
    // notified (or on a poll error other than EINTR).
    int wait(int other, int ms) const;
    // Sleeps `ms` unless notified first; false once notified.
    bool sleep(int ms) const { return wait(-1, ms) == 0; }

  private:
    int fd_ = -1;
};

} // namespace gatesim_detail

// EventQ: the bounded outgoing queue of one gateway connection. Host threads
// queue events, the connection's writer thread drains them, so broadcasts never
// block on a slow socket.
class LIBGATESIM_API EventQ
{
  public:
    static constexpr int max_entries = 64;

    EventQ();
    virtual ~EventQ();
    EventQ(const EventQ &) = delete;
    EventQ &operator=(const EventQ &) = delete;

    // Copies the data. -1 when the queue is full, killed, or the data is empty.
    virtual int PutEvent(const char *data, unsigned size, bool urgent);
    // Blocks for the next entry (urgent ones first) and hands it over in `*out`
    // (allocated with malloc: the caller frees it with free); returns its
    // size, or -1 once the queue is killed (even with entries left).
    virtual int GetEvent(char **out);
    // Wakes the reader for good; queued entries are dropped with the queue.
    virtual int Kill();
    virtual int GetSize();

    // The same as GetEvent(char **), into a vector.
    int GetEvent(std::vector<uint8_t> &out);

  private:
    std::deque<std::vector<uint8_t>> normal_;
    std::deque<std::vector<uint8_t>> urgent_;
    std::mutex lock_;
    std::condition_variable ready_;
    bool killed_ = false;
    int count_ = 0;
    bool enabled_ = true;
};

// tcpkit: the multi-client TCP server under libgatesim. One processing thread
// per gateway runs the protocol handler; one writer thread per gateway drains
// its EventQ, so broadcast events never interleave with direct responses.
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
    // Set by the protocol handler once a login succeeded; a connection that
    // has not logged in within TcpServer::login_timeout_ms is closed.
    std::atomic<bool> logged_in{false};
    std::chrono::steady_clock::time_point accepted{};
    bool login_expired = false; // accept thread only
};

using client_callback = std::function<int(client *)>;

class LIBGATESIM_API TcpServer
{
  public:
    // Stacks of the two threads every connection has. The processing thread
    // runs the protocol handler and the host's callbacks, which may rely on
    // its megabyte; the writer only waits and sends. Both are reserved per
    // gateway: 1.5 MiB of address space each.
    static constexpr size_t client_stack_size = 1024 * 1024;
    static constexpr size_t writer_stack_size = 512 * 1024;
    // Idle or hostile connections must not hold their slots for ever.
    static constexpr int login_timeout_ms = 15000;

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
    // Cuts the connections whose login time is up; the milliseconds until
    // the next one is due, or -1 when none is waiting.
    int close_late_logins();
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

// n_udp: the small UDP helpers of the voice relay. Ports are host order at this
// interface; addresses are IPv4 in network order.
namespace n_udp
{

// UDP socket with SO_REUSEADDR bound to address (0 = any) and port, and to the
// network device when one is named (cut to 15 characters). -1 on failure.
LIBGATESIM_API int bind(int port, uint32_t address, const char *device);
// Like recvfrom(2); the sender's address and port (host order) go to the outs.
LIBGATESIM_API int recvfrom(int socket, void *buf, size_t size, uint32_t *address, int *port);
LIBGATESIM_API int sendto(int socket, const void *data, size_t len, uint32_t address, int port);
// Both act only on a non-negative descriptor and then set it to -1.
LIBGATESIM_API void close(int &socket);
LIBGATESIM_API void shutdown(int &socket);
// Dotted text, or "?.?.?.?" when conversion fails.
LIBGATESIM_API std::string addr2str(uint32_t address);
// Parses dotted text; 0xFFFFFFFF (INADDR_NONE) when it is not an address.
LIBGATESIM_API uint32_t str2addr(const char *text);

} // namespace n_udp
