#include "tools/fwwriter/ledblink.h"

#include <chrono>
#include <system_error>

namespace fwwriter
{

LedBlink::LedBlink(LedFn led) : led_(led) {}

LedBlink::~LedBlink()
{
    stop();
}

int LedBlink::start()
{
    if (thread_.joinable())
        return 0;
    {
        std::lock_guard<std::mutex> g(lock_);
        stop_ = false;
    }
    try {
        thread_ = std::thread([this] { thr_ledblink(); });
    } catch (const std::system_error &) {
        return -1;
    }
    return 0;
}

void LedBlink::stop()
{
    if (!thread_.joinable())
        return;
    {
        std::lock_guard<std::mutex> g(lock_);
        stop_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

void LedBlink::thr_ledblink()
{
    const auto half = std::chrono::milliseconds(25);
    std::unique_lock<std::mutex> g(lock_);
    int on = 0;
    while (!stop_) {
        led_(on);
        if (wake_.wait_for(g, half, [this] { return stop_; }))
            break;
        on = !on;
    }
}

} // namespace fwwriter
