// class_voip: the voice engine. One UDP socket on port 8000 and three threads:
// receive (filter, queue in the jitter buffer), send (recorded frames as RTP
// while transmitting) and playback (one frame, silence or tone per 20 ms, and
// the loudspeaker amplifier switched off after a silent spell). Slot order is
// fixed: the radio controls call through it.
#pragma once

#include "base/unique_fd.h"
#include "voice/jitter_buffer.h"
#include "voice/passphrase_cipher.h"
#include "voice/voice_crypto.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <netinet/in.h>
#include <thread>

class AudioPlayer;
class AudioRecorder;

class class_voip
{
  public:
    static constexpr uint16_t localPort = 8000;
    static constexpr int toneSamples = 160;

    // payloadSize: the codec's encoded block size. The jitter buffer holds up
    // to jitterCapacity packets and starts releasing at jitterDepth.
    class_voip(int payloadSize, AudioPlayer *player, AudioRecorder *recorder, int jitterCapacity,
               int jitterDepth);
    // Stops and joins the threads, then closes the socket.
    virtual ~class_voip();

    class_voip(const class_voip &) = delete;
    class_voip &operator=(const class_voip &) = delete;

    // Binds the socket and starts the threads. 0, or -1 (also on a second call).
    virtual int init();
    // address in network byte order, port in host order. All three zero only
    // clears the remote party; otherwise three hello packets go out.
    virtual int setRemote(uint32_t address, uint16_t port, uint32_t syncNumber);
    virtual void setTransmit(int flag);
    // Thread bodies; each returns only when the engine is being destroyed.
    virtual void receiveLoop();
    virtual void sendLoop();
    virtual void playLoop();
    virtual void setCryptoKey(const uint8_t *key, int length, int mode);
    // Null or an empty text switches the passphrase cipher off.
    virtual void setPassphrase(const char *text);
    virtual void setMuted(int flag);
    // 0 .. 31, else -1 and the volume stays.
    virtual int setVolume(int level);
    // Plays tone 1 or 2 once, in place of one frame.
    virtual void playTone(int n);

    // The two signalling tones, toneSamples native 16-bit samples each.
    static const int16_t *tone(int n);

    // Voice packets taken from the remote party since the start (whatever
    // then became of them: played, muted or dropped by a full buffer); it
    // wraps, so only whether it changed means anything.
    uint32_t voicePackets() const { return voiceCount.load(std::memory_order_relaxed); }

  private:
    bool acceptedLength(long n) const;
    // Unwraps a received packet into frame; the payload ends up at offset 0.
    bool unwrapToFrame(const uint8_t *packet, size_t length, uint8_t *frame, size_t capacity);
    void sendHellos();
    void wake();

    // Guards the remote party, transmit, sequence/timestamp and the keys in use.
    std::mutex mutex;
    std::thread receiveThread;
    std::thread sendThread;
    std::thread playThread;
    UniqueFd socketFd;
    // Wakes the receive thread out of its wait when the engine stops.
    UniqueFd wakeFd;
    std::atomic<int32_t> transmit{0};
    AudioPlayer *player;
    AudioRecorder *recorder;
    std::unique_ptr<JitterBuffer> jitter;
    sockaddr_in remoteSockaddr{};
    uint32_t sequence = 0;
    uint32_t timestamp = 0;
    uint32_t remoteAddress = 0;
    uint16_t remotePort = 0;
    int payloadSize;
    uint32_t syncNumber = 0;
    std::atomic<bool> muted{false};
    CryptoContext cryptoContext{};
    // Holds its own enabled flag and round keys.
    PassphraseCipher passphrase;
    std::atomic<int32_t> toneRequest{0};
    std::atomic<bool> stopping{false};
    std::atomic<uint32_t> voiceCount{0};
};
