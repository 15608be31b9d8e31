// What the running gateway is doing, kept where it happens: the links, the
// voice threads, the GPIO poll and the amplifier store into these, and the
// supervision loop copies them into the status file. Relaxed atomics only:
// nothing here orders, locks or blocks the threads that write them, and every
// counter has one writing thread, so a bump is a plain load and store (no
// read-modify-write, which ARMv5 has no instruction for).
#pragma once

#include <atomic>
#include <cstdint>

namespace gw_status
{

enum link_state : uint32_t {
    link_idle = 0,       // not started, or between attempts
    link_connecting = 1, // connecting the TCP (or TLS) stream
    link_connected = 2,  // stream up, login under way
    link_logged_in = 3,
};

struct LiveStatus {
    std::atomic<uint32_t> link_state{link_idle};
    std::atomic<uint32_t> server_ip{0}; // network order
    std::atomic<uint32_t> server_port{0};
    std::atomic<uint32_t> server_in_use{0}; // 0 the main server, 1 the backup
    std::atomic<uint32_t> link_since_s{0};  // monotonic seconds of the last state change
    std::atomic<uint32_t> connect_attempts{0};
    std::atomic<uint32_t> logins{0};
    std::atomic<uint32_t> link_losses{0};

    std::atomic<uint32_t> ptt{0};        // the voice engine transmits
    std::atomic<uint32_t> squelch{0};    // last squelch value from the server
    std::atomic<uint32_t> remote_ptt{0}; // last PTT event from the server
    std::atomic<uint32_t> gpio{0};       // last logical GPIO word polled

    std::atomic<uint32_t> tx_packets{0};
    std::atomic<uint32_t> rx_packets{0};
    std::atomic<uint32_t> rx_late{0};
    std::atomic<uint32_t> rx_lost{0};
    std::atomic<uint32_t> rx_dropped{0};
    std::atomic<uint32_t> jitter_in{0};  // packets the jitter buffer took
    std::atomic<uint32_t> jitter_out{0}; // packets it handed out
    std::atomic<uint32_t> jitter_capacity{0};
    std::atomic<uint32_t> underruns{0};

    std::atomic<uint32_t> volume{50};
    std::atomic<uint32_t> amp_muted{0};

    std::atomic<uint32_t> voice_alarm{0}; // raised by the voice alarm
};

LiveStatus &live();

// A counter with one writing thread.
inline void bump(std::atomic<uint32_t> &counter, uint32_t n = 1)
{
    counter.store(counter.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
}

inline void put(std::atomic<uint32_t> &field, uint32_t value)
{
    field.store(value, std::memory_order_relaxed);
}

inline uint32_t get(const std::atomic<uint32_t> &field)
{
    return field.load(std::memory_order_relaxed);
}

// Link transitions, from the link's own thread.
void note_connecting(uint32_t server_ip, uint32_t server_port, bool backup = false);
void note_connected();
void note_logged_in();
void note_link_down();

uint32_t monotonic_seconds();

} // namespace gw_status
