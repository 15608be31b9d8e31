// The 136-byte configuration record of "/config/main.cfg" and the 36-byte items
// of "/config/blocked.cfg": layout, byte-by-byte encoding and the rules for
// accepting older record versions. No file access here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace config_format
{

constexpr size_t record_size = 136;
// Versions '0' and '1' lack the trailing mask field.
constexpr size_t record_size_old = 132;
constexpr size_t string_field_size = 32;

constexpr size_t blocked_item_size = 36;
constexpr size_t blocked_max_items = 128;
constexpr size_t blocked_max_size = blocked_item_size * blocked_max_items;
// Offset of the user name within a blocked-list item.
constexpr size_t blocked_name_offset = 4;

// Field offsets within the record.
enum : size_t {
    off_ver = 0,
    off_ip = 4,
    off_gw = 8,
    off_dns = 12,
    off_remote_ip = 16,
    off_remote_port = 20,
    off_remote_user = 24,
    off_remote_passwd = 56,
    off_buffers = 88,
    off_passwd = 92,
    off_radio_type = 124,
    off_crypto_mode = 128,
    off_mask = 132,
};

// radio_type values.
enum : int32_t {
    radio_gm360 = 1,
    radio_dm3000 = 2,
    radio_xcmp = 3,
    radio_mtetra = 4,
    radio_nx5xxx = 5,
    radio_nx700 = 6,
};

// The record decoded into named fields. Addresses are IPv4 values in network
// byte order, as inet_addr() produces them and sockaddr_in expects them.
// Strings hold the field up to its first NUL and never more than 32 bytes.
struct config_record {
    char ver = 0;
    uint32_t ip = 0;
    uint32_t gw = 0;
    uint32_t dns = 0;
    uint32_t remote_ip = 0;
    int32_t remote_port = 0;
    std::string remote_user;
    std::string remote_passwd;
    int32_t buffers = 0;
    std::string passwd;
    int32_t radio_type = 0;
    int32_t crypto_mode = 0;
    uint32_t mask = 0;
};

// Strings longer than 32 bytes are cut to the field; a string of exactly 32
// bytes fills the field without a terminating NUL.
void encode(const config_record &rec, uint8_t out[record_size]);
config_record decode(const uint8_t in[record_size]);

// The factory record that create_default writes.
config_record default_record();

// Turns the bytes read from "/config/main.cfg" into a current (version '2')
// record image: 136 bytes must carry '2'; 132 bytes carry '1' (mask becomes 0)
// or '0' (radio_type 1, crypto_mode 0, mask 0); a stored buffers value of 0
// becomes 4. Anything else is refused with -1 and leaves `out` untouched.
int upgrade(const uint8_t *data, size_t length, uint8_t out[record_size]);

// The text that class_config::print writes: one "name:value" line per field,
// "mask" only when it is not 0, then an empty line.
std::string format(const uint8_t rec[record_size]);

// Dotted-quad form of an address stored in network byte order, as inet_ntoa.
std::string dotted(uint32_t network_order_addr);

// The user name of a 36-byte blocked-list item, up to its NUL and never past
// the 32-byte field.
std::string blocked_item_name(const uint8_t item[blocked_item_size]);

// Whether a blocked-list file of this size may be loaded: 1 to 128 whole items.
bool blocked_size_valid(uint64_t size);

} // namespace config_format
