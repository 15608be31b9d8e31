// A gatesimd site as a node of an SvxReflector network. The bridge is a
// member of the site's voice relay (like an XML gateway: its own UDP socket,
// synced with a hello packet) and holds the site's talker slot while a node on
// the reflector talks, so every gateway of the site hears that talker as the
// site's voice and a gateway's PTT meanwhile is refused as on any busy site.
// While a gateway of the site talks, its voice, relayed to the bridge like to
// every listener, goes to the reflector in the reflector's codec; which node
// is heard there is the reflector's choice.
//
// Two threads: the link's (reflector side) and the bridge's (site side: the
// relay socket, the pace of the reflector's voice, the talker slot). They
// meet only in the bridge's inbox.
#pragma once

#include "base/unique_fd.h"
#include "gatesim/libgatesim.h"
#include "tools/gatesimd/reflector/rate_converter.h"
#include "tools/gatesimd/reflector/reflector_codec.h"
#include "tools/gatesimd/reflector/reflector_link.h"
#include "tools/gatesimd/reflector/voice_pacer.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace reflector
{

struct BridgeConfig {
    LinkConfig link;
    // Protocol 1.0 has no talk-group numbers: the whole reflector is one
    // conference. The number is the operator's name for it, shown in the
    // state; -1 when none was given.
    int talkgroup = -1;
    std::string relay_address = "127.0.0.1"; // where the site's voice relay listens
    int relay_port = 0;
};

class ReflectorBridge : private LinkListener
{
  public:
    using clock = std::chrono::steady_clock;
    using Say = ReflectorLink::Say;
    // A talker who reached the site before the reflector named him (a node
    // joined in the middle of a call) is announced by this name.
    static constexpr const char *unnamed_talker = "reflector";
    // How long audio waits for the reflector to name its talker.
    static constexpr std::chrono::milliseconds name_wait{200};
    // The reflector's own limit for a talker's silence.
    static constexpr std::chrono::milliseconds talker_silence{3000};
    static constexpr std::chrono::milliseconds hello_retry{6000};

    struct Counters {
        uint64_t frames_to_reflector = 0, packets_to_reflector = 0, packets_from_reflector = 0,
                 undecodable = 0, frames_to_site = 0, refused_takes = 0;
    };

    // `sim` must outlive stop().
    ReflectorBridge(libgatesim &sim, BridgeConfig cfg, Say say);
    ~ReflectorBridge() override;
    ReflectorBridge(const ReflectorBridge &) = delete;
    ReflectorBridge &operator=(const ReflectorBridge &) = delete;

    // Joins the relay and starts the link.
    bool start(std::string &error);
    // Ends the link, frees the talker slot if it holds it, leaves the relay.
    void stop();

    // For the library's talker callback (one slot, which the host shares out
    // among its listeners): the site's talker changes. Never blocks; safe to
    // call after the bridge has gone.
    libgatesim::cb_talker talker_listener();

    // The "state" reply lines.
    std::string state_text() const;
    ReflectorLink::Status link_status() const { return link_.status(); }
    Counters counters() const;
    // Who talks: the reflector's talker heard on the site ("" none), the
    // site's own talker ("" none).
    std::string site_hears() const;
    std::string site_talker() const;

  private:
    struct Event {
        enum Kind { link_up, link_down, talker_start, talker_stop, audio, end_of_stream, site_talker } kind;
        std::string text;
        int ptt = 0;
        std::vector<uint8_t> data;
    };
    struct Inbox {
        std::mutex lock;
        std::vector<Event> events;
        UniqueFd wake;
        void put(Event e);
    };

    // LinkListener, on the link's thread: only into the inbox.
    void link_up(const std::string &codec) override;
    void link_down() override;
    void talker_start(const std::string &callsign) override;
    void talker_stop(const std::string &callsign) override;
    void audio(const uint8_t *data, size_t size) override;
    void end_of_stream() override;

    void run();
    void handle(Event &e, clock::time_point now);
    void on_relay_datagram(const uint8_t *data, size_t size);
    void uplink(const uint8_t *alaw);
    void downlink(const uint8_t *data, size_t size, clock::time_point now);
    void on_site_talker(int ptt, const std::string &user);
    void take(const std::string &name);
    void release();
    void end_site_stream();
    void send_hello();
    void send_frame(const int16_t *pcm);
    void timers(clock::time_point now);
    int poll_timeout(clock::time_point now) const;
    bool own_talker_name(const std::string &callsign) const { return callsign == cfg_.link.callsign; }

    libgatesim &sim_;
    BridgeConfig cfg_;
    Say say_;
    std::shared_ptr<Inbox> inbox_;
    ReflectorLink link_;
    std::thread thread_;

    mutable std::mutex lock_; // guards everything below
    bool stopping_ = false;
    UniqueFd relay_;
    int key_ = -1;
    bool synced_ = false;
    clock::time_point hello_at_{};
    uint16_t rtp_seq_ = 0;
    uint32_t rtp_ts_ = 0;

    bool up_ = false;
    std::unique_ptr<ReflectorCodec> codec_;
    std::unique_ptr<RateConverter> to_reflector_, to_site_;
    std::vector<int16_t> uplink_pcm_; // reflector-rate samples short of a frame

    std::string remote_;        // the reflector's talker, as named ("" none)
    bool holding_ = false;      // the bridge holds the site's talker slot
    std::string held_as_;       // the name it took the slot with
    bool take_waiting_ = false; // the slot was busy: taken when the site's talker ends
    bool release_after_drain_ = false;
    clock::time_point name_deadline_ = clock::time_point::max();
    clock::time_point last_remote_audio_{};
    VoicePacer pacer_;
    std::vector<int16_t> scratch_;

    std::string site_talker_; // a gateway of the site holds the slot ("" none)
    bool streaming_ = false;  // its voice is going to the reflector
    Counters counters_;
};

} // namespace reflector
