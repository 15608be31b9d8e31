// The factory configuration record as the store writes it, byte by byte.
#pragma once

#include <cstdint>
#include <vector>

inline const std::vector<uint8_t> factory_image = {
    '2',  0,    0,    0,                            // ver, reserved
    0xAC, 0x10, 0x00, 0xBC,                         // ip 172.16.0.188
    0xAC, 0x10, 0x00, 0x01,                         // gw 172.16.0.1
    0x00, 0x00, 0x00, 0x00,                         // dns
    0xAC, 0x10, 0x00, 0xBD,                         // remote_ip 172.16.0.189
    0xB3, 0x15, 0x00, 0x00,                         // remote_port 5555
    'u',  's',  'e',  'r',  0, 0, 0, 0, 0, 0, 0, 0, // remote_user
    0,    0,    0,    0,    0, 0, 0, 0, 0, 0, 0, 0, //
    0,    0,    0,    0,    0, 0, 0, 0,             //
    'q',  'z',  'v',  0,    0, 0, 0, 0, 0, 0, 0, 0, // remote_passwd
    0,    0,    0,    0,    0, 0, 0, 0, 0, 0, 0, 0, //
    0,    0,    0,    0,    0, 0, 0, 0,             //
    0x04, 0x00, 0x00, 0x00,                         // buffers
    'q',  'z',  'v',  0,    0, 0, 0, 0, 0, 0, 0, 0, // passwd
    0,    0,    0,    0,    0, 0, 0, 0, 0, 0, 0, 0, //
    0,    0,    0,    0,    0, 0, 0, 0,             //
    0x01, 0x00, 0x00, 0x00,                         // radio_type
    0x00, 0x00, 0x00, 0x00,                         // crypto_mode
    0x00, 0x00, 0x00, 0x00,                         // mask
};
