// Base64 with the standard alphabet and "=" padding, as the XML documents
// carry serial payloads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Groups of three bytes become four characters; a last group of one or two
// bytes is padded with "==" or "=". Empty input gives an empty text.
std::string base64_encode(const uint8_t *data, size_t length);

// Decodes groups of four characters and stops, without error, at the first
// "=" or the first character outside the alphabet. A last group of two or
// three characters gives one or two bytes; a single leftover one gives none.
std::string base64_decode(const std::string &text);
