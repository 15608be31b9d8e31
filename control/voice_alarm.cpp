#include "control/voice_alarm.h"

#include "status/live_status.h"

#include <cstdio>

VoiceAlarm::VoiceAlarm(const Timing &timing, std::function<uint64_t()> voice_count)
    : timing_(timing), voice_count_(std::move(voice_count))
{
    if (timing_.limit.count() <= 0 || !voice_count_)
        return;
    try {
        thread_ = std::thread([this] { run(); });
    } catch (...) {
        std::puts("voice   : cannot start the voice alarm");
    }
}

VoiceAlarm::~VoiceAlarm()
{
    stop();
}

void VoiceAlarm::stop()
{
    {
        std::lock_guard<std::mutex> lock(lock_);
        stopping_ = true;
    }
    cv_.notify_all();
    if (thread_.joinable())
        thread_.join();
}

void VoiceAlarm::changed(bool was_expected)
{
    if (!was_expected && expected())
        expected_since_ = std::chrono::steady_clock::now();
    cv_.notify_all();
}

void VoiceAlarm::link_up(bool up)
{
    std::lock_guard<std::mutex> lock(lock_);
    const bool was = expected();
    up_ = up;
    if (!up) {
        squelch_ = false;
        talking_ = false;
    }
    changed(was);
}

void VoiceAlarm::squelch(bool open)
{
    std::lock_guard<std::mutex> lock(lock_);
    const bool was = expected();
    squelch_ = open;
    changed(was);
}

void VoiceAlarm::remote_talking(bool talking)
{
    std::lock_guard<std::mutex> lock(lock_);
    const bool was = expected();
    talking_ = talking;
    changed(was);
}

void VoiceAlarm::raise(bool on)
{
    active_ = on;
    gw_status::put(gw_status::live().voice_alarm, on ? 1u : 0u);
}

bool VoiceAlarm::active()
{
    std::lock_guard<std::mutex> lock(lock_);
    return active_;
}

void VoiceAlarm::run()
{
    using clock = std::chrono::steady_clock;
    std::unique_lock<std::mutex> lock(lock_);
    uint64_t count = voice_count_();
    auto last_voice = clock::now();
    const double seconds = static_cast<double>(timing_.limit.count()) / 1000.0;
    while (!stopping_) {
        cv_.wait_for(lock, timing_.tick);
        if (stopping_)
            break;
        const auto now = clock::now();
        const uint64_t c = voice_count_();
        if (c != count) {
            count = c;
            last_voice = now;
            if (active_) {
                raise(false);
                std::puts("voice   : voice is back, alarm cleared");
            }
            continue;
        }
        if (!expected()) {
            if (active_) {
                raise(false);
                std::puts("voice   : no voice expected any more, alarm cleared");
            }
            continue;
        }
        const auto quiet_since = last_voice > expected_since_ ? last_voice : expected_since_;
        if (!active_ && now - quiet_since >= timing_.limit) {
            raise(true);
            std::printf("voice   : alarm: no voice for %g s while the squelch is open or the server sends\n",
                        seconds);
        }
    }
}
