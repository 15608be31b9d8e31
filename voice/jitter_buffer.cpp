#include "voice/jitter_buffer.h"

JitterBuffer::JitterBuffer(int capacityPackets, int depthPackets)
    : capacity(capacityPackets), depth(depthPackets)
{
}

JitterBuffer::~JitterBuffer()
{
    clear();
}

int JitterBuffer::put(RtpPacket *packet)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (count >= capacity)
        return -1;
    Node *node = new Node{packet, nullptr};
    if (tail)
        tail->next = node;
    else
        head = node;
    tail = node;
    ++count;
    return 0;
}

RtpPacket *JitterBuffer::get()
{
    std::lock_guard<std::mutex> lock(mutex);
    // Checked before the emptiness test, so depth 0 starts even an empty buffer.
    if (count >= depth)
        started = true;
    if (count == 0 || head == nullptr)
        return nullptr;
    if (!started)
        return nullptr;
    Node *node = head;
    head = node->next;
    if (head == nullptr)
        tail = nullptr;
    RtpPacket *packet = node->packet;
    delete node;
    --count;
    if (count == 0)
        started = false;
    return packet;
}

int JitterBuffer::clear()
{
    Node *list;
    {
        std::lock_guard<std::mutex> lock(mutex);
        count = 0;
        started = false;
        list = head;
        head = nullptr;
        tail = nullptr;
    }
    // Packets are deleted outside the lock: nothing else can reach them now.
    while (list) {
        Node *next = list->next;
        delete list->packet;
        delete list;
        list = next;
    }
    return 0;
}

int JitterBuffer::getCount()
{
    std::lock_guard<std::mutex> lock(mutex);
    return count;
}
