#include "wire/xml_frame.h"

#include "base/byteorder.h"

namespace xml_frame
{

void encode_header(uint32_t text_length, uint8_t out[header_size])
{
    bytes::put_le32(out, text_length);
    bytes::put_le32(out + 4, 0);
}

uint32_t decode_length(const uint8_t header[header_size])
{
    return bytes::get_le32(header);
}

std::string encode(const std::string &text)
{
    uint8_t header[header_size];
    encode_header(static_cast<uint32_t>(text.size()), header);
    std::string out(reinterpret_cast<const char *>(header), header_size);
    out += text;
    return out;
}

} // namespace xml_frame
