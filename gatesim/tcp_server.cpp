#include "gatesim/tcp_server.h"

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tcpkit
{

namespace
{

struct thread_arg {
    TcpServer *server;
    client *c;
};

bool start_thread(pthread_t *t, size_t stack, void *(*entry)(void *), void *arg)
{
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0)
        return false;
    // Where the system's least stack is larger (64 KiB pages), take that
    // rather than fall back to the default size, which is megabytes.
    long least = sysconf(_SC_THREAD_STACK_MIN);
    if (least > 0 && stack < static_cast<size_t>(least))
        stack = static_cast<size_t>(least);
    if (pthread_attr_setstacksize(&attr, stack) != 0) {
        pthread_attr_destroy(&attr);
        return false;
    }
    int r = pthread_create(t, &attr, entry, arg);
    pthread_attr_destroy(&attr);
    return r == 0;
}

void close_fd(int fd)
{
    if (fd >= 0)
        ::close(fd);
}

// A failing accept that is not about the one connection (no descriptors, no
// memory) would fail again at once: back off instead of spinning.
bool accept_error_is_transient(int err)
{
    return err == EINTR || err == EAGAIN || err == EWOULDBLOCK || err == ECONNABORTED || err == EPROTO;
}

} // namespace

TcpServer::TcpServer(int port, int max_clients, const char *bind_address, client_callback process,
                     client_callback disconnect)
    : process_(std::move(process)), disconnect_(std::move(disconnect)), port_(port), max_clients_(max_clients)
{
    if (!stop_.ok() || port < 0 || port > 65535 || bind_address == nullptr)
        return;
    bind_address_ = inet_addr(bind_address);
    listen_socket_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (listen_socket_ < 0)
        return;
    int on = 1;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = bind_address_;
    socklen_t alen = sizeof a;
    if (setsockopt(listen_socket_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        bind(listen_socket_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
        listen(listen_socket_, 5) != 0 ||
        getsockname(listen_socket_, reinterpret_cast<sockaddr *>(&a), &alen) != 0 ||
        !start_thread(&accept_thread_, 256 * 1024, _Thr_Main, this)) {
        close_fd(listen_socket_);
        listen_socket_ = -1;
        return;
    }
    port_ = ntohs(a.sin_port);
    accept_running_ = true;
    initialized_ = 1;
}

TcpServer::~TcpServer()
{
    Stop();
}

void TcpServer::Stop()
{
    std::lock_guard<std::mutex> once(stop_lock_);
    stop_.notify();
    {
        std::lock_guard<std::mutex> g(start_lock_);
        started_ = true;
        start_cv_.notify_all();
    }
    if (accept_running_)
        pthread_join(accept_thread_, nullptr);
    accept_running_ = false;
    {
        std::lock_guard<std::mutex> g(list_lock_);
        for (client *c : clients_)
            ::shutdown(c->socket, SHUT_RDWR);
    }
    {
        std::unique_lock<std::mutex> g(threads_lock_);
        threads_cv_.wait(g, [this] { return live_threads_ == 0; });
    }
    reap_finished();
    close_fd(listen_socket_);
    listen_socket_ = -1;
}

int TcpServer::ListAdd(client *c)
{
    std::lock_guard<std::mutex> g(list_lock_);
    clients_.push_back(c);
    return 0;
}

int TcpServer::ListDelete(client *c)
{
    std::lock_guard<std::mutex> g(list_lock_);
    clients_.remove(c);
    return 0;
}

int TcpServer::StartServing()
{
    std::lock_guard<std::mutex> g(start_lock_);
    started_ = true;
    start_cv_.notify_all();
    return 0;
}

int TcpServer::IsInitialized()
{
    return initialized_;
}

int TcpServer::GetPort()
{
    return port_;
}

int TcpServer::GetClientsNum()
{
    std::lock_guard<std::mutex> g(list_lock_);
    return static_cast<int>(clients_.size());
}

int TcpServer::send_all(client *c, const char *data, int len, int flags)
{
    if (c == nullptr || data == nullptr || len < 0)
        return -1;
    std::lock_guard<std::recursive_mutex> g(c->write_lock);
    int done = 0;
    // A partial write would leave half a message on the stream and lose the
    // framing for good, so finish it or fail.
    while (done < len) {
        ssize_t r = ::send(c->socket, data + done, static_cast<size_t>(len - done), flags | MSG_NOSIGNAL);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        done += static_cast<int>(r);
    }
    return done;
}

int TcpServer::Write(client *c, const char *data, int len)
{
    return send_all(c, data, len, 0);
}

int TcpServer::Send(client *c, const char *data, int len, int flags)
{
    return send_all(c, data, len, flags);
}

int TcpServer::Read(client *c, char *buf, int len)
{
    if (c == nullptr || buf == nullptr || len < 0)
        return -1;
    int done = 0;
    while (done < len) {
        ssize_t r = ::read(c->socket, buf + done, static_cast<size_t>(len - done));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return static_cast<int>(r);
        done += static_cast<int>(r);
    }
    return len;
}

int TcpServer::AsyncWriteGroup(const char *data, unsigned size, bool urgent, client *only)
{
    std::lock_guard<std::mutex> g(list_lock_);
    for (client *c : clients_) {
        if (c->privilege.load() == -1 || c->async_state.load() != 0)
            continue;
        if (only != nullptr && only != c)
            continue;
        // A full queue drops the event for this client only.
        c->queue->PutEvent(data, size, urgent);
    }
    return 0;
}

int TcpServer::UpgradeStop(client *keep)
{
    max_clients_ = 0;
    std::lock_guard<std::mutex> g(list_lock_);
    for (client *c : clients_)
        if (c != keep)
            ::shutdown(c->socket, SHUT_RDWR);
    return 0;
}

void TcpServer::SetSocketOpts(int socket)
{
    int on = 1, idle = 10, cnt = 3, intvl = 1;
    unsigned timeout = 15000;
    setsockopt(socket, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    setsockopt(socket, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    setsockopt(socket, IPPROTO_TCP, TCP_KEEPCNT, &cnt, sizeof cnt);
    setsockopt(socket, IPPROTO_TCP, TCP_KEEPINTVL, &intvl, sizeof intvl);
    setsockopt(socket, IPPROTO_TCP, TCP_USER_TIMEOUT, &timeout, sizeof timeout);
}

void *TcpServer::_Thr_Main(void *self)
{
    static_cast<TcpServer *>(self)->Thr_Main();
    return nullptr;
}

void TcpServer::Thr_Main()
{
    {
        std::unique_lock<std::mutex> g(start_lock_);
        start_cv_.wait(g, [this] { return started_; });
    }
    for (;;) {
        int r = stop_.wait(listen_socket_, close_late_logins());
        if (r < 0)
            return;
        if (r > 0)
            accept_one();
        reap_finished();
    }
}

int TcpServer::close_late_logins()
{
    const auto now = std::chrono::steady_clock::now();
    const auto limit = std::chrono::milliseconds(login_timeout_ms);
    long long next = -1;
    std::lock_guard<std::mutex> g(list_lock_);
    for (client *c : clients_) {
        if (c->logged_in.load() || c->login_expired)
            continue;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(c->accepted + limit - now).count();
        if (left <= 0) {
            // Its thread sees the failing read and ends the connection.
            c->login_expired = true;
            ::shutdown(c->socket, SHUT_RDWR);
        } else if (next < 0 || left + 1 < next) {
            next = left + 1;
        }
    }
    return static_cast<int>(next);
}

void TcpServer::accept_one()
{
    auto *c = new client;
    socklen_t len = sizeof c->peer;
    c->socket = ::accept4(listen_socket_, reinterpret_cast<sockaddr *>(&c->peer), &len, SOCK_CLOEXEC);
    if (c->socket < 0) {
        int err = errno;
        delete c;
        if (!accept_error_is_transient(err))
            stop_.sleep(100);
        return;
    }
    // The count is taken and the client listed on this thread, so a burst of
    // connections cannot slip past the limit before their threads have started.
    // 0 closes the server; a negative limit is never reached: no limit.
    int max = max_clients_.load();
    if (max == 0 || (max > 0 && GetClientsNum() >= max)) {
        close_fd(c->socket);
        delete c;
        return;
    }
    SetSocketOpts(c->socket);
    c->accepted = std::chrono::steady_clock::now();
    c->queue = std::make_unique<EventQ>();
    ListAdd(c);
    {
        std::lock_guard<std::mutex> g(threads_lock_);
        ++live_threads_;
    }
    auto *arg = new thread_arg{this, c};
    if (!start_thread(&c->thread, client_stack_size, _Thr_Client, arg)) {
        delete arg;
        ListDelete(c);
        close_fd(c->socket);
        delete c;
        std::lock_guard<std::mutex> g(threads_lock_);
        --live_threads_;
        threads_cv_.notify_all();
    }
}

void TcpServer::reap_finished()
{
    std::vector<pthread_t> done;
    {
        std::lock_guard<std::mutex> g(threads_lock_);
        done.swap(finished_);
    }
    for (pthread_t t : done)
        pthread_join(t, nullptr);
}

void *TcpServer::_Thr_Client(void *p)
{
    auto *arg = static_cast<thread_arg *>(p);
    TcpServer *self = arg->server;
    client *c = arg->c;
    delete arg;
    pthread_t me = pthread_self();
    self->Thr_Client(c);
    std::lock_guard<std::mutex> g(self->threads_lock_);
    self->finished_.push_back(me);
    --self->live_threads_;
    self->threads_cv_.notify_all();
    return nullptr;
}

void TcpServer::Thr_Client(client *c)
{
    pthread_t writer{};
    auto *arg = new thread_arg{this, c};
    if (start_thread(&writer, writer_stack_size, _AsyncWriterThread, arg)) {
        if (process_)
            process_(c);
        if (disconnect_)
            disconnect_(c);
        // The writer may be stuck sending to a peer that stopped reading.
        ::shutdown(c->socket, SHUT_RDWR);
        c->queue->Kill();
        pthread_join(writer, nullptr);
    } else {
        delete arg;
    }
    ListDelete(c);
    close_fd(c->socket);
    delete c;
}

void *TcpServer::_AsyncWriterThread(void *p)
{
    auto *arg = static_cast<thread_arg *>(p);
    TcpServer *self = arg->server;
    client *c = arg->c;
    delete arg;
    std::vector<uint8_t> event;
    while (c->queue->GetEvent(event) >= 0) {
        if (!event.empty())
            self->Write(c, reinterpret_cast<const char *>(event.data()), static_cast<int>(event.size()));
    }
    return nullptr;
}

} // namespace tcpkit
