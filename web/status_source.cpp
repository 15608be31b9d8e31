#include "web/status_source.h"

#include <time.h>

namespace gwweb
{

uint32_t monotonic_ms()
{
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint32_t>(ts.tv_sec * 1000u + static_cast<uint32_t>(ts.tv_nsec / 1000000));
}

StatusView StatusSource::read()
{
    StatusView v;
    if (!map_.is_open() && map_.open_for_reading(gw_status::status_path) != 0)
        return v;
    uint8_t raw[gw_status::record_size];
    if (!map_.read_record(raw))
        return v;
    v.present = true;
    v.record = gw_status::decode(raw);
    // Both clocks are the machine's monotonic one, in wrapping milliseconds.
    v.age_ms = monotonic_ms() - v.record.written_mono_ms;
    v.running = v.record.pid != 0 && v.age_ms < stale_after_ms;
    std::string text;
    if (map_.read_log(text))
        v.log = gw_status::last_lines(text, log_lines);
    return v;
}

} // namespace gwweb
