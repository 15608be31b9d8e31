// RtpPacket: one RTP voice packet (fixed 12-byte header, no CSRC list, no
// extension). The header is kept exactly as on the wire, in network byte
// order, so serialising is two copies. The slot order is fixed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

class RtpPacket
{
  public:
    static constexpr uint32_t kHeaderSize = 12;
    static constexpr uint8_t kVersionByte = 0x80;

    // Copies the payload; the marker bit is cleared from the payload type.
    RtpPacket(const uint8_t *payload, uint32_t payloadSize, int payloadType, uint16_t sequenceNumber,
              uint32_t timestamp, uint32_t ssrc, uint32_t extra1, uint32_t extra2);
    virtual ~RtpPacket() = default;

    RtpPacket(const RtpPacket &) = delete;
    RtpPacket &operator=(const RtpPacket &) = delete;

    virtual uint8_t *getPayload() { return payload.get(); }
    virtual uint32_t getPayloadSize() { return payloadSize; }
    virtual int getPayloadType() { return header[1]; }
    virtual void setPayloadType(int value);
    virtual uint16_t getSequenceNumber();
    virtual void setSequenceNumber(uint16_t value);
    virtual uint32_t getTimestamp();
    virtual void setTimestamp(uint32_t value);
    virtual uint32_t getSsrc();
    virtual void setSsrc(uint32_t value);
    virtual uint32_t getExtra1() { return extra1; }
    virtual uint32_t getExtra2() { return extra2; }
    virtual const uint8_t *getHeader() { return header; }
    virtual uint32_t getHeaderSize() { return kHeaderSize; }
    virtual uint32_t getPacketSize() { return getHeaderSize() + payloadSize; }
    // out must hold getPacketSize() bytes.
    virtual void serialize(uint8_t *out);

    // A received datagram as a packet: the payload is everything after the
    // 12-byte header whatever the padding, extension and CSRC bits say. Null
    // when the datagram is shorter than a header or is not RTP version 2.
    static RtpPacket *fromDatagram(const uint8_t *data, size_t length);

    // The hello packet that announces a gateway to its remote party: payload
    // type 8, sequence 0, timestamp 0, and a payload of payloadSize bytes that
    // is zero except for the sync number, least significant byte first.
    static RtpPacket *makeHello(uint32_t payloadSize, uint32_t syncNumber);

  private:
    std::unique_ptr<uint8_t[]> payload;
    uint32_t payloadSize;
    uint32_t extra1;
    uint32_t extra2;
    uint8_t header[kHeaderSize];
};
