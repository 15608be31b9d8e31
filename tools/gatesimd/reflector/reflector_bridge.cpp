#include "tools/gatesimd/reflector/reflector_bridge.h"

#include "audio/codec_alaw.h"
#include "base/byteorder.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace reflector
{

namespace
{

constexpr int site_rate = 8000;
constexpr size_t rtp_header = 12;
constexpr size_t site_frame = 160; // A-law bytes, 20 ms
constexpr size_t rtp_packet = rtp_header + site_frame;
constexpr uint8_t alaw_payload_type = 8;

// Set while this bridge's own thread changes the talker slot: the report the
// library makes of it, on this thread, is not a change by a gateway.
thread_local bool changing_slot = false;

struct SlotChange {
    SlotChange() { changing_slot = true; }
    ~SlotChange() { changing_slot = false; }
};

std::string printable(const std::string &text)
{
    std::string out;
    for (unsigned char c : text)
        out.push_back(c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?');
    return out;
}

} // namespace

void ReflectorBridge::Inbox::put(Event e)
{
    {
        std::lock_guard<std::mutex> g(lock);
        events.push_back(std::move(e));
    }
    uint64_t one = 1;
    ssize_t r = ::write(wake.get(), &one, sizeof one);
    (void)r; // a full counter wakes the thread as well
}

ReflectorBridge::ReflectorBridge(libgatesim &sim, BridgeConfig cfg, Say say)
    : sim_(sim), cfg_(std::move(cfg)), say_(std::move(say)), inbox_(std::make_shared<Inbox>()),
      link_(cfg_.link, *this, say_)
{
    inbox_->wake.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
}

ReflectorBridge::~ReflectorBridge()
{
    stop();
}

libgatesim::cb_talker ReflectorBridge::talker_listener()
{
    std::weak_ptr<Inbox> weak = inbox_;
    return [weak](int ptt, const std::string &user) {
        if (changing_slot)
            return 0;
        if (auto inbox = weak.lock())
            inbox->put(Event{Event::site_talker, user, ptt, {}});
        return 0;
    };
}

bool ReflectorBridge::start(std::string &error)
{
    if (!inbox_->wake.valid()) {
        error = "eventfd failed";
        return false;
    }
    sockaddr_in relay{};
    relay.sin_family = AF_INET;
    relay.sin_port = htons(static_cast<uint16_t>(cfg_.relay_port));
    if (cfg_.relay_port <= 0 || inet_pton(AF_INET, cfg_.relay_address.c_str(), &relay.sin_addr) != 1) {
        error = "the reflector needs the site's voice relay (an RTP port)";
        return false;
    }
    sockaddr_in local = relay;
    local.sin_port = 0;
    UniqueFd s(::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    // Bound to the relay's address, so the relay sees the member at the
    // address it was added with.
    if (!s.valid() || ::bind(s.get(), reinterpret_cast<sockaddr *>(&local), sizeof local) != 0 ||
        ::connect(s.get(), reinterpret_cast<sockaddr *>(&relay), sizeof relay) != 0) {
        error = "cannot reach the voice relay at " + cfg_.relay_address + ":" +
                std::to_string(cfg_.relay_port) + ": " + std::strerror(errno);
        return false;
    }
    int key = sim_.rtp_member_add(cfg_.relay_address);
    if (key < 0) {
        error = "the voice relay refused the reflector's member at " + cfg_.relay_address;
        return false;
    }
    {
        std::lock_guard<std::mutex> g(lock_);
        relay_ = std::move(s);
        key_ = key;
        send_hello();
    }
    if (cfg_.talkgroup >= 0)
        say_("reflector: protocol 1.0 has no talk-group numbers: talk group " +
             std::to_string(cfg_.talkgroup) + " is the whole reflector");
    thread_ = std::thread([this] { run(); });
    if (!link_.start(error)) {
        stop();
        return false;
    }
    return true;
}

void ReflectorBridge::stop()
{
    link_.stop();
    {
        std::lock_guard<std::mutex> g(lock_);
        if (stopping_)
            return;
        stopping_ = true;
    }
    inbox_->put(Event{Event::link_down, "", 0, {}});
    if (thread_.joinable())
        thread_.join();
    std::lock_guard<std::mutex> g(lock_);
    if (holding_)
        release();
    if (key_ >= 0) {
        SlotChange own;
        sim_.rtp_member_del(cfg_.relay_address, key_);
        key_ = -1;
    }
    relay_.reset();
}

// ---- The link's reports (the link's thread) ----

void ReflectorBridge::link_up(const std::string &codec)
{
    inbox_->put(Event{Event::link_up, codec, 0, {}});
}

void ReflectorBridge::link_down()
{
    inbox_->put(Event{Event::link_down, "", 0, {}});
}

void ReflectorBridge::talker_start(const std::string &callsign)
{
    inbox_->put(Event{Event::talker_start, callsign, 0, {}});
}

void ReflectorBridge::talker_stop(const std::string &callsign)
{
    inbox_->put(Event{Event::talker_stop, callsign, 0, {}});
}

void ReflectorBridge::audio(const uint8_t *data, size_t size)
{
    inbox_->put(Event{Event::audio, "", 0, std::vector<uint8_t>(data, data + size)});
}

void ReflectorBridge::end_of_stream()
{
    inbox_->put(Event{Event::end_of_stream, "", 0, {}});
}

// ---- The bridge's thread ----

void ReflectorBridge::run()
{
    std::unique_lock<std::mutex> g(lock_);
    std::vector<Event> events;
    while (!stopping_) {
        pollfd fds[2] = {{inbox_->wake.get(), POLLIN, 0}, {relay_.get(), POLLIN, 0}};
        int wait = poll_timeout(clock::now());
        g.unlock();
        int n = ::poll(fds, 2, wait);
        {
            std::lock_guard<std::mutex> ig(inbox_->lock);
            events.swap(inbox_->events);
        }
        g.lock();
        if (n < 0 && errno != EINTR)
            break;
        if (fds[0].revents != 0) {
            uint64_t v;
            ssize_t r = ::read(inbox_->wake.get(), &v, sizeof v);
            (void)r;
        }
        auto now = clock::now();
        for (Event &e : events)
            handle(e, now);
        events.clear();
        if (fds[1].revents != 0) {
            uint8_t buf[512];
            for (int i = 0; i < 64; i++) {
                ssize_t r = ::recv(relay_.get(), buf, sizeof buf, MSG_DONTWAIT);
                if (r < 0 && errno == EINTR)
                    continue;
                if (r < 0)
                    break;
                on_relay_datagram(buf, static_cast<size_t>(r));
            }
        }
        timers(clock::now());
    }
}

int ReflectorBridge::poll_timeout(clock::time_point now) const
{
    clock::time_point next = clock::time_point::max();
    if (holding_)
        next = std::min(next, pacer_.next_due(now));
    if (!synced_)
        next = std::min(next, hello_at_);
    next = std::min(next, name_deadline_);
    if (holding_ && !release_after_drain_)
        next = std::min(next, last_remote_audio_ + talker_silence);
    if (next == clock::time_point::max())
        return -1;
    if (next <= now)
        return 0;
    return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(next - now).count()) + 1;
}

void ReflectorBridge::handle(Event &e, clock::time_point now)
{
    switch (e.kind) {
    case Event::link_up:
        up_ = true;
        codec_ = e.text.empty() ? nullptr : make_codec(e.text);
        to_reflector_ = std::make_unique<RateConverter>(site_rate, codec_rate);
        to_site_ = std::make_unique<RateConverter>(codec_rate, site_rate);
        uplink_pcm_.clear();
        streaming_ = false;
        return;
    case Event::link_down:
        up_ = false;
        remote_.clear();
        take_waiting_ = false;
        name_deadline_ = clock::time_point::max();
        if (holding_)
            release();
        return;
    case Event::talker_start:
        if (own_talker_name(e.text)) {
            if (!site_talker_.empty())
                say_("reflector: [" + printable(site_talker_) + "] talks to the reflector");
            return;
        }
        if (holding_ && held_as_ != e.text)
            release(); // another node took over at once
        remote_ = e.text;
        name_deadline_ = clock::time_point::max();
        release_after_drain_ = false;
        last_remote_audio_ = now;
        if (!holding_)
            take(remote_);
        return;
    case Event::talker_stop:
    case Event::end_of_stream:
        if (e.kind == Event::talker_stop && own_talker_name(e.text))
            return; // the site's own turn on the reflector ended
        // The reflector flushes everybody but its talker: either way the
        // remote talker's stream has ended.
        if (codec_)
            codec_->end_of_stream();
        if (to_site_)
            to_site_->reset();
        if (e.kind == Event::end_of_stream || e.text == remote_)
            remote_.clear();
        take_waiting_ = false;
        name_deadline_ = clock::time_point::max();
        if (holding_)
            release_after_drain_ = true; // what is queued is still played
        return;
    case Event::audio:
        downlink(e.data.data(), e.data.size(), now);
        return;
    case Event::site_talker:
        on_site_talker(e.ptt, e.text);
        return;
    }
}

void ReflectorBridge::downlink(const uint8_t *data, size_t size, clock::time_point now)
{
    counters_.packets_from_reflector++;
    // Whether or not it can be played, the talker is still talking.
    last_remote_audio_ = now;
    scratch_.clear();
    if (!codec_ || !codec_->decode(data, size, scratch_)) {
        counters_.undecodable++;
        return;
    }
    if (take_waiting_)
        return; // a gateway of the site talks: nobody here can hear it
    if (!holding_) {
        if (!site_talker_.empty())
            return;
        // Audio before the reflector named its talker: wait a moment for the name.
        if (name_deadline_ == clock::time_point::max())
            name_deadline_ = now + name_wait;
    }
    release_after_drain_ = false;
    std::vector<int16_t> pcm;
    to_site_->process(scratch_.data(), scratch_.size(), pcm);
    pacer_.push(pcm.data(), pcm.size());
}

void ReflectorBridge::on_relay_datagram(const uint8_t *data, size_t size)
{
    // The relay's keep-alives and voice show that it knows the bridge's port.
    if (size == 4 || (size == rtp_packet && data[0] == 0x80))
        synced_ = true;
    if (size != rtp_packet || data[0] != 0x80)
        return;
    // While the bridge talks, the relay sends it only the host's own voice;
    // otherwise what comes is the site talker's voice.
    if (holding_ || site_talker_.empty() || !up_ || !codec_)
        return;
    uplink(data + rtp_header);
}

void ReflectorBridge::uplink(const uint8_t *alaw)
{
    int16_t pcm[site_frame];
    for (size_t i = 0; i < site_frame; i++)
        pcm[i] = alaw_decode(alaw[i]);
    to_reflector_->process(pcm, site_frame, uplink_pcm_);
    std::vector<uint8_t> packet;
    size_t used = 0;
    while (uplink_pcm_.size() - used >= static_cast<size_t>(codec_frame)) {
        if (codec_->encode(uplink_pcm_.data() + used, packet) &&
            link_.send_audio(packet.data(), packet.size())) {
            counters_.packets_to_reflector++;
            streaming_ = true;
        }
        used += codec_frame;
    }
    uplink_pcm_.erase(uplink_pcm_.begin(), uplink_pcm_.begin() + static_cast<std::ptrdiff_t>(used));
    counters_.frames_to_reflector++;
}

void ReflectorBridge::on_site_talker(int ptt, const std::string &user)
{
    if (ptt == 1) {
        site_talker_ = user;
        uplink_pcm_.clear();
        if (to_reflector_)
            to_reflector_->reset();
        if (!remote_.empty() && !holding_)
            say_("reflector: [" + printable(user) + "] is not heard on the reflector: " + printable(remote_) +
                 " talks there");
        return;
    }
    site_talker_.clear();
    end_site_stream();
    if (take_waiting_ && !remote_.empty()) {
        take_waiting_ = false;
        take(remote_);
    }
}

void ReflectorBridge::end_site_stream()
{
    if (streaming_)
        link_.send_flush();
    streaming_ = false;
    uplink_pcm_.clear();
}

void ReflectorBridge::take(const std::string &name)
{
    if (holding_ || key_ < 0)
        return;
    int r;
    {
        SlotChange own;
        r = sim_.talker_take(cfg_.relay_address, key_, name);
    }
    if (r == 0) {
        holding_ = true;
        held_as_ = name;
        take_waiting_ = false;
        say_("reflector: " + printable(name) + " talks to the site");
        return;
    }
    counters_.refused_takes++;
    pacer_.clear();
    if (r == -1) {
        take_waiting_ = true;
        say_("reflector: " + printable(name) + " is not heard on the site: " +
             (site_talker_.empty() ? std::string("a gateway") : "[" + printable(site_talker_) + "]") +
             " talks there");
    } else {
        say_("reflector: the voice relay does not know the reflector's member");
    }
}

void ReflectorBridge::release()
{
    {
        SlotChange own;
        sim_.talker_free(cfg_.relay_address, key_, held_as_);
    }
    holding_ = false;
    release_after_drain_ = false;
    pacer_.clear();
    say_("reflector: " + printable(held_as_) + " no longer talks to the site");
    held_as_.clear();
}

void ReflectorBridge::timers(clock::time_point now)
{
    if (!synced_ && now >= hello_at_)
        send_hello();
    if (now >= name_deadline_) {
        name_deadline_ = clock::time_point::max();
        if (!holding_ && remote_.empty() && site_talker_.empty())
            take(unnamed_talker);
    }
    if (!holding_)
        return;
    int16_t frame[VoicePacer::frame_samples];
    while (pacer_.pop_due(now, frame))
        send_frame(frame);
    if (release_after_drain_ ? pacer_.buffered() < VoicePacer::frame_samples
                             : now >= last_remote_audio_ + talker_silence)
        release();
}

void ReflectorBridge::send_hello()
{
    uint8_t p[rtp_packet] = {};
    p[0] = 0x80;
    p[1] = alaw_payload_type;
    bytes::put_be32(p + 8, static_cast<uint32_t>(key_));
    bytes::put_le32(p + rtp_header, static_cast<uint32_t>(key_));
    ssize_t r = ::send(relay_.get(), p, sizeof p, MSG_DONTWAIT);
    (void)r; // lost on a full socket: sent again below
    hello_at_ = clock::now() + hello_retry;
}

void ReflectorBridge::send_frame(const int16_t *pcm)
{
    uint8_t p[rtp_packet];
    p[0] = 0x80;
    p[1] = alaw_payload_type;
    bytes::put_be16(p + 2, rtp_seq_++);
    rtp_ts_ += site_frame;
    bytes::put_be32(p + 4, rtp_ts_);
    bytes::put_be32(p + 8, static_cast<uint32_t>(key_));
    for (size_t i = 0; i < site_frame; i++)
        p[rtp_header + i] = alaw_encode(pcm[i]);
    if (::send(relay_.get(), p, sizeof p, MSG_DONTWAIT) == static_cast<ssize_t>(sizeof p))
        counters_.frames_to_site++;
}

// ---- The operator's view ----

ReflectorBridge::Counters ReflectorBridge::counters() const
{
    std::lock_guard<std::mutex> g(lock_);
    return counters_;
}

std::string ReflectorBridge::site_hears() const
{
    std::lock_guard<std::mutex> g(lock_);
    return holding_ ? held_as_ : std::string();
}

std::string ReflectorBridge::site_talker() const
{
    std::lock_guard<std::mutex> g(lock_);
    return site_talker_;
}

std::string ReflectorBridge::state_text() const
{
    ReflectorLink::Status s = link_.status();
    std::lock_guard<std::mutex> g(lock_);
    std::ostringstream o;
    o << "reflector " << cfg_.link.host << ":" << cfg_.link.port << " as " << cfg_.link.callsign << ": "
      << ReflectorLink::state_name(s.state);
    if (s.state == ReflectorLink::State::connected) {
        o << " (client id " << s.client_id << ", codec " << (s.codec.empty() ? "-" : s.codec)
          << (s.codec_supported ? "" : " not supported, no voice") << ")";
    } else if (!s.problem.empty()) {
        o << " (" << s.problem << ")";
    }
    o << ", talk group ";
    if (cfg_.talkgroup >= 0)
        o << cfg_.talkgroup;
    else
        o << "-";
    o << ", talker " << (s.talker.empty() ? "-" : printable(s.talker)) << "\n";
    o << "  nodes:";
    if (s.nodes.empty())
        o << " -";
    for (const std::string &n : s.nodes)
        o << " " << printable(n);
    o << "\n  site hears " << (holding_ ? printable(held_as_) : "-") << ", site talker "
      << (site_talker_.empty() ? "-" : "[" + printable(site_talker_) + "]") << ", relay member "
      << (synced_ ? "synced" : "not synced") << "\n";
    o << "  to the reflector " << counters_.packets_to_reflector << " packets, from it "
      << counters_.packets_from_reflector << " (" << counters_.undecodable << " undecodable, " << s.lost_in
      << " lost, " << s.bad_in << " bad datagrams), to the site " << counters_.frames_to_site
      << " frames, attempts " << s.attempts << ", logins " << s.logins << "\n";
    return o.str();
}

} // namespace reflector
