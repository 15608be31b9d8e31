#include "gateway/config_record.h"

#include "base/byteorder.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstring>

namespace config_format
{

namespace
{

// Addresses are kept in the file in network order, i.e. octets in dotted order.
uint32_t get_addr(const uint8_t *p)
{
    return htonl(bytes::get_be32(p));
}

void put_addr(uint8_t *p, uint32_t network_order_addr)
{
    bytes::put_be32(p, ntohl(network_order_addr));
}

std::string get_string(const uint8_t *p)
{
    const char *s = reinterpret_cast<const char *>(p);
    return std::string(s, strnlen(s, string_field_size));
}

void put_string(uint8_t *p, const std::string &s)
{
    std::memset(p, 0, string_field_size);
    std::memcpy(p, s.data(), s.size() < string_field_size ? s.size() : string_field_size);
}

uint32_t inet(uint8_t a, uint8_t b, uint8_t c, uint8_t d)
{
    return htonl((uint32_t(a) << 24) | (uint32_t(b) << 16) | (uint32_t(c) << 8) | d);
}

} // namespace

void encode(const config_record &rec, uint8_t out[record_size])
{
    std::memset(out, 0, record_size);
    out[off_ver] = static_cast<uint8_t>(rec.ver);
    put_addr(out + off_ip, rec.ip);
    put_addr(out + off_gw, rec.gw);
    put_addr(out + off_dns, rec.dns);
    put_addr(out + off_remote_ip, rec.remote_ip);
    bytes::put_le32(out + off_remote_port, static_cast<uint32_t>(rec.remote_port));
    put_string(out + off_remote_user, rec.remote_user);
    put_string(out + off_remote_passwd, rec.remote_passwd);
    bytes::put_le32(out + off_buffers, static_cast<uint32_t>(rec.buffers));
    put_string(out + off_passwd, rec.passwd);
    bytes::put_le32(out + off_radio_type, static_cast<uint32_t>(rec.radio_type));
    bytes::put_le32(out + off_crypto_mode, static_cast<uint32_t>(rec.crypto_mode));
    put_addr(out + off_mask, rec.mask);
}

config_record decode(const uint8_t in[record_size])
{
    config_record rec;
    rec.ver = static_cast<char>(in[off_ver]);
    rec.ip = get_addr(in + off_ip);
    rec.gw = get_addr(in + off_gw);
    rec.dns = get_addr(in + off_dns);
    rec.remote_ip = get_addr(in + off_remote_ip);
    rec.remote_port = static_cast<int32_t>(bytes::get_le32(in + off_remote_port));
    rec.remote_user = get_string(in + off_remote_user);
    rec.remote_passwd = get_string(in + off_remote_passwd);
    rec.buffers = static_cast<int32_t>(bytes::get_le32(in + off_buffers));
    rec.passwd = get_string(in + off_passwd);
    rec.radio_type = static_cast<int32_t>(bytes::get_le32(in + off_radio_type));
    rec.crypto_mode = static_cast<int32_t>(bytes::get_le32(in + off_crypto_mode));
    rec.mask = get_addr(in + off_mask);
    return rec;
}

config_record default_record()
{
    config_record rec;
    rec.ver = '2';
    rec.ip = inet(172, 16, 0, 188);
    rec.gw = inet(172, 16, 0, 1);
    rec.dns = 0;
    rec.remote_ip = inet(172, 16, 0, 189);
    rec.remote_port = 5555;
    rec.remote_user = "user";
    rec.remote_passwd = "qzv";
    rec.buffers = 4;
    rec.passwd = "qzv";
    rec.radio_type = radio_gm360;
    rec.crypto_mode = 0;
    rec.mask = 0;
    return rec;
}

int upgrade(const uint8_t *data, size_t length, uint8_t out[record_size])
{
    uint8_t rec[record_size] = {};
    if (length == record_size) {
        std::memcpy(rec, data, record_size);
        if (rec[off_ver] != '2')
            return -1;
    } else if (length == record_size_old) {
        std::memcpy(rec, data, record_size_old);
        if (rec[off_ver] == '1') {
            rec[off_ver] = '2';
        } else if (rec[off_ver] == '0') {
            // Version 0 had neither radio types nor voice encryption.
            rec[off_ver] = '2';
            bytes::put_le32(rec + off_radio_type, radio_gm360);
            bytes::put_le32(rec + off_crypto_mode, 0);
        } else {
            return -1;
        }
        bytes::put_le32(rec + off_mask, 0);
    } else {
        return -1;
    }
    if (bytes::get_le32(rec + off_buffers) == 0)
        bytes::put_le32(rec + off_buffers, 4);
    std::memcpy(out, rec, record_size);
    return 0;
}

std::string dotted(uint32_t network_order_addr)
{
    uint32_t a = ntohl(network_order_addr);
    char buf[16];
    std::snprintf(buf, sizeof buf, "%u.%u.%u.%u", (a >> 24) & 0xFFu, (a >> 16) & 0xFFu, (a >> 8) & 0xFFu,
                  a & 0xFFu);
    return buf;
}

std::string format(const uint8_t rec_image[record_size])
{
    const config_record rec = decode(rec_image);
    std::string text;
    char line[64];
    auto add = [&text](const char *name, const std::string &value) {
        text += name;
        text += ':';
        text += value;
        text += '\n';
    };
    auto num = [&line](int32_t v) {
        std::snprintf(line, sizeof line, "%d", static_cast<int>(v));
        return std::string(line);
    };
    add("ver", std::string(1, rec.ver));
    add("ip", dotted(rec.ip));
    add("gw", dotted(rec.gw));
    add("dns", dotted(rec.dns));
    add("remote_ip", dotted(rec.remote_ip));
    add("remote_port", num(rec.remote_port));
    add("remote_user", rec.remote_user);
    add("remote_passwd", rec.remote_passwd);
    add("buffers", num(rec.buffers));
    add("passwd", rec.passwd);
    add("radio_type", num(rec.radio_type));
    add("crypto_mode", num(rec.crypto_mode));
    if (rec.mask != 0)
        add("mask", dotted(rec.mask));
    text += '\n';
    return text;
}

std::string blocked_item_name(const uint8_t item[blocked_item_size])
{
    return get_string(item + blocked_name_offset);
}

bool blocked_size_valid(uint64_t size)
{
    return size != 0 && size <= blocked_max_size && size % blocked_item_size == 0;
}

} // namespace config_format
