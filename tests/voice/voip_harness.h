// What the voice engine tests drive: an audio device stepped by the test one
// period at a time, and a plain UDP socket playing the remote party.
#pragma once

#include "audio/audio_device.h"

#include <arpa/inet.h>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <mutex>
#include <netinet/in.h>
#include <optional>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace voiptest
{

using Frame = std::vector<int16_t>;
constexpr auto kTimeout = std::chrono::seconds(10);

// Each write is recorded and then held until the test releases it, so the
// test decides when the playback thread moves on; each read waits for a
// capture the test supplies. In free-run mode (for shutdown) both return at
// once without recording.
class SteppedDevice : public AudioDevice
{
  public:
    SteppedDevice() { deviceOpen = 1; }

    int getPeriodSize() override { return 160; }
    int getSampleSize() override { return 2; }
    int getSampleSign() override { return 1; }
    int getSampleRate() override { return 8000; }
    int getSilenceValue() override { return 0; }
    int canPlay() override { return 1; }
    int canRecord() override { return 1; }
    int recover() override { return 0; }

    int write(const int16_t *samples, int count, int loop) override
    {
        std::unique_lock<std::mutex> lock(m);
        if (freeRun)
            return 0;
        writes.emplace_back(samples, samples + count);
        loops.push_back(loop);
        cv.notify_all();
        cv.wait(lock, [&] { return freeRun || writeCredits > 0; });
        if (!freeRun)
            writeCredits--;
        return 0;
    }

    int read(int16_t *samples, int count) override
    {
        std::unique_lock<std::mutex> lock(m);
        readCalls++;
        cv.notify_all();
        cv.wait(lock, [&] { return freeRun || !captures.empty(); });
        Frame f(count, 0);
        if (!captures.empty()) {
            f = captures.front();
            captures.pop_front();
        }
        std::memcpy(samples, f.data(), sizeof(int16_t) * count);
        reads++;
        cv.notify_all();
        return 0;
    }

    // Lets the playback thread finish the period it is writing and waits until
    // it has come round to the next write (so everything it does after a
    // period has been done). Returns the index of the next write.
    size_t step()
    {
        std::unique_lock<std::mutex> lock(m);
        size_t next = writes.size() + 1;
        writeCredits++;
        cv.notify_all();
        cv.wait_for(lock, kTimeout, [&] { return writes.size() >= next; });
        return writes.size();
    }

    bool waitWrites(size_t n)
    {
        std::unique_lock<std::mutex> lock(m);
        return cv.wait_for(lock, kTimeout, [&] { return writes.size() >= n; });
    }

    void capture(const Frame &f)
    {
        std::lock_guard<std::mutex> lock(m);
        captures.push_back(f);
        cv.notify_all();
    }

    bool waitReads(size_t n)
    {
        std::unique_lock<std::mutex> lock(m);
        return cv.wait_for(lock, kTimeout, [&] { return reads >= n; });
    }

    // Waits until the send thread has asked for its n-th capture, so it is
    // done with every frame before it.
    bool waitReadCalls(size_t n)
    {
        std::unique_lock<std::mutex> lock(m);
        return cv.wait_for(lock, kTimeout, [&] { return readCalls >= n; });
    }

    Frame lastWrite()
    {
        std::lock_guard<std::mutex> lock(m);
        return writes.empty() ? Frame() : writes.back();
    }

    std::vector<Frame> allWrites()
    {
        std::lock_guard<std::mutex> lock(m);
        return writes;
    }

    int lastLoop()
    {
        std::lock_guard<std::mutex> lock(m);
        return loops.empty() ? -1 : loops.back();
    }

    void setFreeRun()
    {
        std::lock_guard<std::mutex> lock(m);
        freeRun = true;
        cv.notify_all();
    }

  private:
    std::mutex m;
    std::condition_variable cv;
    std::vector<Frame> writes;
    std::vector<int> loops;
    std::deque<Frame> captures;
    size_t reads = 0;
    size_t readCalls = 0;
    int writeCredits = 0;
    bool freeRun = false;
};

// A UDP socket on loopback standing for the server's relay.
class Peer
{
  public:
    Peer()
    {
        fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
        socklen_t len = sizeof a;
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
        port = ntohs(a.sin_port);
    }
    ~Peer() { ::close(fd); }
    Peer(const Peer &) = delete;
    Peer &operator=(const Peer &) = delete;

    static uint32_t loopback() { return htonl(INADDR_LOOPBACK); }

    std::optional<std::vector<uint8_t>> receive(int timeoutMs = 10000)
    {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) != 1)
            return std::nullopt;
        std::vector<uint8_t> buf(4096);
        ssize_t n = ::recv(fd, buf.data(), buf.size(), 0);
        if (n < 0)
            return std::nullopt;
        buf.resize(static_cast<size_t>(n));
        return buf;
    }

    void send(const std::vector<uint8_t> &bytes, uint16_t toPort = 8000)
    {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(toPort);
        ::sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr *>(&a), sizeof a);
    }

    int fd = -1;
    uint16_t port = 0;
};

// Bytes waiting in the receive queue of the local UDP port, from the kernel's
// socket table; -1 when no socket is bound to it.
inline long udpQueued(uint16_t localPort)
{
    std::ifstream f("/proc/net/udp");
    std::string line;
    std::getline(f, line);
    char want[8];
    std::snprintf(want, sizeof want, ":%04X", localPort);
    while (std::getline(f, line)) {
        std::istringstream in(line);
        std::string sl, local, remote, st, queues;
        in >> sl >> local >> remote >> st >> queues;
        if (local.size() >= 5 && local.compare(local.size() - 5, 5, want) == 0) {
            auto colon = queues.find(':');
            return std::stol(queues.substr(colon + 1), nullptr, 16);
        }
    }
    return -1;
}

// Waits until the engine's receive thread has taken every datagram queued on
// port 8000.
inline bool waitReceiveQueueEmpty()
{
    auto end = std::chrono::steady_clock::now() + kTimeout;
    while (std::chrono::steady_clock::now() < end) {
        if (udpQueued(8000) == 0)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

} // namespace voiptest
