// The reflector's wire format byte by byte: every message this side builds,
// every reader against truncated, oversized and garbage input, the frame
// reader's limits and the login digest.
#include "base/byteorder.h"
#include "tools/gatesimd/reflector/reflector_auth.h"
#include "tools/gatesimd/reflector/reflector_frame.h"
#include "tools/gatesimd/reflector/reflector_msg.h"
#include "tools/gatesimd/reflector/reflector_udp.h"

#include <gtest/gtest.h>

using namespace reflector;
using Bytes = std::vector<uint8_t>;

namespace
{

const uint8_t digest20[digest_size] = {0xAB, 0xAB, 0xAB, 0xAB, 0xAB, 0xAB, 0xAB, 0xAB, 0xAB, 0xAB,
                                       0xAB, 0xAB, 0xAB, 0xAB, 0xAB, 0xAB, 0xAB, 0xAB, 0xAB, 0xAB};

Bytes with(Bytes head, size_t n, uint8_t fill)
{
    head.insert(head.end(), n, fill);
    return head;
}

} // namespace

TEST(ReflectorWire, MessagesAreFramedByteForByte)
{
    struct Case {
        const char *what;
        Bytes built, want;
    } cases[] = {
        {"heartbeat", build_heartbeat(), {0, 0, 0, 2, 0, 1}},
        {"protocol 1.0", build_proto_ver(), {0, 0, 0, 6, 0, 5, 0, 1, 0, 0}},
        {"auth response", build_auth_response("N1", digest20),
         with({0, 0, 0, 28, 0, 11, 0, 2, 'N', '1', 0, 20}, 20, 0xAB)},
        {"auth ok", build_auth_ok(), {0, 0, 0, 2, 0, 12}},
        {"error", build_error("no"), {0, 0, 0, 6, 0, 13, 0, 2, 'n', 'o'}},
        {"server info",
         build_server_info(0x01020304, {"A", "BC"}, {"OPUS"}),
         {0, 0, 0, 23, 0, 100, 1, 2, 3, 4, 0, 2, 0, 1, 'A', 0, 2, 'B', 'C', 0, 1, 0, 4, 'O', 'P', 'U', 'S'}},
        {"node list", build_node_list({}), {0, 0, 0, 4, 0, 101, 0, 0}},
        {"talker start", build_callsign_msg(msg_talker_start, "X"), {0, 0, 0, 5, 0, 104, 0, 1, 'X'}},
        {"udp heartbeat", build_udp(udp_heartbeat, 7, 3), {0, 1, 0, 7, 0, 3}},
        {"udp audio",
         build_udp_audio(7, 0x1234, Bytes{1, 2, 3}.data(), 3),
         {0, 101, 0, 7, 0x12, 0x34, 0, 3, 1, 2, 3}},
        {"udp flush", build_udp(udp_flush_samples, 0xFFFF, 0xFFFF), {0, 102, 0xFF, 0xFF, 0xFF, 0xFF}},
    };
    for (const Case &c : cases)
        EXPECT_EQ(c.built, c.want) << c.what;
}

TEST(ReflectorWire, EveryMessageDecodesAndEveryShorterPrefixIsRefused)
{
    uint8_t challenge[challenge_size] = {};
    Bytes frames[] = {build_heartbeat(),
                      build_proto_ver(1, 0),
                      build_auth_challenge(challenge),
                      build_auth_response("N1", digest20),
                      build_auth_ok(),
                      build_error("Access denied"),
                      build_server_info(9, {"A", "B"}, {"GSM", "OPUS"}),
                      build_node_list({"A"}),
                      build_callsign_msg(msg_node_joined, "A"),
                      build_callsign_msg(msg_node_left, "A"),
                      build_callsign_msg(msg_talker_start, "A"),
                      build_callsign_msg(msg_talker_stop, "A")};
    for (const Bytes &f : frames) {
        const uint8_t *m = f.data() + frame_header_size;
        size_t n = f.size() - frame_header_size;
        Message out;
        ASSERT_TRUE(decode_message(m, n, out)) << message_name(bytes::get_be16(m));
        for (size_t cut = 0; cut < n; cut++)
            EXPECT_FALSE(decode_message(m, cut, out))
                << message_name(bytes::get_be16(m)) << " cut at " << cut;
    }
    Message si;
    Bytes f = build_server_info(9, {"A", "B"}, {"GSM", "OPUS"});
    ASSERT_TRUE(decode_message(f.data() + 4, f.size() - 4, si));
    EXPECT_EQ(si.client_id, 9u);
    EXPECT_EQ(si.nodes, (std::vector<std::string>{"A", "B"}));
    EXPECT_EQ(si.codecs, (std::vector<std::string>{"GSM", "OPUS"}));
}

TEST(ReflectorWire, GarbageAndOversizedCountsAreRefusedUnknownTypesAndExtraBytesAreNot)
{
    Message m;
    // A list of 65535 names in a few bytes, a name longer than the frame.
    EXPECT_FALSE(decode_message(Bytes{0, 101, 0xFF, 0xFF, 0, 1, 'A'}.data(), 7, m));
    EXPECT_FALSE(decode_message(Bytes{0, 104, 0x01, 0x00, 'A', 'B'}.data(), 6, m));
    EXPECT_FALSE(decode_message(Bytes{0, 100, 0, 0, 0, 1, 0, 1, 0xFF, 0xFF}.data(), 10, m));
    // What newer reflectors add is skipped over, not refused.
    ASSERT_TRUE(decode_message(Bytes{0x01, 0x2C, 1, 2, 3}.data(), 5, m));
    EXPECT_EQ(m.type, 300);
    ASSERT_TRUE(decode_message(Bytes{0, 104, 0, 1, 'X', 0xEE, 0xEE}.data(), 7, m));
    EXPECT_EQ(m.text, "X");

    UdpMessage u;
    EXPECT_FALSE(decode_udp(Bytes{0, 1, 0, 7, 0}.data(), 5, u));
    EXPECT_FALSE(decode_udp(Bytes{0, 101, 0, 7, 0, 0, 0, 4, 1, 2, 3}.data(), 11, u));
    Bytes big = build_udp_audio(7, 1, Bytes(max_udp_audio + 1, 0x55).data(), max_udp_audio + 1);
    EXPECT_FALSE(decode_udp(big.data(), big.size(), u));
    ASSERT_TRUE(decode_udp(Bytes{0, 200, 0, 7, 0, 9, 1}.data(), 7, u));
    EXPECT_EQ(u.type, 200);
    EXPECT_EQ(u.seq, 9);
}

TEST(ReflectorWire, FramesComeOutWholeWhateverTheChunksAndALongOneBreaksTheStream)
{
    FrameReader r(max_frame_before_login);
    Bytes stream = build_heartbeat();
    Bytes ver = build_proto_ver();
    stream.insert(stream.end(), ver.begin(), ver.end());
    std::vector<Bytes> got;
    Bytes f;
    for (uint8_t b : stream) {
        r.feed(&b, 1);
        while (r.next(f) == FrameReader::frame)
            got.push_back(f);
    }
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[1], Bytes(ver.begin() + 4, ver.end()));
    EXPECT_EQ(r.buffered(), 0u);

    // 65 bytes before the login: the peer's limit is 64.
    Bytes long_frame = with({0, 0, 0, 65}, 65, 0);
    r.feed(long_frame.data(), long_frame.size());
    EXPECT_EQ(r.next(f), FrameReader::too_long);
    EXPECT_EQ(r.announced(), 65u);
    r.feed(ver.data(), ver.size());
    EXPECT_EQ(r.next(f), FrameReader::too_long);
    r.reset();
    r.set_limit(max_frame_after_login);
    r.feed(long_frame.data(), long_frame.size());
    EXPECT_EQ(r.next(f), FrameReader::frame);
    Bytes huge{0xFF, 0xFF, 0xFF, 0xFF};
    r.feed(huge.data(), huge.size());
    EXPECT_EQ(r.next(f), FrameReader::too_long);
}

TEST(ReflectorWire, TheLoginDigestIsHmacSha1OfTheChallengeKeyedWithTheKey)
{
    uint8_t challenge[challenge_size];
    for (size_t i = 0; i < challenge_size; i++)
        challenge[i] = static_cast<uint8_t>(i * 7 + 1);
    uint8_t d[digest_size];
    ASSERT_TRUE(auth_digest("node key", challenge, d));
    const Bytes want{0x23, 0x3e, 0xcf, 0x78, 0xe3, 0x6a, 0xb6, 0x13, 0x9d, 0xde,
                     0x78, 0x8c, 0x15, 0xee, 0x22, 0xf8, 0xc6, 0x26, 0xb0, 0x84};
    EXPECT_EQ(Bytes(d, d + digest_size), want);
}
