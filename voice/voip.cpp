#include "voice/voip.h"

#include "audio/audio_player.h"
#include "audio/audio_recorder.h"
#include "board/amplifier.h"
#include "status/live_status.h"
#include "voice/rtp_packet.h"
#include "voice/sequence_tracker.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace
{

constexpr int kReceiveBuffer = 2048;
constexpr int kFrameBuffer = 1024;
// Periods without voice before the amplifier is switched off (160 ms).
constexpr int kEmptyPeriodsBeforeAmpOff = 8;
// One playback period, and how long before the device takes the next one the
// playback thread picks its packet: enough for unwrapping, decoding and the
// write to reach the driver.
constexpr auto kPeriod = std::chrono::milliseconds(20);
constexpr auto kTakeLead = std::chrono::milliseconds(4);

struct Tone {
    int16_t samples[class_voip::toneSamples];
};

// A square wave of amplitude 6554 (a fifth of full scale), starting with a
// negative half-wave, from its half-wave lengths.
template <size_t N> Tone makeTone(const int (&halfWaves)[N])
{
    Tone t{};
    int pos = 0;
    int16_t level = -6554;
    for (int len : halfWaves) {
        for (int i = 0; i < len && pos < class_voip::toneSamples; i++)
            t.samples[pos++] = level;
        level = static_cast<int16_t>(-level);
    }
    return t;
}

const Tone &tone1()
{
    // About 440 Hz.
    static const Tone t = makeTone({10, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 10, 9, 9, 9, 9, 9, 5});
    return t;
}

const Tone &tone2()
{
    // About 110 Hz.
    static const Tone t = makeTone({37, 36, 37, 36, 14});
    return t;
}

} // namespace

const int16_t *class_voip::tone(int n)
{
    if (n == 1)
        return tone1().samples;
    if (n == 2)
        return tone2().samples;
    return nullptr;
}

class_voip::class_voip(int payloadSize_, AudioPlayer *player_, AudioRecorder *recorder_, int jitterCapacity,
                       int jitterDepth)
    : player(player_), recorder(recorder_), jitter(new JitterBuffer(jitterCapacity, jitterDepth)),
      payloadSize(payloadSize_)
{
    remoteSockaddr.sin_family = AF_INET;
    gw_status::put(gw_status::live().jitter_capacity, static_cast<uint32_t>(jitterCapacity));
    // Built before any thread can ask for them.
    tone1();
    tone2();
}

class_voip::~class_voip()
{
    stopping.store(true);
    wake();
    // The send and playback threads are paced by the audio device and see the
    // flag within one period.
    if (receiveThread.joinable())
        receiveThread.join();
    if (sendThread.joinable())
        sendThread.join();
    if (playThread.joinable())
        playThread.join();
}

void class_voip::wake()
{
    if (wakeFd.get() >= 0) {
        uint64_t one = 1;
        ssize_t r = ::write(wakeFd.get(), &one, sizeof one);
        (void)r;
    }
}

int class_voip::init()
{
    std::lock_guard<std::mutex> lock(mutex);
    if (socketFd.get() >= 0 || !player || !recorder || payloadSize < 1)
        return -1;

    int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return -1;
    UniqueFd sock;
    sock.reset(s);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    local.sin_port = htons(localPort);
    if (::bind(s, reinterpret_cast<sockaddr *>(&local), sizeof local) < 0)
        return -1;
    int e = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (e < 0)
        return -1;

    socketFd.reset(sock.release());
    wakeFd.reset(e);

    receiveThread = std::thread([this] { receiveLoop(); });
    sendThread = std::thread([this] { sendLoop(); });
    playThread = std::thread([this] { playLoop(); });
    return 0;
}

void class_voip::sendHellos()
{
    std::unique_ptr<RtpPacket> hello(RtpPacket::makeHello(static_cast<uint32_t>(payloadSize), syncNumber));
    std::vector<uint8_t> bytes(hello->getPacketSize());
    hello->serialize(bytes.data());
    // The server's relay learns our address from these; they are never
    // encrypted.
    for (int i = 0; i < 3; i++)
        ::sendto(socketFd.get(), bytes.data(), bytes.size(), 0,
                 reinterpret_cast<const sockaddr *>(&remoteSockaddr), sizeof remoteSockaddr);
}

int class_voip::setRemote(uint32_t address, uint16_t port, uint32_t syncNumber_)
{
    std::lock_guard<std::mutex> lock(mutex);
    remoteAddress = address;
    remotePort = port;
    syncNumber = syncNumber_;
    transmit.store(0);
    sequence = 0;
    timestamp = 0;
    remoteSockaddr = sockaddr_in{};
    remoteSockaddr.sin_family = AF_INET;
    remoteSockaddr.sin_port = htons(port);
    remoteSockaddr.sin_addr.s_addr = address;
    gw_status::put(gw_status::live().ptt, 0);
    if (address == 0 && port == 0 && syncNumber_ == 0)
        return 0;
    if (socketFd.get() >= 0)
        sendHellos();
    return 0;
}

void class_voip::setTransmit(int flag)
{
    std::lock_guard<std::mutex> lock(mutex);
    transmit.store(flag);
    gw_status::put(gw_status::live().ptt, flag != 0);
}

void class_voip::setCryptoKey(const uint8_t *key, int length, int mode)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (crypt_setkey(key, length, mode) == 0)
        crypt_getctx(&cryptoContext);
}

void class_voip::setPassphrase(const char *text)
{
    std::lock_guard<std::mutex> lock(mutex);
    // Null or empty text switches the cipher off: there is no key to derive.
    passphrase.setPassphrase(text);
}

void class_voip::setMuted(int flag)
{
    muted.store(flag != 0);
}

int class_voip::setVolume(int level)
{
    if (static_cast<unsigned>(level) > 31)
        return -1;
    return player->setVolume(level);
}

void class_voip::playTone(int n)
{
    toneRequest.store(n);
}

bool class_voip::acceptedLength(long n) const
{
    // Plain, or wrapped with the voice key: 15 bytes of header and length
    // before the payload, padded to whole cipher blocks.
    long plain = payloadSize + 12L;
    long wrapped = 15L + (payloadSize + 15L) / 16 * 16;
    return n == plain || n == wrapped;
}

void class_voip::receiveLoop()
{
    uint8_t buf[kReceiveBuffer];
    SequenceTracker sequences;
    gw_status::LiveStatus &counters = gw_status::live();
    pollfd fds[2] = {{socketFd.get(), POLLIN, 0}, {wakeFd.get(), POLLIN, 0}};
    while (!stopping.load()) {
        int pr = ::poll(fds, 2, -1);
        if (stopping.load())
            break;
        if (pr < 0 || !(fds[0].revents & POLLIN))
            continue;

        sockaddr_in from{};
        socklen_t fromLen = sizeof from;
        ssize_t n = ::recvfrom(socketFd.get(), buf, sizeof buf, MSG_DONTWAIT,
                               reinterpret_cast<sockaddr *>(&from), &fromLen);
        if (n < 1) {
            ::usleep(100);
            continue;
        }
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (remoteAddress == 0 || from.sin_family != AF_INET || from.sin_addr.s_addr != remoteAddress ||
                ntohs(from.sin_port) != remotePort || !acceptedLength(n))
                continue;
            // Only 172-byte datagrams are touched, and only while enabled.
            passphrase.decryptDatagram(buf, static_cast<size_t>(n));
        }
        RtpPacket *packet = RtpPacket::fromDatagram(buf, static_cast<size_t>(n));
        if (!packet)
            continue;
        // This thread is the only writer: a plain store, no read-modify-write
        // (which costs the board, without such instructions, a library call).
        voiceCount.store(voiceCount.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
        // Judged before the buffer owns it: the playback thread may take it
        // at once.
        const SequenceTracker::verdict v = sequences.note(packet->getSequenceNumber(), packet->getSsrc());
        gw_status::bump(counters.rx_packets);
        if (v.late != 0)
            gw_status::bump(counters.rx_late, v.late);
        if (v.lost != 0)
            gw_status::bump(counters.rx_lost, v.lost);
        if (jitter->put(packet) < 0) {
            delete packet;
            gw_status::bump(counters.rx_dropped);
        } else {
            gw_status::bump(counters.jitter_in);
        }
    }
}

void class_voip::sendLoop()
{
    std::vector<uint8_t> frame(static_cast<size_t>(payloadSize));
    std::vector<uint8_t> packet(RtpPacket::kHeaderSize + static_cast<size_t>(payloadSize));
    uint8_t out[kFrameBuffer];
    while (!stopping.load()) {
        // Paced by the device: one captured period per pass, sent or not.
        recorder->record(frame.data());

        sockaddr_in to;
        size_t outLen = sizeof out;
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (!transmit.load() || remoteAddress == 0 || remotePort == 0)
                continue;
            to = remoteSockaddr;
            uint16_t seq = static_cast<uint16_t>(sequence);
            sequence++;
            timestamp += static_cast<uint32_t>(payloadSize);
            RtpPacket rtp(frame.data(), static_cast<uint32_t>(payloadSize), 8, seq, timestamp, syncNumber, 0,
                          0);
            rtp.serialize(packet.data());
            // The keys are used under the lock, so a key change never meets
            // a packet half way.
            if (wrap_packet(&cryptoContext, out, &outLen, packet.data(), packet.size()) < 0)
                continue;
            passphrase.encryptDatagram(out, outLen);
        }
        ::sendto(socketFd.get(), out, outLen, 0, reinterpret_cast<const sockaddr *>(&to), sizeof to);
        gw_status::bump(gw_status::live().tx_packets);
    }
}

bool class_voip::unwrapToFrame(const uint8_t *packet, size_t length, uint8_t *frame, size_t capacity)
{
    size_t m = capacity;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (unwrap_packet(&cryptoContext, frame, &m, packet, length) < 0)
            return false;
    }
    if (m < RtpPacket::kHeaderSize)
        return false;
    std::memmove(frame, frame + RtpPacket::kHeaderSize, m - RtpPacket::kHeaderSize);
    return true;
}

void class_voip::playLoop()
{
    uint8_t frame[kFrameBuffer];
    std::memset(frame, 0x55, sizeof frame);
    uint8_t packetBytes[kReceiveBuffer];
    int emptyCount = 0;
    bool ampOffByMe = false;
    bool hadPacket = false;
    gw_status::LiveStatus &counters = gw_status::live();
    // A write returns when the device took the period, which frees the next
    // transmit block only a period later. Picking the packet right after the
    // write would leave it waiting that whole period in front of the device;
    // picked just before, it is written almost as the block frees, and a late
    // wake-up still lands before that block goes out.
    auto lastTaken = std::chrono::steady_clock::time_point{};

    while (!stopping.load()) {
        std::this_thread::sleep_until(lastTaken + kPeriod - kTakeLead);
        int mode = AudioPlayer::PLAY_SILENCE;
        bool voice = false;
        RtpPacket *packet = jitter->get();
        if (packet)
            gw_status::bump(counters.jitter_out);
        else if (hadPacket)
            gw_status::bump(counters.underruns);
        hadPacket = packet != nullptr;
        if (packet) {
            bool play = !muted.load();
            uint32_t size = packet->getPacketSize();
            if (play && size <= sizeof packetBytes)
                packet->serialize(packetBytes);
            delete packet;
            // A packet that does not unwrap leaves no valid frame: the period
            // is played as silence.
            if (play && size <= sizeof packetBytes && unwrapToFrame(packetBytes, size, frame, sizeof frame)) {
                mode = AudioPlayer::PLAY_DECODE;
                voice = true;
            }
        }

        int expected = 1;
        if (toneRequest.compare_exchange_strong(expected, 0)) {
            std::memcpy(frame, tone1().samples, sizeof tone1().samples);
            mode = AudioPlayer::PLAY_RAW;
        }
        expected = 2;
        if (toneRequest.compare_exchange_strong(expected, 0)) {
            std::memcpy(frame, tone2().samples, sizeof tone2().samples);
            mode = AudioPlayer::PLAY_RAW;
        }

        player->play(frame, mode, transmit.load() & 1);
        lastTaken = std::chrono::steady_clock::now();

        if (voice) {
            if (ampOffByMe) {
                i2c_max9768_unmute();
                ampOffByMe = false;
            }
            emptyCount = 0;
        } else if (!ampOffByMe) {
            if (++emptyCount >= kEmptyPeriodsBeforeAmpOff) {
                i2c_max9768_mute();
                ampOffByMe = true;
            }
        }
    }
}
