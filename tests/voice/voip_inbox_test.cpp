// The voice engine against a UDP peer on loopback. Runs inside a box: the
// engine binds port 8000, which only the box's own network may see.
#include "voice/voip.h"

#include "audio/audio_player.h"
#include "audio/audio_recorder.h"
#include "audio/codec_alaw.h"
#include "board/amplifier.h"
#include "sim/box_client.h"
#include "voice/passphrase_cipher.h"
#include "voice/rtp_packet.h"
#include "voice/voice_crypto.h"
#include "voip_harness.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

using namespace voiptest;

namespace
{

constexpr uint32_t kSync = 0x11223344;

Frame constantFrame(int16_t v)
{
    return Frame(160, v);
}

Frame decodedCode(uint8_t code)
{
    return constantFrame(alaw_decode(code));
}

Frame toneFrame(int n)
{
    return Frame(class_voip::tone(n), class_voip::tone(n) + class_voip::toneSamples);
}

// A plain RTP datagram whose payload is `size` bytes of `code`.
std::vector<uint8_t> rtp(uint8_t code, size_t size = 160, uint16_t seq = 0, uint8_t pt = 8)
{
    std::vector<uint8_t> d(12 + size, code);
    d[0] = 0x80;
    d[1] = pt;
    d[2] = static_cast<uint8_t>(seq >> 8);
    d[3] = static_cast<uint8_t>(seq);
    for (int i = 4; i < 12; i++)
        d[i] = 0;
    return d;
}

bool inBox()
{
    return std::getenv("BOARDBOX_CONTROL") != nullptr;
}

class VoipTest : public testing::Test
{
  protected:
    void SetUp() override
    {
        if (!inBox())
            GTEST_SKIP() << "binds UDP port 8000: runs only inside a box";
    }

    void start(int capacity, int depth)
    {
        voip.reset(new class_voip(160, &player, &recorder, capacity, depth));
        ASSERT_EQ(voip->init(), 0);
        // The playback thread is now parked on its first period.
        ASSERT_TRUE(dev.waitWrites(1));
    }

    void TearDown() override
    {
        dev.setFreeRun();
        voip.reset();
        // The key state is process-wide.
        crypt_setkey(nullptr, 0, 0);
    }

    void connect()
    {
        voip->setRemote(Peer::loopback(), peer.port, kSync);
        for (int i = 0; i < 3; i++)
            ASSERT_TRUE(peer.receive());
    }

    // Steps the playback until a period plays `want`; the frames played on the
    // way (silence excluded) are appended to `seen`.
    bool playUntil(const Frame &want, std::vector<Frame> *seen = nullptr, int maxPeriods = 200)
    {
        for (int i = 0; i < maxPeriods; i++) {
            dev.step();
            Frame f = dev.allWrites().at(dev.allWrites().size() - 2);
            if (seen && f != constantFrame(0))
                seen->push_back(f);
            if (f == want)
                return true;
        }
        return false;
    }

    SteppedDevice dev;
    CodecAlaw codec{160};
    AudioPlayer player{&dev, &codec};
    AudioRecorder recorder{&dev, &codec, false};
    std::unique_ptr<class_voip> voip;
    Peer peer;
};

} // namespace

TEST_F(VoipTest, SecondInitFails)
{
    start(10, 1);
    EXPECT_EQ(voip->init(), -1);
}

TEST_F(VoipTest, SetRemoteSendsThreeIdenticalHelloPackets)
{
    start(10, 1);
    EXPECT_EQ(voip->setRemote(Peer::loopback(), peer.port, kSync), 0);
    std::vector<uint8_t> expected(172, 0);
    const uint8_t head[16] = {0x80, 0x08, 0, 0, 0, 0, 0, 0, 0x11, 0x22, 0x33, 0x44, 0x44, 0x33, 0x22, 0x11};
    std::copy(head, head + 16, expected.begin());
    for (int i = 0; i < 3; i++) {
        auto d = peer.receive();
        ASSERT_TRUE(d);
        EXPECT_EQ(*d, expected);
    }
}

TEST_F(VoipTest, ClearingTheRemoteSendsNothing)
{
    start(10, 1);
    voip->setRemote(0, 0, 0);
    voip->setRemote(Peer::loopback(), peer.port, 7);
    // The first datagram the peer sees is the hello of the second call.
    auto d = peer.receive();
    ASSERT_TRUE(d);
    EXPECT_EQ((*d)[11], 7);
}

TEST_F(VoipTest, FirstVoicePacketHasSequenceZeroAndTimestampOfOneBlock)
{
    start(10, 1);
    connect();
    voip->setTransmit(1);
    dev.capture(constantFrame(1000));
    dev.capture(constantFrame(-1000));
    auto first = peer.receive();
    auto second = peer.receive();
    ASSERT_TRUE(first && second);
    ASSERT_EQ(first->size(), 172u);
    std::vector<uint8_t> head(first->begin(), first->begin() + 12);
    EXPECT_EQ(head, (std::vector<uint8_t>{0x80, 0x08, 0, 0, 0, 0, 0, 160, 0x11, 0x22, 0x33, 0x44}));
    EXPECT_EQ((*first)[12], alaw_encode(1000));
    EXPECT_EQ((*first)[171], alaw_encode(1000));
    EXPECT_EQ((*second)[3], 1);
    EXPECT_EQ((*second)[6], 0x01);
    EXPECT_EQ((*second)[7], 0x40); // 320
    EXPECT_EQ((*second)[12], alaw_encode(-1000));
}

TEST_F(VoipTest, NothingIsSentWhileNotTransmittingThoughFramesAreRecorded)
{
    start(10, 1);
    connect();
    for (int i = 0; i < 5; i++)
        dev.capture(constantFrame(500));
    ASSERT_TRUE(dev.waitReadCalls(6));
    voip->setTransmit(1);
    dev.capture(constantFrame(2000));
    auto d = peer.receive();
    ASSERT_TRUE(d);
    // Sequence 0: none of the five frames went out.
    EXPECT_EQ((*d)[3], 0);
    EXPECT_EQ((*d)[12], alaw_encode(2000));
}

TEST_F(VoipTest, SetRemoteStopsTransmittingAndRestartsTheSequence)
{
    start(10, 1);
    connect();
    voip->setTransmit(1);
    dev.capture(constantFrame(1));
    ASSERT_TRUE(peer.receive());
    connect();
    dev.capture(constantFrame(1));
    ASSERT_TRUE(dev.waitReadCalls(3));
    voip->setTransmit(1);
    dev.capture(constantFrame(3000));
    auto d = peer.receive();
    ASSERT_TRUE(d);
    EXPECT_EQ((*d)[3], 0);
    EXPECT_EQ((*d)[7], 160);
    EXPECT_EQ((*d)[12], alaw_encode(3000));
}

TEST_F(VoipTest, TransmitBitReachesThePlayerAsLoopFlag)
{
    start(10, 1);
    voip->setTransmit(1);
    dev.step();
    dev.step();
    EXPECT_EQ(dev.lastLoop(), 1);
    voip->setTransmit(0);
    dev.step();
    dev.step();
    EXPECT_EQ(dev.lastLoop(), 0);
}

TEST_F(VoipTest, ReceiveFilterTakesPlainAndWrappedSizesFromTheRemoteOnly)
{
    start(10, 1);
    connect();
    Peer stranger;
    peer.send(rtp(0x10));                  // 172: played
    peer.send(rtp(0x20, 161));             // 173: dropped
    stranger.send(rtp(0x30));              // right size, other port: dropped
    peer.send(rtp(0x40, 163));             // 175: played (not marked, so not unwrapped)
    peer.send(std::vector<uint8_t>(3, 0)); // garbage: dropped
    auto v1 = rtp(0x50);
    v1[0] = 0x40; // not RTP version 2: dropped
    peer.send(v1);
    auto ext = rtp(0x60);
    ext[0] = 0x90; // extension bit set: still version 2, played
    peer.send(ext);
    peer.send(rtp(0x70)); // marker
    std::vector<Frame> seen;
    ASSERT_TRUE(playUntil(decodedCode(0x70), &seen));
    EXPECT_EQ(seen, (std::vector<Frame>{decodedCode(0x10), decodedCode(0x40), decodedCode(0x60),
                                        decodedCode(0x70)}));
}

TEST_F(VoipTest, NothingIsAcceptedWithoutARemoteParty)
{
    start(10, 1);
    voip->setRemote(0, 0, 0);
    peer.send(rtp(0x10));
    ASSERT_TRUE(waitReceiveQueueEmpty());
    connect();
    peer.send(rtp(0x70));
    std::vector<Frame> seen;
    ASSERT_TRUE(playUntil(decodedCode(0x70), &seen));
    EXPECT_EQ(seen, (std::vector<Frame>{decodedCode(0x70)}));
}

TEST_F(VoipTest, JitterDepthHoldsBackTheFirstPackets)
{
    start(6, 3);
    connect();
    peer.send(rtp(0x10));
    peer.send(rtp(0x11));
    ASSERT_TRUE(waitReceiveQueueEmpty());
    for (int i = 0; i < 3; i++) {
        dev.step();
        EXPECT_EQ(dev.allWrites().at(dev.allWrites().size() - 2), constantFrame(0));
    }
    peer.send(rtp(0x12));
    std::vector<Frame> seen;
    ASSERT_TRUE(playUntil(decodedCode(0x12), &seen));
    EXPECT_EQ(seen, (std::vector<Frame>{decodedCode(0x10), decodedCode(0x11), decodedCode(0x12)}));
}

TEST_F(VoipTest, MutingStillDrainsTheBuffer)
{
    start(6, 3);
    connect();
    voip->setMuted(1);
    peer.send(rtp(0x10));
    peer.send(rtp(0x11));
    peer.send(rtp(0x12));
    ASSERT_TRUE(waitReceiveQueueEmpty());
    for (int i = 0; i < 6; i++) {
        dev.step();
        EXPECT_EQ(dev.allWrites().at(dev.allWrites().size() - 2), constantFrame(0));
    }
    voip->setMuted(0);
    peer.send(rtp(0x20));
    peer.send(rtp(0x21));
    peer.send(rtp(0x22));
    std::vector<Frame> seen;
    ASSERT_TRUE(playUntil(decodedCode(0x22), &seen));
    EXPECT_EQ(seen, (std::vector<Frame>{decodedCode(0x20), decodedCode(0x21), decodedCode(0x22)}));
}

TEST_F(VoipTest, ToneReplacesExactlyOneVoiceFrame)
{
    start(10, 5);
    connect();
    for (uint8_t c = 0x10; c < 0x15; c++)
        peer.send(rtp(c));
    // Depth 5: the first packet plays only once all five are queued.
    ASSERT_TRUE(playUntil(decodedCode(0x10)));
    voip->playTone(1);
    std::vector<Frame> seen;
    ASSERT_TRUE(playUntil(decodedCode(0x14), &seen));
    // 0x11 was already on its way when the tone was asked for; 0x12 is the
    // frame replaced.
    EXPECT_EQ(seen,
              (std::vector<Frame>{decodedCode(0x11), toneFrame(1), decodedCode(0x13), decodedCode(0x14)}));
}

TEST_F(VoipTest, ToneTwoPlaysOnceOverSilence)
{
    start(10, 1);
    voip->playTone(2);
    std::vector<Frame> seen;
    ASSERT_TRUE(playUntil(toneFrame(2), &seen));
    for (int i = 0; i < 3; i++) {
        dev.step();
        EXPECT_EQ(dev.allWrites().at(dev.allWrites().size() - 2), constantFrame(0));
    }
}

TEST(VoipTones, SquareWavesOfTheGivenHalfWaves)
{
    auto halfWaves = [](const int16_t *t) {
        std::vector<int> lens;
        int16_t level = t[0];
        int len = 0;
        for (int i = 0; i < class_voip::toneSamples; i++) {
            EXPECT_EQ(std::abs(t[i]), 6554);
            if (t[i] != level) {
                lens.push_back(len);
                level = t[i];
                len = 0;
            }
            len++;
        }
        lens.push_back(len);
        return lens;
    };
    EXPECT_LT(class_voip::tone(1)[0], 0);
    EXPECT_LT(class_voip::tone(2)[0], 0);
    EXPECT_EQ(halfWaves(class_voip::tone(1)),
              (std::vector<int>{10, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 10, 9, 9, 9, 9, 9, 5}));
    EXPECT_EQ(halfWaves(class_voip::tone(2)), (std::vector<int>{37, 36, 37, 36, 14}));
    EXPECT_EQ(class_voip::tone(3), nullptr);
}

TEST_F(VoipTest, VolumeAboveThirtyOneIsRefused)
{
    start(10, 1);
    EXPECT_EQ(voip->setVolume(32), -1);
    EXPECT_EQ(voip->setVolume(-1), -1);
    EXPECT_EQ(voip->setVolume(16), 0);
    connect();
    peer.send(rtp(alaw_encode(4000)));
    // 4032 is what A-law gives back for 4000; scaled by 256/1024.
    ASSERT_TRUE(playUntil(constantFrame((alaw_decode(alaw_encode(4000)) * 256 + 16) / 1024)));
}

TEST_F(VoipTest, VoiceKeyWrapsEveryPacketAndUnwrapsToWhatWasSent)
{
    start(10, 1);
    const uint8_t key[16] = {0x2b, 0x7e, 0x15, 0x16, 0x28, 0xae, 0xd2, 0xa6,
                             0xab, 0xf7, 0x15, 0x88, 0x09, 0xcf, 0x4f, 0x3c};
    voip->setCryptoKey(key, 16, 1);
    connect();
    voip->setTransmit(1);
    dev.capture(constantFrame(1234));
    auto d = peer.receive();
    ASSERT_TRUE(d);
    ASSERT_EQ(d->size(), 175u);
    EXPECT_EQ((*d)[1], 0x77);
    CryptoContext ctx;
    ASSERT_EQ(crypt_getctx(&ctx), 0);
    std::vector<uint8_t> plain(1024);
    size_t n = plain.size();
    ASSERT_EQ(unwrap_packet(&ctx, plain.data(), &n, d->data(), d->size()), 0);
    plain.resize(n);
    auto expected = rtp(alaw_encode(1234));
    expected[7] = 160;
    expected[8] = 0x11, expected[9] = 0x22, expected[10] = 0x33, expected[11] = 0x44;
    EXPECT_EQ(plain, expected);

    // And the other way: a wrapped packet from the peer plays decoded.
    auto in = rtp(0x33);
    std::vector<uint8_t> wrapped(1024);
    size_t w = wrapped.size();
    ASSERT_EQ(wrap_packet(&ctx, wrapped.data(), &w, in.data(), in.size()), 0);
    wrapped.resize(w);
    peer.send(wrapped);
    ASSERT_TRUE(playUntil(decodedCode(0x33)));
}

TEST_F(VoipTest, BadKeysLeaveTheVoiceKeyAsItWas)
{
    start(10, 1);
    const uint8_t key[16] = {1};
    voip->setCryptoKey(key, 15, 1);
    voip->setCryptoKey(key, 16, 2);
    connect();
    voip->setTransmit(1);
    dev.capture(constantFrame(1));
    auto d = peer.receive();
    ASSERT_TRUE(d);
    EXPECT_EQ(d->size(), 172u);
}

TEST_F(VoipTest, WrappedPacketThatDoesNotUnwrapPlaysSilence)
{
    start(10, 1);
    const uint8_t key[16] = {9};
    voip->setCryptoKey(key, 16, 1);
    connect();
    auto bad = rtp(0x33, 163);
    bad[1] = 0x77;
    bad[12] = 0x01; // declares 400 payload bytes in a 175-byte datagram
    bad[13] = 0x90;
    peer.send(bad);
    peer.send(rtp(0x70));
    std::vector<Frame> seen;
    ASSERT_TRUE(playUntil(decodedCode(0x70), &seen));
    EXPECT_EQ(seen, (std::vector<Frame>{decodedCode(0x70)}));
}

TEST_F(VoipTest, PassphraseCiphersVoiceButNotHellos)
{
    start(10, 1);
    voip->setPassphrase("secret");
    voip->setRemote(Peer::loopback(), peer.port, kSync);
    for (int i = 0; i < 3; i++) {
        auto h = peer.receive();
        ASSERT_TRUE(h);
        EXPECT_EQ((*h)[12], 0x44);
        EXPECT_EQ((*h)[16], 0);
        EXPECT_EQ((*h)[171], 0);
    }
    voip->setTransmit(1);
    dev.capture(constantFrame(1000));
    auto d = peer.receive();
    ASSERT_TRUE(d);
    ASSERT_EQ(d->size(), 172u);
    EXPECT_EQ((*d)[1], 0x08);
    EXPECT_EQ((*d)[7], 160);
    PassphraseCipher cipher;
    cipher.setPassphrase("secret");
    auto expected = rtp(alaw_encode(1000));
    expected[7] = 160;
    expected[8] = 0x11, expected[9] = 0x22, expected[10] = 0x33, expected[11] = 0x44;
    EXPECT_NE(*d, expected);
    ASSERT_TRUE(cipher.decryptDatagram(d->data(), d->size()));
    EXPECT_EQ(*d, expected);

    auto in = rtp(0x44);
    cipher.encryptDatagram(in.data(), in.size());
    peer.send(in);
    ASSERT_TRUE(playUntil(decodedCode(0x44)));

    // An empty text switches it off again.
    voip->setPassphrase("");
    peer.send(rtp(0x45));
    ASSERT_TRUE(playUntil(decodedCode(0x45)));
}

namespace
{

// 33-byte blocks, 160 samples: byte i of a block plays as sample value i * 10
// repeated, so the played frame shows which block arrived.
class BlockCodec : public Codec
{
  public:
    BlockCodec()
    {
        initialized = 1;
        encodedBlockSize = 33;
        decodedBlockSize = 160;
        sampleRate = 8000;
        sampleSize = 2;
        sampleSign = 1;
        frameRate = 50;
    }
    int encode(uint8_t *out, const int16_t *in) override
    {
        for (int i = 0; i < 33; i++)
            out[i] = static_cast<uint8_t>(in[i]);
        return 0;
    }
    int decode(int16_t *out, const uint8_t *in) override
    {
        for (int i = 0; i < 160; i++)
            out[i] = static_cast<int16_t>(in[0] * 10);
        return 0;
    }
    int getPayloadType() override { return 3; }
};

} // namespace

TEST(VoipBlockSizes, WrappedGsmSizedPacketsAreHeard)
{
    if (!inBox())
        GTEST_SKIP() << "binds UDP port 8000: runs only inside a box";
    SteppedDevice dev;
    BlockCodec codec;
    AudioPlayer player(&dev, &codec);
    AudioRecorder recorder(&dev, &codec, false);
    Peer peer;
    {
        class_voip voip(33, &player, &recorder, 10, 1);
        ASSERT_EQ(voip.init(), 0);
        ASSERT_TRUE(dev.waitWrites(1));
        const uint8_t key[16] = {5};
        voip.setCryptoKey(key, 16, 1);
        voip.setRemote(Peer::loopback(), peer.port, kSync);
        for (int i = 0; i < 3; i++) {
            auto h = peer.receive();
            ASSERT_TRUE(h);
            EXPECT_EQ(h->size(), 45u);
        }

        voip.setTransmit(1);
        dev.capture(Frame(160, 9));
        auto d = peer.receive();
        ASSERT_TRUE(d);
        EXPECT_EQ(d->size(), 63u);

        CryptoContext ctx;
        ASSERT_EQ(crypt_getctx(&ctx), 0);
        auto plain = rtp(2, 33);
        std::vector<uint8_t> wrapped(1024);
        size_t w = wrapped.size();
        ASSERT_EQ(wrap_packet(&ctx, wrapped.data(), &w, plain.data(), plain.size()), 0);
        wrapped.resize(w);
        ASSERT_EQ(wrapped.size(), 63u);
        peer.send(rtp(1, 33)); // 45 plain: heard
        peer.send(rtp(7, 36)); // 48 = block + 15: not a size this codec produces
        peer.send(wrapped);    // 63 wrapped: heard
        peer.send(rtp(3, 33)); // marker

        std::vector<Frame> seen;
        for (int i = 0; i < 200; i++) {
            dev.step();
            Frame f = dev.allWrites().at(dev.allWrites().size() - 2);
            if (f != Frame(160, 0))
                seen.push_back(f);
            if (f == Frame(160, 30))
                break;
        }
        EXPECT_EQ(seen, (std::vector<Frame>{Frame(160, 10), Frame(160, 20), Frame(160, 30)}));
        dev.setFreeRun();
    }
    crypt_setkey(nullptr, 0, 0);
}

namespace
{

std::vector<int> amplifierBytes(boardbox::Client &box)
{
    std::vector<boardbox::AmpCommand> log;
    EXPECT_EQ(box.amplifier_log(log), 0);
    std::vector<int> v;
    for (const auto &c : log)
        v.push_back(c.value);
    return v;
}

} // namespace

TEST_F(VoipTest, AmplifierGoesOffAfterEightEmptyPeriodsAndBackWithVoice)
{
    boardbox::Client box;
    ASSERT_EQ(box.connect_inside(), 0);
    ASSERT_EQ(i2c_max9768_init("/dev/i2c-0"), 0);
    // The amplifier state is process-wide: an earlier engine may have muted it.
    i2c_max9768_unmute();
    ASSERT_EQ(i2c_max9768_vol_write(45), 0);
    std::vector<int> before = amplifierBytes(box);
    ASSERT_FALSE(before.empty());
    auto since = [&] {
        std::vector<int> all = amplifierBytes(box);
        return std::vector<int>(all.begin() + static_cast<long>(before.size()), all.end());
    };

    start(10, 1);
    // step() returns once the engine has done everything after that period.
    for (int period = 1; period <= 7; period++)
        dev.step();
    EXPECT_EQ(since(), std::vector<int>{});
    dev.step();
    EXPECT_EQ(since(), std::vector<int>{0});
    for (int period = 0; period < 10; period++)
        dev.step();
    EXPECT_EQ(since(), std::vector<int>{0});

    connect();
    peer.send(rtp(0x10));
    ASSERT_TRUE(playUntil(decodedCode(0x10)));
    EXPECT_EQ(since(), (std::vector<int>{0, 45}));
    // Voice keeps it on; the next silent spell switches it off once more.
    for (int period = 0; period < 12; period++)
        dev.step();
    EXPECT_EQ(since(), (std::vector<int>{0, 45, 0}));
    i2c_max9768_close();
}
