#include "status/status_publisher.h"

#include <time.h>
#include <unistd.h>

namespace gw_status
{

StatusPublisher::StatusPublisher(StatusMap *map, uint32_t radio_type, uint32_t codec, uint32_t crypto_mode)
    : map_(map)
{
    fixed_.pid = static_cast<uint32_t>(::getpid());
    fixed_.started_unix = static_cast<uint32_t>(::time(nullptr));
    fixed_.radio_type = radio_type;
    fixed_.codec = codec;
    fixed_.crypto_mode = crypto_mode;
    // A link not started yet has been idle since the daemon started, not
    // since the machine did.
    LiveStatus &s = live();
    if (get(s.link_since_s) == 0)
        put(s.link_since_s, monotonic_seconds());
}

status_record StatusPublisher::snapshot() const
{
    const LiveStatus &s = live();
    status_record r = fixed_;
    timespec mono{};
    ::clock_gettime(CLOCK_MONOTONIC, &mono);
    r.written_mono_ms =
        static_cast<uint32_t>(mono.tv_sec * 1000u + static_cast<uint32_t>(mono.tv_nsec / 1000000));
    r.written_unix = static_cast<uint32_t>(::time(nullptr));
    r.link_state = get(s.link_state);
    r.server_ip = get(s.server_ip);
    r.server_port = get(s.server_port);
    r.link_age_s = static_cast<uint32_t>(mono.tv_sec) - get(s.link_since_s);
    r.connect_attempts = get(s.connect_attempts);
    r.logins = get(s.logins);
    r.link_losses = get(s.link_losses);
    r.ptt = get(s.ptt);
    r.squelch = get(s.squelch);
    r.remote_ptt = get(s.remote_ptt);
    r.gpio = get(s.gpio);
    r.tx_packets = get(s.tx_packets);
    r.rx_packets = get(s.rx_packets);
    r.rx_late = get(s.rx_late);
    r.rx_lost = get(s.rx_lost);
    r.rx_dropped = get(s.rx_dropped);
    // Taken out before put in, so the difference never goes below zero.
    const uint32_t out = get(s.jitter_out);
    r.jitter_depth = get(s.jitter_in) - out;
    r.jitter_capacity = get(s.jitter_capacity);
    r.underruns = get(s.underruns);
    r.volume = get(s.volume);
    r.amp_muted = get(s.amp_muted);
    r.server_in_use = get(s.server_in_use);
    r.voice_alarm = get(s.voice_alarm);
    return r;
}

void StatusPublisher::publish()
{
    uint8_t record[record_size];
    encode(snapshot(), record);
    map_->publish(record);
}

} // namespace gw_status
