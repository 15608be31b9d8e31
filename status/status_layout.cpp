#include "status/status_layout.h"

#include "base/byteorder.h"

#include <cstring>

namespace gw_status
{

namespace
{

struct slot {
    size_t offset;
    uint32_t status_record::*member;
};

// Every field at its fixed offset; the one table both directions use.
const slot slots[] = {
    {field::pid, &status_record::pid},
    {field::written_mono_ms, &status_record::written_mono_ms},
    {field::written_unix, &status_record::written_unix},
    {field::started_unix, &status_record::started_unix},
    {field::radio_type, &status_record::radio_type},
    {field::codec, &status_record::codec},
    {field::crypto_mode, &status_record::crypto_mode},
    {field::link_state, &status_record::link_state},
    {field::server_ip, &status_record::server_ip},
    {field::server_port, &status_record::server_port},
    {field::link_age_s, &status_record::link_age_s},
    {field::connect_attempts, &status_record::connect_attempts},
    {field::logins, &status_record::logins},
    {field::link_losses, &status_record::link_losses},
    {field::ptt, &status_record::ptt},
    {field::squelch, &status_record::squelch},
    {field::remote_ptt, &status_record::remote_ptt},
    {field::gpio, &status_record::gpio},
    {field::tx_packets, &status_record::tx_packets},
    {field::rx_packets, &status_record::rx_packets},
    {field::rx_late, &status_record::rx_late},
    {field::rx_lost, &status_record::rx_lost},
    {field::rx_dropped, &status_record::rx_dropped},
    {field::jitter_depth, &status_record::jitter_depth},
    {field::jitter_capacity, &status_record::jitter_capacity},
    {field::underruns, &status_record::underruns},
    {field::volume, &status_record::volume},
    {field::amp_muted, &status_record::amp_muted},
    {field::server_in_use, &status_record::server_in_use},
    {field::voice_alarm, &status_record::voice_alarm},
    {field::speaker_level, &status_record::speaker_level},
    {field::mic_level, &status_record::mic_level},
};

static_assert(sizeof slots / sizeof slots[0] * 4 == field::end, "every field has a slot");
static_assert(field::end <= record_size, "the record fits its space");
static_assert(record_offset + record_size == log_seq_offset, "the log follows the record");

} // namespace

void encode(const status_record &rec, uint8_t out[record_size])
{
    std::memset(out, 0, record_size);
    for (const slot &s : slots)
        bytes::put_le32(out + s.offset, rec.*s.member);
}

status_record decode(const uint8_t in[record_size])
{
    status_record rec;
    for (const slot &s : slots)
        rec.*s.member = bytes::get_le32(in + s.offset);
    return rec;
}

const char *link_state_name(uint32_t state)
{
    switch (state) {
    case 1:
        return "connecting";
    case 2:
        return "logging in";
    case 3:
        return "logged in";
    default:
        return "disconnected";
    }
}

} // namespace gw_status
