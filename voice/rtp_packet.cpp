#include "voice/rtp_packet.h"

#include "base/byteorder.h"

#include <cstring>

RtpPacket::RtpPacket(const uint8_t *data, uint32_t size, int payloadType, uint16_t sequenceNumber,
                     uint32_t timestamp, uint32_t ssrc, uint32_t extraOne, uint32_t extraTwo)
    : payload(new uint8_t[size]), payloadSize(size), extra1(extraOne), extra2(extraTwo), header{}
{
    if (size)
        memcpy(payload.get(), data, size);
    header[0] = kVersionByte;
    setPayloadType(payloadType);
    setSequenceNumber(sequenceNumber);
    setTimestamp(timestamp);
    setSsrc(ssrc);
}

void RtpPacket::setPayloadType(int value)
{
    header[1] = static_cast<uint8_t>(value & 0x7F);
}

uint16_t RtpPacket::getSequenceNumber()
{
    return bytes::get_be16(header + 2);
}

void RtpPacket::setSequenceNumber(uint16_t value)
{
    bytes::put_be16(header + 2, value);
}

uint32_t RtpPacket::getTimestamp()
{
    return bytes::get_be32(header + 4);
}

void RtpPacket::setTimestamp(uint32_t value)
{
    bytes::put_be32(header + 4, value);
}

uint32_t RtpPacket::getSsrc()
{
    return bytes::get_be32(header + 8);
}

void RtpPacket::setSsrc(uint32_t value)
{
    bytes::put_be32(header + 8, value);
}

void RtpPacket::serialize(uint8_t *out)
{
    memcpy(out, header, getHeaderSize());
    if (payloadSize)
        memcpy(out + getHeaderSize(), payload.get(), payloadSize);
}

RtpPacket *RtpPacket::fromDatagram(const uint8_t *data, size_t length)
{
    if (length < kHeaderSize || length - kHeaderSize > UINT32_MAX)
        return nullptr;
    if ((data[0] & 0xC0) != kVersionByte)
        return nullptr;
    return new RtpPacket(data + kHeaderSize, static_cast<uint32_t>(length - kHeaderSize), data[1],
                         bytes::get_be16(data + 2), bytes::get_be32(data + 4), bytes::get_be32(data + 8), 0,
                         0);
}

RtpPacket *RtpPacket::makeHello(uint32_t payloadSize, uint32_t syncNumber)
{
    std::unique_ptr<uint8_t[]> body(new uint8_t[payloadSize]());
    uint8_t sync[4];
    bytes::put_le32(sync, syncNumber);
    memcpy(body.get(), sync, payloadSize < 4 ? payloadSize : 4);
    return new RtpPacket(body.get(), payloadSize, 8, 0, 0, syncNumber, 0, 0);
}
