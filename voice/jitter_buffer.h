// JitterBuffer: a fill-then-drain FIFO of received packets between the receive
// thread (put) and the playback thread (get). Nothing leaves until `depth`
// packets have gathered; then one leaves per get until the buffer is empty and
// must fill again. Packets leave in arrival order. The slot order is fixed.
#pragma once

#include "voice/rtp_packet.h"

#include <cstdint>
#include <mutex>

class JitterBuffer
{
  public:
    JitterBuffer(int capacity, int depth);
    // Deletes the packets still held.
    virtual ~JitterBuffer();

    JitterBuffer(const JitterBuffer &) = delete;
    JitterBuffer &operator=(const JitterBuffer &) = delete;

    // 0: stored, the buffer owns the packet. -1: full, the packet stays the caller's.
    virtual int put(RtpPacket *packet);
    // The oldest packet, owned by the caller from now on; null while filling or empty.
    virtual RtpPacket *get();
    // Deletes every held packet and starts filling again; 0.
    virtual int clear();
    virtual int getCount();

  private:
    struct Node {
        RtpPacket *packet;
        Node *next;
    };

    Node *head = nullptr;
    // Appending at the tail needs no walk along the list.
    Node *tail = nullptr;
    int32_t capacity;
    int32_t depth;
    int32_t count = 0;
    bool started = false;
    std::mutex mutex;
};
