// What the MTETRA, NX5xxx and NX700 radio emulators share: a radio wired
// straight to the gateway's serial port that keeps every byte the gateway
// writes, splits it into frames under its model's framing (each kept with its
// validity), and sends frames, noise and broken frames on request, never
// faster than the line's speed.
//
// Control socket, {"cmd": KIND, "op": ...} (KIND "mtetra", "nx5", "nx700"):
//   "state"                    model, baud (the gateway's) and expected_baud,
//                              received bytes, frames, rejected pieces,
//                              pending (bytes of an unfinished piece), sent
//                              and queued bytes, ptt
//   "received", "since"        received bytes from index `since` (at most
//                              65536), as hex; `next` is the index after them
//                              (the first 8 MiB are kept)
//   "frames", "since"          received pieces from index `since` (at most
//                              1000): {hex, valid, error}; `next` as above
//                              (the first 65536 pieces are kept)
//   "clear"                    forget what was received (the queue stays)
//   "send", "hex"              the bytes as they are
//   "frame", "hex"             a frame carrying `hex` with the model's framing
//   "ptt", "on"                the model's PTT key frame, pressed or released
//   "overlong", "length"       a frame whose length field (or MTETRA body)
//                              exceeds the framing's limit
//   "bad_checksum", "hex"      (nx5) a frame whose checksum is one too high
//   "noise", "count"|"seconds", "seed"
//                              random bytes (at most ten minutes' worth)
//   "stop"                     drop everything not yet sent
// Every sending op also takes "split" and "gap_ms": the first `split` bytes
// go at once, the rest `gap_ms` later (a pause in the middle of a frame);
// without "split" all of them go `gap_ms` after what was queued before.
// Bytes leave in order, at most the line's speed / 10 bytes a second.
#pragma once

#include "sim/radio_framing.h"
#include "sim/tty_peer.h"

#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace boardbox
{

class SerialRadio : public TtyPeer
{
  public:
    SerialRadio(PeerHost &host, std::string kind, unsigned speed,
                std::unique_ptr<radio::FrameSplitter> splitter);

    void received(const uint8_t *data, size_t count) override;
    void tick() override;
    nlohmann::json control(const nlohmann::json &request) override;

  protected:
    // The hooks below run with the radio's lock held.
    virtual radio::Bytes ptt_frame(bool pressed) = 0;
    // A frame of this model carrying `payload`, with the request's own fields.
    virtual bool build_frame(const radio::Bytes &payload, const nlohmann::json &request, radio::Bytes &frame,
                             std::string &error) = 0;
    virtual radio::Bytes overlong_frame(size_t length) = 0;
    virtual size_t default_overlong_length() const = 0;
    virtual bool bad_checksum_frame(const radio::Bytes &payload, radio::Bytes &frame, std::string &error);
    // Requests of this model alone; false when `op` is not one of them.
    virtual bool model_control(const std::string &op, const nlohmann::json &request, nlohmann::json &reply);
    // Fields this model adds to "state".
    virtual void model_state(nlohmann::json &state) { (void)state; }

    // Queues bytes to send, honouring the request's "split" and "gap_ms";
    // the reply tells what was queued.
    nlohmann::json queue(const radio::Bytes &bytes, const nlohmann::json &request, const std::string &what);

    PeerHost &host_;
    const std::string kind_;

  private:
    struct Chunk {
        radio::Bytes bytes;
        size_t offset = 0;
        size_t noise = 0; // random bytes still to make, instead of `bytes`
        uint32_t rng = 1; // the noise generator's state
        double gap = 0;   // seconds to wait once the chunk before has gone
        double due = -1;  // set when the chunk reaches the head of the queue
    };

    nlohmann::json control_locked(const nlohmann::json &request);
    void record(std::vector<radio::Piece> &pieces);
    nlohmann::json state();
    nlohmann::json enqueue_noise(const nlohmann::json &request);
    unsigned line_speed() const;

    const unsigned speed_;
    std::mutex m_;
    std::unique_ptr<radio::FrameSplitter> splitter_;
    radio::Bytes received_;            // the first MAX_KEPT_BYTES
    std::vector<radio::Piece> pieces_; // the first MAX_KEPT_PIECES
    uint64_t received_total_ = 0, frames_ = 0, rejected_ = 0;
    uint64_t sent_ = 0;
    std::deque<Chunk> queue_;
    double budget_ = 0, last_tick_ = 0;
    unsigned last_baud_ = 0;
    bool ptt_ = false;
};

} // namespace boardbox
