// The record of "/config/extra.cfg": the settings of the features beyond the
// three classic files (a backup server, the transmit time-out, the voice
// alarm). Layout, byte-by-byte encoding and the range of every field; no file
// access here. A gateway without this file runs with all of them off.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace extra_format
{

// Version 1 is exactly this long; a later version adds fields after these.
constexpr size_t record_size = 32;
constexpr uint8_t magic[4] = {'G', 'W', 'X', 'C'};
constexpr uint32_t version = 1;

// Field offsets; integers are 32-bit little-endian, the address is in
// network order (octets in dotted order), as in "/config/main.cfg".
enum : size_t {
    off_magic = 0,
    off_version = 4,
    off_backup_ip = 8,
    off_backup_port = 12,
    off_backup_after = 16,
    off_main_retry = 20,
    off_tx_timeout = 24,
    off_voice_alarm = 28,
};

struct extra_record {
    uint32_t backup_ip = 0;   // network order; 0: no backup server
    int32_t backup_port = 0;  // 0: the main server's port
    int32_t backup_after = 3; // failed attempts at the main before the backup
    int32_t main_retry = 60;  // seconds between tries of the main from the backup
    int32_t tx_timeout = 0;   // seconds a transmission may last; 0: no limit
    int32_t voice_alarm = 0;  // seconds of missing voice before the alarm; 0: off
};

// What a gateway without the file runs with.
extra_record defaults();

// The integer fields with their names (as gwcfg and the log spell them) and
// the values a valid record may hold.
struct int_field {
    const char *name;
    size_t offset;
    int32_t extra_record::*member;
    int32_t min;
    int32_t max;
};
constexpr size_t int_field_count = 5;
extern const int_field int_fields[int_field_count];
constexpr const char *backup_ip_name = "backup_ip";

void encode(const extra_record &rec, uint8_t out[record_size]);
// Decodes a whole file's bytes: version 1, exactly record_size bytes, the
// magic, and every field in its range. 0, or -1 with `why` set and `out`
// untouched.
int decode(const uint8_t *data, size_t length, extra_record &out, std::string &why);
// Every field in its range; false with `why` naming the first one that is not.
bool valid(const extra_record &rec, std::string &why);

// "name:value" lines, one per field, in record order (gwcfg show).
std::string format(const extra_record &rec);

} // namespace extra_format
