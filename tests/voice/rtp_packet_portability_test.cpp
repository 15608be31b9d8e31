// RTP datagrams as the board's processor reads them: at odd addresses, with the
// top bit set in every header field and payload bytes of 0x80 and above.
#include "tests/odd_buffer.h"
#include "voice/rtp_packet.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

using B = std::vector<uint8_t>;

namespace
{

B high_payload(size_t n)
{
    B p(n);
    for (size_t i = 0; i < n; ++i)
        p[i] = static_cast<uint8_t>(0x80 | i);
    return p;
}

} // namespace

TEST(RtpPacketOddAddress, HeaderFieldsWithTheTopBitSet)
{
    B datagram = {0xBF, 0x88, 0x80, 0x01, 0x80, 0x00, 0x00, 0xFF, 0xFE, 0xDC, 0xBA, 0x98};
    const B payload = high_payload(160);
    datagram.insert(datagram.end(), payload.begin(), payload.end());
    for (size_t off : odd_offsets()) {
        OddBuffer in(datagram, off);
        std::unique_ptr<RtpPacket> p(RtpPacket::fromDatagram(in.data(), in.size()));
        ASSERT_TRUE(p) << off;
        EXPECT_EQ(p->getPayloadType(), 8);
        EXPECT_EQ(p->getSequenceNumber(), 0x8001);
        EXPECT_EQ(p->getTimestamp(), 0x800000FFu);
        EXPECT_EQ(p->getSsrc(), 0xFEDCBA98u);
        ASSERT_EQ(p->getPayloadSize(), 160u);
        EXPECT_EQ(0, std::memcmp(p->getPayload(), payload.data(), payload.size()));

        OddBuffer out(B(p->getPacketSize(), 0), off + 1);
        p->serialize(out.data());
        B expect = datagram;
        expect[0] = 0x80; // a received packet is rebuilt: padding, extension and CSRC bits go
        expect[1] = 0x08; // marker dropped
        EXPECT_EQ(B(out.data(), out.data() + out.size()), expect);
    }
}

TEST(RtpPacketOddAddress, VersionBitsAreCheckedAsUnsigned)
{
    // 0x40 and 0xC0 in the version bits are versions 1 and 3: refused wherever
    // the datagram lies.
    for (uint8_t first : {0x40, 0xC0, 0xFF, 0x00, 0x7F}) {
        B datagram(12 + 20, 0x80);
        datagram[0] = first;
        OddBuffer in(datagram, 1);
        std::unique_ptr<RtpPacket> p(RtpPacket::fromDatagram(in.data(), in.size()));
        EXPECT_FALSE(p) << int(first);
    }
}

TEST(RtpPacketOddAddress, SettersWriteBigEndianWithHighValues)
{
    const B payload = high_payload(33);
    RtpPacket p(payload.data(), 33, 0xF7, 0xFFFF, 0x80808080u, 0x80000001u, 0, 0);
    EXPECT_EQ(p.getPayloadType(), 0x77);
    OddBuffer out(B(p.getPacketSize(), 0), 1);
    p.serialize(out.data());
    EXPECT_EQ(B(out.data(), out.data() + 12),
              (B{0x80, 0x77, 0xFF, 0xFF, 0x80, 0x80, 0x80, 0x80, 0x80, 0x00, 0x00, 0x01}));
    EXPECT_EQ(0, std::memcmp(out.data() + 12, payload.data(), payload.size()));
    p.setSequenceNumber(0x8000);
    EXPECT_EQ(p.getSequenceNumber(), 0x8000);
}

TEST(RtpPacketOddAddress, HelloCarriesAHighSyncNumberLeastSignificantByteFirst)
{
    std::unique_ptr<RtpPacket> p(RtpPacket::makeHello(160, 0xFF8180FEu));
    ASSERT_EQ(p->getPacketSize(), 172u);
    OddBuffer out(B(172, 0x55), 3);
    p->serialize(out.data());
    EXPECT_EQ(B(out.data(), out.data() + 16),
              (B{0x80, 0x08, 0, 0, 0, 0, 0, 0, 0xFF, 0x81, 0x80, 0xFE, 0xFE, 0x80, 0x81, 0xFF}));
    for (size_t i = 16; i < 172; ++i)
        ASSERT_EQ(out.data()[i], 0) << i;
}

TEST(RtpPacketOddAddress, ShortDatagramsAtOddAddressesAreRefused)
{
    for (size_t n = 0; n < 12; ++n) {
        OddBuffer in(B(n, 0x80), 1);
        std::unique_ptr<RtpPacket> p(RtpPacket::fromDatagram(in.data(), in.size()));
        EXPECT_FALSE(p) << n;
    }
    OddBuffer header_only(B{0x80, 0x88, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, 5);
    std::unique_ptr<RtpPacket> p(RtpPacket::fromDatagram(header_only.data(), header_only.size()));
    ASSERT_TRUE(p);
    EXPECT_EQ(p->getPayloadSize(), 0u);
    EXPECT_EQ(p->getTimestamp(), 0xFFFFFFFFu);
}
