#include "tools/gatesimd/reflector/reflector_link.h"

#include "tools/gatesimd/reflector/reflector_auth.h"
#include "tools/gatesimd/reflector/reflector_codec.h"
#include "tools/gatesimd/reflector/reflector_udp.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace reflector
{

namespace
{

// The reflector not reading what it is sent: beyond this the link is dropped.
constexpr size_t max_tx_backlog = 64 * 1024;
// Reads per wake-up, so one flooding path cannot starve the other.
constexpr int reads_per_wake = 32;

std::string seconds_text(std::chrono::milliseconds d)
{
    char b[32];
    std::snprintf(b, sizeof b, "%g s", static_cast<double>(d.count()) / 1000.0);
    return b;
}

std::string join(const std::vector<std::string> &v)
{
    std::string s;
    for (const std::string &x : v)
        s += (s.empty() ? "" : ", ") + x;
    return s.empty() ? "-" : s;
}

// Callsigns and texts from the reflector, safe for a terminal.
std::string printable(const std::string &text)
{
    std::string out;
    for (unsigned char c : text) {
        if (c >= 0x20 && c < 0x7F) {
            out.push_back(static_cast<char>(c));
        } else {
            char b[8];
            std::snprintf(b, sizeof b, "\\x%02X", c);
            out += b;
        }
    }
    return out;
}

bool resolve(const std::string &host, int port, sockaddr_in &out)
{
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *res = nullptr;
    if (::getaddrinfo(host.c_str(), nullptr, &hints, &res) != 0 || res == nullptr)
        return false;
    std::memcpy(&out, res->ai_addr, sizeof out);
    out.sin_port = htons(static_cast<uint16_t>(port));
    ::freeaddrinfo(res);
    return true;
}

} // namespace

const char *ReflectorLink::state_name(State s)
{
    switch (s) {
    case State::stopped:
        return "stopped";
    case State::connecting:
        return "connecting";
    case State::logging_in:
        return "logging in";
    case State::connected:
        return "connected";
    case State::waiting:
        return "waiting";
    }
    return "?";
}

ReflectorLink::ReflectorLink(LinkConfig cfg, LinkListener &listener, Say say)
    : cfg_(std::move(cfg)), listener_(listener), say_(std::move(say))
{
}

ReflectorLink::~ReflectorLink()
{
    stop();
}

bool ReflectorLink::start(std::string &error)
{
    wake_.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!wake_.valid()) {
        error = "eventfd failed";
        return false;
    }
    thread_ = std::thread([this] { run(); });
    return true;
}

void ReflectorLink::stop()
{
    {
        std::lock_guard<std::mutex> g(lock_);
        if (stopping_ || !thread_.joinable())
            return;
        stopping_ = true;
    }
    uint64_t one = 1;
    ssize_t r = ::write(wake_.get(), &one, sizeof one);
    (void)r;
    thread_.join();
    std::lock_guard<std::mutex> g(lock_);
    tcp_.reset();
    udp_.reset();
    st_.state = State::stopped;
}

std::string ReflectorLink::where() const
{
    return cfg_.host + ":" + std::to_string(cfg_.port);
}

void ReflectorLink::say(const std::string &line)
{
    post([this, line] {
        if (say_)
            say_(line);
    });
}

ReflectorLink::Status ReflectorLink::status() const
{
    std::lock_guard<std::mutex> g(lock_);
    return st_;
}

// ---- The link's thread ----

void ReflectorLink::run()
{
    std::unique_lock<std::mutex> g(lock_);
    begin_attempt(clock::now());
    std::vector<std::function<void()>> todo;
    while (!stopping_) {
        pollfd fds[3] = {{wake_.get(), POLLIN, 0}, {-1, 0, 0}, {-1, 0, 0}};
        if (tcp_.valid()) {
            fds[1].fd = tcp_.get();
            fds[1].events = st_.state == State::connecting ? POLLOUT : POLLIN;
            if (!tx_.empty())
                fds[1].events |= POLLOUT;
        }
        if (udp_.valid()) {
            fds[2].fd = udp_.get();
            fds[2].events = POLLIN;
        }
        int wait = poll_timeout(clock::now());
        todo.swap(pending_);
        g.unlock();
        for (auto &f : todo)
            f();
        todo.clear();
        int n = ::poll(fds, 3, wait);
        g.lock();
        if (stopping_)
            break;
        if (n < 0 && errno != EINTR)
            break;
        auto now = clock::now();
        if (n > 0) {
            if (fds[0].revents != 0) {
                uint64_t v;
                ssize_t r = ::read(wake_.get(), &v, sizeof v);
                (void)r;
            }
            // A descriptor may have been replaced while the lock was free.
            if (fds[1].revents != 0 && tcp_.valid() && tcp_.get() == fds[1].fd) {
                if (st_.state == State::connecting) {
                    finish_connect(now);
                } else {
                    if (fds[1].revents & (POLLIN | POLLHUP | POLLERR))
                        read_tcp(now);
                    if (tcp_.valid() && (fds[1].revents & POLLOUT))
                        flush_tcp();
                }
            }
            if (fds[2].revents != 0 && udp_.valid() && udp_.get() == fds[2].fd)
                read_udp(now);
        }
        timers(now);
    }
    todo.swap(pending_);
    g.unlock();
    for (auto &f : todo)
        f();
}

int ReflectorLink::poll_timeout(clock::time_point now) const
{
    clock::time_point next = clock::time_point::max();
    auto consider = [&](clock::time_point t) { next = std::min(next, t); };
    switch (st_.state) {
    case State::connecting:
        consider(connect_deadline_);
        break;
    case State::logging_in:
        consider(login_deadline_);
        consider(tcp_rx_deadline_);
        consider(tcp_tx_at_);
        break;
    case State::connected:
        consider(tcp_rx_deadline_);
        consider(tcp_tx_at_);
        consider(udp_rx_deadline_);
        consider(udp_tx_at_);
        break;
    case State::waiting:
        consider(retry_at_);
        break;
    case State::stopped:
        break;
    }
    if (next == clock::time_point::max())
        return -1;
    if (next <= now)
        return 0;
    return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(next - now).count()) + 1;
}

void ReflectorLink::begin_attempt(clock::time_point now)
{
    st_.attempts++;
    st_.state = State::connecting;
    frames_.reset();
    frames_.set_limit(max_frame_before_login);
    tx_.clear();
    step_ = Step::challenge;
    say("reflector: connecting to " + where() + " as " + cfg_.callsign);
    sockaddr_in to{};
    if (!resolve(cfg_.host, cfg_.port, to)) {
        drop("cannot resolve " + cfg_.host);
        return;
    }
    tcp_.reset(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!tcp_.valid()) {
        drop(std::string("no socket: ") + std::strerror(errno));
        return;
    }
    if (::connect(tcp_.get(), reinterpret_cast<sockaddr *>(&to), sizeof to) != 0 && errno != EINPROGRESS) {
        drop(std::string("cannot connect: ") + std::strerror(errno));
        return;
    }
    connect_deadline_ = now + cfg_.connect_timeout;
}

void ReflectorLink::finish_connect(clock::time_point now)
{
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(tcp_.get(), SOL_SOCKET, SO_ERROR, &err, &len) != 0)
        err = errno;
    if (err != 0) {
        drop(std::string("cannot connect: ") + std::strerror(err));
        return;
    }
    int on = 1;
    ::setsockopt(tcp_.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    st_.state = State::logging_in;
    login_deadline_ = now + cfg_.login_timeout;
    tcp_rx_deadline_ = now + cfg_.tcp_silence;
    say("reflector: connected to " + where() + ", logging in");
    send_tcp(build_proto_ver(), now);
}

void ReflectorLink::send_tcp(const std::vector<uint8_t> &frame, clock::time_point now)
{
    if (!tcp_.valid())
        return;
    tx_.insert(tx_.end(), frame.begin(), frame.end());
    tcp_tx_at_ = now + cfg_.tcp_heartbeat;
    if (tx_.size() > max_tx_backlog) {
        drop("the reflector does not take what it is sent");
        return;
    }
    flush_tcp();
}

void ReflectorLink::flush_tcp()
{
    while (!tx_.empty() && tcp_.valid()) {
        ssize_t n = ::send(tcp_.get(), tx_.data(), tx_.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return;
        if (n <= 0) {
            drop(std::string("send failed: ") + std::strerror(errno));
            return;
        }
        tx_.erase(tx_.begin(), tx_.begin() + n);
    }
}

void ReflectorLink::read_tcp(clock::time_point now)
{
    uint8_t buf[4096];
    for (int i = 0; i < reads_per_wake && tcp_.valid(); i++) {
        ssize_t n = ::recv(tcp_.get(), buf, sizeof buf, MSG_DONTWAIT);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return;
        if (n == 0) {
            drop("closed by the reflector");
            return;
        }
        if (n < 0) {
            drop(std::string("receive failed: ") + std::strerror(errno));
            return;
        }
        frames_.feed(buf, static_cast<size_t>(n));
        std::vector<uint8_t> frame;
        for (;;) {
            FrameReader::Result r = frames_.next(frame);
            if (r == FrameReader::need_more)
                break;
            if (r == FrameReader::too_long) {
                drop("protocol error: a frame of " + std::to_string(frames_.announced()) +
                     " bytes, over the limit of " + std::to_string(frames_.limit()));
                return;
            }
            on_frame(frame, now);
            if (!tcp_.valid())
                return;
        }
    }
}

void ReflectorLink::on_frame(const std::vector<uint8_t> &frame, clock::time_point now)
{
    tcp_rx_deadline_ = now + cfg_.tcp_silence;
    Message m;
    if (!decode_message(frame.data(), frame.size(), m)) {
        uint16_t type = frame.size() >= 2 ? static_cast<uint16_t>(frame[0] << 8 | frame[1]) : 0;
        drop("protocol error: a malformed " + std::string(message_name(type)) + " message (" +
             std::to_string(frame.size()) + " bytes)");
        return;
    }
    if (m.type > msg_server_info && st_.state != State::connected) {
        drop(std::string("protocol error: ") + message_name(m.type) + " before the login was accepted");
        return;
    }
    switch (m.type) {
    case msg_heartbeat:
        return;
    case msg_error:
        if (st_.state == State::connected)
            drop("the reflector reported an error: " + printable(m.text));
        else
            drop("login refused by the reflector: " + printable(m.text) +
                 " (check --reflector-node and --reflector-key)");
        return;
    case msg_auth_challenge: {
        if (st_.state != State::logging_in || step_ != Step::challenge) {
            drop("protocol error: an unexpected AuthChallenge");
            return;
        }
        if (m.bytes.size() != challenge_size) {
            drop("protocol error: a challenge of " + std::to_string(m.bytes.size()) + " bytes");
            return;
        }
        uint8_t digest[digest_size];
        if (!auth_digest(cfg_.key, m.bytes.data(), digest)) {
            drop("cannot compute the login digest");
            return;
        }
        step_ = Step::auth_ok;
        send_tcp(build_auth_response(cfg_.callsign, digest), now);
        return;
    }
    case msg_auth_ok:
        if (st_.state != State::logging_in || step_ != Step::auth_ok) {
            drop("protocol error: an unexpected AuthOk");
            return;
        }
        step_ = Step::server_info;
        frames_.set_limit(max_frame_after_login);
        return;
    case msg_server_info:
        if (st_.state != State::logging_in || step_ != Step::server_info) {
            drop("protocol error: an unexpected ServerInfo");
            return;
        }
        on_server_info(m, now);
        return;
    case msg_node_list:
        st_.nodes = m.nodes;
        return;
    case msg_node_joined:
        if (std::find(st_.nodes.begin(), st_.nodes.end(), m.text) == st_.nodes.end())
            st_.nodes.push_back(m.text);
        say("reflector: node joined: " + printable(m.text));
        return;
    case msg_node_left:
        st_.nodes.erase(std::remove(st_.nodes.begin(), st_.nodes.end(), m.text), st_.nodes.end());
        say("reflector: node left: " + printable(m.text));
        return;
    case msg_talker_start:
        st_.talker = m.text;
        say("reflector: talker start: " + printable(m.text));
        post([this, c = m.text] { listener_.talker_start(c); });
        return;
    case msg_talker_stop:
        if (st_.talker == m.text)
            st_.talker.clear();
        say("reflector: talker stop: " + printable(m.text));
        post([this, c = m.text] { listener_.talker_stop(c); });
        return;
    default:
        // Newer reflectors add messages; like the peer, this side skips what it
        // does not know.
        st_.ignored_in++;
        return;
    }
}

void ReflectorLink::on_server_info(const Message &m, clock::time_point now)
{
    st_.client_id = m.client_id;
    st_.nodes = m.nodes;
    st_.codec.clear();
    st_.codec_supported = false;
    for (const std::string &c : m.codecs) {
        if (codec_supported(c)) {
            st_.codec = c;
            st_.codec_supported = true;
            break;
        }
    }
    if (!st_.codec_supported && !m.codecs.empty())
        st_.codec = m.codecs.front();
    sockaddr_in to{};
    socklen_t len = sizeof to;
    udp_.reset(::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    // The reflector takes voice only from the address of the TCP link, on its
    // port number: the datagram socket goes to the same peer.
    if (!udp_.valid() || ::getpeername(tcp_.get(), reinterpret_cast<sockaddr *>(&to), &len) != 0 ||
        ::connect(udp_.get(), reinterpret_cast<sockaddr *>(&to), sizeof to) != 0) {
        drop(std::string("no voice socket: ") + std::strerror(errno));
        return;
    }
    st_.state = State::connected;
    st_.logins++;
    st_.talker.clear();
    st_.problem.clear();
    failures_ = 0;
    udp_tx_seq_ = 0;
    udp_rx_seq_ = 0;
    udp_rx_deadline_ = now + cfg_.udp_silence;
    // The first datagram tells the reflector where this node's voice port is.
    send_udp_locked(build_udp(udp_heartbeat, static_cast<uint16_t>(st_.client_id), udp_tx_seq_++));
    udp_tx_at_ = now + cfg_.udp_heartbeat;
    std::string codec = st_.codec_supported
                            ? "codec " + st_.codec
                            : "no codec this side knows (" +
                                  (m.codecs.empty() ? std::string("none") : join(m.codecs)) + "), no voice";
    say("reflector: logged in to " + where() + " as " + cfg_.callsign + " (client id " +
        std::to_string(st_.client_id) + "), " + codec + ", nodes: " + printable(join(st_.nodes)));
    post([this, c = st_.codec_supported ? st_.codec : std::string()] { listener_.link_up(c); });
}

void ReflectorLink::read_udp(clock::time_point now)
{
    uint8_t buf[2048];
    for (int i = 0; i < reads_per_wake && udp_.valid(); i++) {
        ssize_t n = ::recv(udp_.get(), buf, sizeof buf, MSG_DONTWAIT | MSG_TRUNC);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return; // EAGAIN, or an ICMP error of an earlier datagram
        if (static_cast<size_t>(n) > sizeof buf) {
            st_.bad_in++;
            continue;
        }
        on_datagram(buf, static_cast<size_t>(n), now);
    }
}

void ReflectorLink::on_datagram(const uint8_t *data, size_t size, clock::time_point now)
{
    UdpMessage m;
    if (!decode_udp(data, size, m) || m.client_id != static_cast<uint16_t>(st_.client_id)) {
        st_.bad_in++;
        return;
    }
    // As the peer does: a frame from before the expected one is dropped, a
    // gap is counted and skipped.
    uint16_t ahead = static_cast<uint16_t>(m.seq - udp_rx_seq_);
    if (ahead > 0x7FFF) {
        st_.bad_in++;
        return;
    }
    st_.lost_in += ahead;
    udp_rx_seq_ = static_cast<uint16_t>(m.seq + 1);
    udp_rx_deadline_ = now + cfg_.udp_silence;
    switch (m.type) {
    case udp_audio:
        if (m.audio.empty())
            return;
        st_.audio_in++;
        post([this, a = std::move(m.audio)] { listener_.audio(a.data(), a.size()); });
        return;
    case udp_flush_samples:
        post([this] { listener_.end_of_stream(); });
        return;
    case udp_heartbeat:
    case udp_all_samples_flushed:
        return;
    default:
        st_.ignored_in++;
        return;
    }
}

void ReflectorLink::timers(clock::time_point now)
{
    switch (st_.state) {
    case State::connecting:
        if (now >= connect_deadline_)
            drop("no answer to the connection within " + seconds_text(cfg_.connect_timeout));
        return;
    case State::logging_in:
        if (now >= login_deadline_)
            drop("no login within " + seconds_text(cfg_.login_timeout));
        else if (now >= tcp_rx_deadline_)
            drop("nothing from the reflector for " + seconds_text(cfg_.tcp_silence));
        else if (now >= tcp_tx_at_)
            send_tcp(build_heartbeat(), now);
        return;
    case State::connected:
        if (now >= tcp_rx_deadline_) {
            drop("no heartbeat from the reflector for " + seconds_text(cfg_.tcp_silence));
            return;
        }
        if (now >= udp_rx_deadline_) {
            drop("no datagram from the reflector for " + seconds_text(cfg_.udp_silence));
            return;
        }
        if (now >= tcp_tx_at_)
            send_tcp(build_heartbeat(), now);
        if (st_.state == State::connected && now >= udp_tx_at_) {
            send_udp_locked(build_udp(udp_heartbeat, static_cast<uint16_t>(st_.client_id), udp_tx_seq_++));
            udp_tx_at_ = now + cfg_.udp_heartbeat;
        }
        return;
    case State::waiting:
        if (now >= retry_at_)
            begin_attempt(now);
        return;
    case State::stopped:
        return;
    }
}

void ReflectorLink::drop(const std::string &why)
{
    bool was_up = st_.state == State::connected;
    tcp_.reset();
    udp_.reset();
    tx_.clear();
    frames_.reset();
    st_.talker.clear();
    st_.problem = why;
    st_.state = State::waiting;
    auto wait = cfg_.backoff_first;
    for (unsigned i = 0; i < failures_ && wait < cfg_.backoff_max; i++)
        wait *= 2;
    wait = std::min(wait, cfg_.backoff_max);
    failures_++;
    retry_at_ = clock::now() + wait;
    say("reflector: " + why + "; next attempt in " + seconds_text(wait));
    if (was_up)
        post([this] { listener_.link_down(); });
}

bool ReflectorLink::send_udp_locked(const std::vector<uint8_t> &datagram)
{
    if (!udp_.valid())
        return false;
    return ::send(udp_.get(), datagram.data(), datagram.size(), MSG_DONTWAIT | MSG_NOSIGNAL) ==
           static_cast<ssize_t>(datagram.size());
}

bool ReflectorLink::send_audio(const uint8_t *data, size_t size)
{
    if (size == 0 || size > max_udp_audio)
        return false;
    std::lock_guard<std::mutex> g(lock_);
    if (st_.state != State::connected)
        return false;
    bool ok =
        send_udp_locked(build_udp_audio(static_cast<uint16_t>(st_.client_id), udp_tx_seq_++, data, size));
    udp_tx_at_ = clock::now() + cfg_.udp_heartbeat;
    if (ok)
        st_.audio_out++;
    return ok;
}

bool ReflectorLink::send_flush()
{
    std::lock_guard<std::mutex> g(lock_);
    if (st_.state != State::connected)
        return false;
    udp_tx_at_ = clock::now() + cfg_.udp_heartbeat;
    return send_udp_locked(build_udp(udp_flush_samples, static_cast<uint16_t>(st_.client_id), udp_tx_seq_++));
}

} // namespace reflector
