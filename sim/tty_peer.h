// Peer emulators on the box's serial lines ("/dev/ttyS1", "/dev/ttyS3").
//
// A peer is whatever sits at the far end of a line: a control head, a panel, a
// radio, a flash target. The box owns the pty; the peer gets the bytes the
// product writes, can send bytes back, can move GPIO input lines, and answers
// control-socket requests addressed to it. A peer registers itself by kind
// name from its own .cpp file, so adding one needs no change to the box:
//
//     static boardbox::PeerRegistrar reg("gm360", [](boardbox::PeerHost &host,
//                                                    const std::string &arg) {
//         return std::make_unique<Gm360Head>(host, arg);
//     });
//
// `--tty1 gm360` then selects it; `--tty1 gm360:ARG` passes ARG to the factory.
//
// Threads: received, tick and gpio_changed run on the line's own thread, one
// at a time; control runs on the control-socket thread, so a peer guards the
// state it shares between the two with its own lock.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace boardbox
{

// What the box offers a peer.
class PeerHost
{
  public:
    virtual ~PeerHost() = default;
    virtual int port() const = 0; // 1 or 3
    // Bytes to the product; all of them are queued (the pty buffers them).
    virtual void send(const uint8_t *data, size_t count) = 0;
    // GPIO input lines by logical bits: `low` pulled low, then `high` pulled high.
    virtual void set_inputs(uint32_t low, uint32_t high) = 0;
    virtual uint32_t gpio_outputs() const = 0; // levels of the product's output lines
    virtual uint32_t gpio_levels() const = 0;  // every line as the product reads it
    // The product's line settings (0 while it has not set a speed).
    virtual unsigned baud() const = 0;
    // A line in the box's event log, prefixed with the line's name.
    virtual void log(const std::string &text) = 0;
    // Seconds since the box started (the event log's clock).
    virtual double now() const = 0;
};

class TtyPeer
{
  public:
    virtual ~TtyPeer() = default;
    // Bytes the product wrote to the line.
    virtual void received(const uint8_t *data, size_t count) = 0;
    // Called about every 10 ms, for time-outs and periodic frames.
    virtual void tick() {}
    // The product changed a GPIO output line (levels as logical word, and the
    // changed bits).
    virtual void gpio_changed(uint32_t outputs, uint32_t changed)
    {
        (void)outputs;
        (void)changed;
    }
    // A control-socket request {"cmd": KIND or "tty1"/"tty3", ...}; the reply's
    // "ok" is set by the box when absent.
    virtual nlohmann::json control(const nlohmann::json &request) = 0;
};

using PeerFactory = std::function<std::unique_ptr<TtyPeer>(PeerHost &host, const std::string &arg)>;

// Registers a kind; false if the name is taken.
bool register_peer(const std::string &kind, PeerFactory factory);
// nullptr for an unknown kind.
const PeerFactory *find_peer(const std::string &kind);
std::vector<std::string> peer_kinds();

struct PeerRegistrar {
    PeerRegistrar(const std::string &kind, PeerFactory factory) { register_peer(kind, std::move(factory)); }
};

} // namespace boardbox
