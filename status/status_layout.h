// The status file "/run/gwlinkd.status": gwlinkd writes it, gwwebd (and any
// other reader) maps it read-only. Fixed offsets, every field a 32-bit
// little-endian word, encoded and decoded byte by byte.
//
//   0    "GWST"            magic
//   4    layout version    1; readers refuse others
//   8    status sequence   odd while the record is being written
//   12   record            status_record_size bytes, the fields below
//   256  log sequence      odd while a log line is being added
//   260  log total         bytes ever added to the ring (wraps)
//   264  log ring          log_ring_size bytes of standard output
//
// New fields go after the last one, in the reserved space; a field's offset
// never changes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace gw_status
{

constexpr char status_path[] = "/run/gwlinkd.status";

constexpr uint32_t layout_version = 1;
constexpr size_t magic_offset = 0;
constexpr size_t version_offset = 4;
constexpr size_t status_seq_offset = 8;
constexpr size_t record_offset = 12;
constexpr size_t record_size = 244;
constexpr size_t log_seq_offset = 256;
constexpr size_t log_total_offset = 260;
constexpr size_t log_ring_offset = 264;
constexpr size_t log_ring_size = 8192; // a power of two: the total may wrap
constexpr size_t file_size = log_ring_offset + log_ring_size;

struct status_record {
    uint32_t pid = 0;
    uint32_t written_mono_ms = 0; // CLOCK_MONOTONIC at the write, ms (wraps)
    uint32_t written_unix = 0;
    uint32_t started_unix = 0;
    uint32_t radio_type = 0;
    uint32_t codec = 0;
    uint32_t crypto_mode = 0;
    uint32_t link_state = 0;
    uint32_t server_ip = 0; // network order: the four octets in dotted order
    uint32_t server_port = 0;
    uint32_t link_age_s = 0; // seconds in the current link state
    uint32_t connect_attempts = 0;
    uint32_t logins = 0;
    uint32_t link_losses = 0;
    uint32_t ptt = 0;
    uint32_t squelch = 0;
    uint32_t remote_ptt = 0;
    uint32_t gpio = 0;
    uint32_t tx_packets = 0;
    uint32_t rx_packets = 0;
    uint32_t rx_late = 0;
    uint32_t rx_lost = 0;
    uint32_t rx_dropped = 0;
    uint32_t jitter_depth = 0;
    uint32_t jitter_capacity = 0;
    uint32_t underruns = 0;
    uint32_t volume = 0;
    uint32_t amp_muted = 0;
    // Kept for the backup server and the voice alarm: 0 main / 1 backup, and
    // 1 while voice is missing on an open squelch.
    uint32_t server_in_use = 0;
    uint32_t voice_alarm = 0;
    // Loudspeaker and microphone peak levels, 0-100; 0xFFFFFFFF = not measured.
    uint32_t speaker_level = 0xFFFFFFFF;
    uint32_t mic_level = 0xFFFFFFFF;
};

// Byte offset of each field within the record (add record_offset for the file).
namespace field
{
constexpr size_t pid = 0, written_mono_ms = 4, written_unix = 8, started_unix = 12, radio_type = 16,
                 codec = 20, crypto_mode = 24, link_state = 28, server_ip = 32, server_port = 36,
                 link_age_s = 40, connect_attempts = 44, logins = 48, link_losses = 52, ptt = 56,
                 squelch = 60, remote_ptt = 64, gpio = 68, tx_packets = 72, rx_packets = 76, rx_late = 80,
                 rx_lost = 84, rx_dropped = 88, jitter_depth = 92, jitter_capacity = 96, underruns = 100,
                 volume = 104, amp_muted = 108, server_in_use = 112, voice_alarm = 116, speaker_level = 120,
                 mic_level = 124;
constexpr size_t end = 128;
} // namespace field

void encode(const status_record &rec, uint8_t out[record_size]);
status_record decode(const uint8_t in[record_size]);

const char *link_state_name(uint32_t state);

} // namespace gw_status
