// A node's link to an SvxReflector: the TCP control connection (protocol 1.0,
// HMAC-SHA1 login, heartbeats) and the UDP path for the voice. One thread
// connects, logs in, keeps both paths alive and reconnects after a back-off
// when the reflector goes away or stops answering. Events go to a listener on
// that thread; audio is sent from any thread.
#pragma once

#include "base/unique_fd.h"
#include "tools/gatesimd/reflector/reflector_frame.h"
#include "tools/gatesimd/reflector/reflector_msg.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace reflector
{

struct LinkConfig {
    std::string host; // dotted IPv4 or a host name
    int port = 5300;  // TCP, and UDP on the same number
    std::string callsign;
    std::string key;
    // The peer's own timings: a heartbeat after 10 s without sending on TCP
    // and 15 s on UDP; the link is given up after 15 s without a frame or 60 s
    // without a datagram.
    std::chrono::milliseconds connect_timeout{5000};
    std::chrono::milliseconds login_timeout{15000};
    std::chrono::milliseconds tcp_heartbeat{10000};
    std::chrono::milliseconds tcp_silence{15000};
    std::chrono::milliseconds udp_heartbeat{15000};
    std::chrono::milliseconds udp_silence{60000};
    // The wait before the next attempt: `backoff_first`, doubled after each
    // failure up to `backoff_max`; a login that succeeds starts again.
    std::chrono::milliseconds backoff_first{1000};
    std::chrono::milliseconds backoff_max{30000};
};

// Called on the link's thread, never with the link's lock held: a listener
// may send from inside.
class LinkListener
{
  public:
    virtual ~LinkListener() = default;
    // Logged in. `codec` is the reflector's codec when this side can code it,
    // else "" (the link stays up, without voice).
    virtual void link_up(const std::string &codec) = 0;
    virtual void link_down() = 0;
    virtual void talker_start(const std::string &callsign) = 0;
    virtual void talker_stop(const std::string &callsign) = 0;
    // One packet of the reflector's talker, in the reflector's codec.
    virtual void audio(const uint8_t *data, size_t size) = 0;
    // The talker's stream ended.
    virtual void end_of_stream() = 0;
};

class ReflectorLink
{
  public:
    using clock = std::chrono::steady_clock;
    enum class State { stopped, connecting, logging_in, connected, waiting };

    struct Status {
        State state = State::stopped;
        std::string codec; // as the reflector names it ("" before the login)
        bool codec_supported = false;
        uint32_t client_id = 0;
        std::vector<std::string> nodes;
        std::string talker;  // "" when nobody talks
        std::string problem; // why the last attempt or link ended
        unsigned attempts = 0, logins = 0;
        uint64_t audio_in = 0, audio_out = 0, lost_in = 0, bad_in = 0, ignored_in = 0;
    };
    using Say = std::function<void(const std::string &line)>;

    // Lines (without a newline) go to `say`, on the link's thread.
    ReflectorLink(LinkConfig cfg, LinkListener &listener, Say say);
    ~ReflectorLink();
    ReflectorLink(const ReflectorLink &) = delete;
    ReflectorLink &operator=(const ReflectorLink &) = delete;

    bool start(std::string &error);
    // Closes the link and joins the thread; no listener call after it.
    void stop();

    // To the reflector while logged in; false otherwise or when the datagram
    // could not go out.
    bool send_audio(const uint8_t *data, size_t size);
    bool send_flush();

    Status status() const;
    const LinkConfig &config() const { return cfg_; }
    static const char *state_name(State s);

  private:
    enum class Step { challenge, auth_ok, server_info };

    void run();
    void begin_attempt(clock::time_point now);
    void finish_connect(clock::time_point now);
    void read_tcp(clock::time_point now);
    void read_udp(clock::time_point now);
    void on_frame(const std::vector<uint8_t> &frame, clock::time_point now);
    void on_server_info(const Message &m, clock::time_point now);
    void on_datagram(const uint8_t *data, size_t size, clock::time_point now);
    void timers(clock::time_point now);
    void send_tcp(const std::vector<uint8_t> &frame, clock::time_point now);
    void flush_tcp();
    bool send_udp_locked(const std::vector<uint8_t> &datagram);
    // Ends the connection and waits for the next attempt.
    void drop(const std::string &why);
    int poll_timeout(clock::time_point now) const;
    void post(std::function<void()> f) { pending_.push_back(std::move(f)); }
    void say(const std::string &line);
    std::string where() const;

    LinkConfig cfg_;
    LinkListener &listener_;
    Say say_;

    mutable std::mutex lock_; // guards everything below
    UniqueFd wake_;           // eventfd: stop
    bool stopping_ = false;
    std::thread thread_;
    std::vector<std::function<void()>> pending_; // listener calls and lines, run without the lock

    UniqueFd tcp_, udp_;
    FrameReader frames_{max_frame_before_login};
    std::vector<uint8_t> tx_;
    Step step_ = Step::challenge;
    unsigned failures_ = 0;
    uint16_t udp_tx_seq_ = 0, udp_rx_seq_ = 0;
    clock::time_point connect_deadline_, login_deadline_, tcp_rx_deadline_, tcp_tx_at_, udp_rx_deadline_,
        udp_tx_at_, retry_at_;
    Status st_;
};

} // namespace reflector
