// Framing of the XML server link, both directions: a 4-byte little-endian text
// length, 4 bytes that are zero on sending and ignored on receipt, then the
// document text without a terminating NUL.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace xml_frame
{

constexpr size_t header_size = 8;
// The receive buffer holds 8192 bytes: a longer announced text is a protocol
// error that drops the connection.
constexpr uint32_t max_text = 8191;

void encode_header(uint32_t text_length, uint8_t out[header_size]);
// The announced text length (which may exceed max_text).
uint32_t decode_length(const uint8_t header[header_size]);
// Header and text as one buffer, for peers that send a frame in one write.
std::string encode(const std::string &text);

} // namespace xml_frame
