#include "voice/rtp_packet.h"

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <vector>

namespace
{

std::vector<uint8_t> serialized(RtpPacket &packet)
{
    std::vector<uint8_t> out(packet.getPacketSize());
    packet.serialize(out.data());
    return out;
}

TEST(RtpPacketHeader, SerialisesTheFixedHeaderMostSignificantByteFirst)
{
    std::vector<uint8_t> payload(160);
    for (int i = 0; i < 160; ++i)
        payload[i] = static_cast<uint8_t>(i);
    RtpPacket packet(payload.data(), 160, 8, 0x1234, 0x89ABCDEF, 0x01020304, 0, 0);
    const std::vector<uint8_t> out = serialized(packet);
    ASSERT_EQ(out.size(), 172u);
    const std::vector<uint8_t> header(out.begin(), out.begin() + 12);
    EXPECT_EQ(header,
              (std::vector<uint8_t>{0x80, 0x08, 0x12, 0x34, 0x89, 0xAB, 0xCD, 0xEF, 0x01, 0x02, 0x03, 0x04}));
    EXPECT_EQ(std::vector<uint8_t>(out.begin() + 12, out.end()), payload);
}

TEST(RtpPacketHeader, MarkerBitIsDroppedFromThePayloadType)
{
    const uint8_t payload[1] = {0};
    RtpPacket packet(payload, 1, 0x88, 0, 0, 0, 0, 0);
    EXPECT_EQ(packet.getPayloadType(), 8);
    EXPECT_EQ(serialized(packet)[1], 0x08);
    packet.setPayloadType(0xF7);
    EXPECT_EQ(packet.getPayloadType(), 0x77);
    EXPECT_EQ(packet.getHeader()[1], 0x77);
}

TEST(RtpPacketHeader, GettersReturnWhatTheSettersStored)
{
    const uint8_t payload[3] = {1, 2, 3};
    RtpPacket packet(payload, 3, 8, 1, 2, 3, 17, 42);
    packet.setSequenceNumber(0xFFFF);
    packet.setTimestamp(0xDEADBEEF);
    packet.setSsrc(0x00C0FFEE);
    EXPECT_EQ(packet.getSequenceNumber(), 0xFFFF);
    EXPECT_EQ(packet.getTimestamp(), 0xDEADBEEFu);
    EXPECT_EQ(packet.getSsrc(), 0x00C0FFEEu);
    EXPECT_EQ(packet.getExtra1(), 17u);
    EXPECT_EQ(packet.getExtra2(), 42u);
    EXPECT_EQ(packet.getHeaderSize(), 12u);
    EXPECT_EQ(packet.getPacketSize(), 15u);
    const uint8_t *h = packet.getHeader();
    EXPECT_EQ(std::vector<uint8_t>(h, h + 12),
              (std::vector<uint8_t>{0x80, 0x08, 0xFF, 0xFF, 0xDE, 0xAD, 0xBE, 0xEF, 0x00, 0xC0, 0xFF, 0xEE}));
}

TEST(RtpPacketHeader, SequenceNumberWrapsAtSixteenBits)
{
    const uint8_t payload[1] = {0};
    uint32_t sequence = 0xFFFF;
    RtpPacket first(payload, 1, 8, static_cast<uint16_t>(sequence), 0, 0, 0, 0);
    ++sequence;
    RtpPacket second(payload, 1, 8, static_cast<uint16_t>(sequence), 0, 0, 0, 0);
    EXPECT_EQ(first.getSequenceNumber(), 0xFFFF);
    EXPECT_EQ(second.getSequenceNumber(), 0x0000);
}

TEST(RtpPacketHeader, PayloadIsACopy)
{
    std::vector<uint8_t> payload{9, 8, 7};
    RtpPacket packet(payload.data(), 3, 8, 0, 0, 0, 0, 0);
    payload[0] = 0;
    EXPECT_EQ(packet.getPayload()[0], 9);
    EXPECT_EQ(packet.getPayloadSize(), 3u);
}

TEST(RtpPacketHeader, EmptyPayloadSerialisesTheHeaderOnly)
{
    RtpPacket packet(nullptr, 0, 8, 5, 6, 7, 0, 0);
    EXPECT_EQ(serialized(packet),
              (std::vector<uint8_t>{0x80, 0x08, 0x00, 0x05, 0x00, 0x00, 0x00, 0x06, 0x00, 0x00, 0x00, 0x07}));
}

TEST(RtpPacketParse, ReadsTheHeaderFieldsAndPayload)
{
    const std::vector<uint8_t> dgram{0x80, 0x88, 0x01, 0x02, 0x00, 0x00, 0x01, 0x40,
                                     0xCA, 0xFE, 0xBA, 0xBE, 0x11, 0x22, 0x33};
    std::unique_ptr<RtpPacket> packet(RtpPacket::fromDatagram(dgram.data(), dgram.size()));
    ASSERT_TRUE(packet);
    EXPECT_EQ(packet->getPayloadType(), 8);
    EXPECT_EQ(packet->getSequenceNumber(), 0x0102);
    EXPECT_EQ(packet->getTimestamp(), 320u);
    EXPECT_EQ(packet->getSsrc(), 0xCAFEBABEu);
    ASSERT_EQ(packet->getPayloadSize(), 3u);
    EXPECT_EQ(std::vector<uint8_t>(packet->getPayload(), packet->getPayload() + 3),
              (std::vector<uint8_t>{0x11, 0x22, 0x33}));
    EXPECT_EQ(packet->getExtra1(), 0u);
    EXPECT_EQ(packet->getExtra2(), 0u);
}

TEST(RtpPacketParse, ExtensionPaddingAndCsrcBitsAreIgnored)
{
    for (uint8_t first : {0x90, 0xA0, 0xBF, 0x8F}) {
        std::vector<uint8_t> dgram(172, 0x5A);
        dgram[0] = first;
        dgram[1] = 0x08;
        std::unique_ptr<RtpPacket> packet(RtpPacket::fromDatagram(dgram.data(), dgram.size()));
        ASSERT_TRUE(packet) << int(first);
        EXPECT_EQ(packet->getPayloadSize(), 160u);
        EXPECT_EQ(packet->getPayload()[0], 0x5A);
        // Re-serialised, the packet is plain version 2 again.
        EXPECT_EQ(packet->getHeader()[0], 0x80);
    }
}

TEST(RtpPacketParse, WrongVersionIsDropped)
{
    for (uint8_t first : {0x40, 0x00, 0xC0, 0x7F}) {
        std::vector<uint8_t> dgram(172, 0);
        dgram[0] = first;
        EXPECT_EQ(RtpPacket::fromDatagram(dgram.data(), dgram.size()), nullptr) << int(first);
    }
}

TEST(RtpPacketParse, TruncatedDatagramIsDropped)
{
    const std::vector<uint8_t> dgram{0x80, 0x08, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    for (size_t n = 0; n < 12; ++n)
        EXPECT_EQ(RtpPacket::fromDatagram(dgram.data(), n), nullptr) << n;
    std::unique_ptr<RtpPacket> headerOnly(RtpPacket::fromDatagram(dgram.data(), 12));
    ASSERT_TRUE(headerOnly);
    EXPECT_EQ(headerOnly->getPayloadSize(), 0u);
}

TEST(RtpPacketParse, OversizedDatagramKeepsEveryByte)
{
    std::vector<uint8_t> dgram(2048);
    for (size_t i = 0; i < dgram.size(); ++i)
        dgram[i] = static_cast<uint8_t>(i * 31);
    dgram[0] = 0x80;
    std::unique_ptr<RtpPacket> packet(RtpPacket::fromDatagram(dgram.data(), dgram.size()));
    ASSERT_TRUE(packet);
    std::vector<uint8_t> back(packet->getPacketSize());
    packet->serialize(back.data());
    back[1] = dgram[1];
    EXPECT_EQ(back.size(), dgram.size());
    EXPECT_TRUE(std::equal(back.begin() + 2, back.end(), dgram.begin() + 2));
}

TEST(RtpPacketParse, GarbageEitherParsesToTheWholeDatagramOrIsDropped)
{
    std::mt19937 rng(3);
    for (int iter = 0; iter < 5000; ++iter) {
        std::vector<uint8_t> dgram(rng() % 260);
        for (auto &b : dgram)
            b = static_cast<uint8_t>(rng());
        std::unique_ptr<RtpPacket> packet(RtpPacket::fromDatagram(dgram.data(), dgram.size()));
        const bool valid = dgram.size() >= 12 && (dgram[0] & 0xC0) == 0x80;
        ASSERT_EQ(packet != nullptr, valid) << iter;
        if (packet) {
            ASSERT_EQ(packet->getPacketSize(), dgram.size());
            ASSERT_EQ(packet->getPayloadType(), dgram[1] & 0x7F);
        }
    }
}

TEST(RtpPacketHello, AlawHelloCarriesTheSyncNumberTwice)
{
    std::unique_ptr<RtpPacket> hello(RtpPacket::makeHello(160, 0x11223344));
    const std::vector<uint8_t> out = serialized(*hello);
    ASSERT_EQ(out.size(), 172u);
    EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + 16),
              (std::vector<uint8_t>{0x80, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x11, 0x22, 0x33, 0x44,
                                    0x44, 0x33, 0x22, 0x11}));
    for (size_t i = 16; i < out.size(); ++i)
        EXPECT_EQ(out[i], 0) << i;
}

TEST(RtpPacketHello, HelloFollowsTheCodecBlockSize)
{
    std::unique_ptr<RtpPacket> gsm(RtpPacket::makeHello(33, 7));
    EXPECT_EQ(gsm->getPacketSize(), 45u);
    std::unique_ptr<RtpPacket> tiny(RtpPacket::makeHello(2, 0xAABBCCDD));
    ASSERT_EQ(tiny->getPayloadSize(), 2u);
    EXPECT_EQ(tiny->getPayload()[0], 0xDD);
    EXPECT_EQ(tiny->getPayload()[1], 0xCC);
}

} // namespace
