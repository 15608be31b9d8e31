#include "control/tx_timeout.h"

#include "board/gpio.h"

#include <cstdio>

TxTimeout::TxTimeout(const Timing &timing, Gpio *beeper, std::function<void()> expired)
    : timing_(timing), beeper_(beeper), expired_(std::move(expired))
{
    if (!enabled())
        return;
    try {
        thread_ = std::thread([this] { run(); });
        running_ = true;
    } catch (...) {
        std::puts("tot     : cannot start the transmit timer, no time-out");
    }
}

TxTimeout::~TxTimeout()
{
    stop();
}

void TxTimeout::stop()
{
    {
        std::lock_guard<std::mutex> lock(lock_);
        stopping_ = true;
    }
    cv_.notify_all();
    if (thread_.joinable())
        thread_.join();
}

int TxTimeout::filter(int ptt)
{
    const int p = ptt ? 1 : 0;
    if (!running_)
        return p;
    std::lock_guard<std::mutex> lock(lock_);
    switch (state_) {
    case State::idle:
        if (p) {
            state_ = State::keyed;
            ++generation_;
            started_ = std::chrono::steady_clock::now();
            cv_.notify_all();
        }
        return p;
    case State::keyed:
        if (!p) {
            state_ = State::idle;
            cv_.notify_all();
        }
        return p;
    case State::latched:
        if (!p) {
            state_ = State::idle;
            std::puts("tot     : PTT released, the next press transmits");
        }
        return -1;
    }
    return p;
}

bool TxTimeout::take_expiry()
{
    std::lock_guard<std::mutex> lock(lock_);
    if (state_ != State::keyed || fired_ != generation_)
        return false;
    state_ = State::latched;
    cv_.notify_all();
    return true;
}

void TxTimeout::cancel()
{
    std::lock_guard<std::mutex> lock(lock_);
    if (state_ == State::keyed) {
        state_ = State::idle;
        cv_.notify_all();
    }
}

void TxTimeout::beep(bool on)
{
    if (on == beeping_)
        return;
    beeping_ = on;
    if (!beeper_)
        return;
    if (on)
        beeper_->set_bits(beeper_bit);
    else
        beeper_->clear_bits(beeper_bit);
}

void TxTimeout::run()
{
    using clock = std::chrono::steady_clock;
    std::unique_lock<std::mutex> lock(lock_);
    while (!stopping_) {
        if (state_ != State::keyed || fired_ == generation_) {
            beep(false);
            cv_.wait(lock);
            continue;
        }
        const auto now = clock::now();
        const auto end = started_ + timing_.limit;
        if (now >= end) {
            beep(false);
            fired_ = generation_;
            // Without this lock: `expired` takes the control's, under which
            // filter() is called.
            lock.unlock();
            expired_();
            lock.lock();
            continue;
        }
        const auto warn = end - timing_.warning > started_ ? end - timing_.warning : started_;
        const auto period = timing_.beep_every.count() > 0 ? timing_.beep_every : timing_.warning;
        if (beeps_of_ != generation_) {
            beeps_of_ = generation_;
            beeps_done_ = 0;
        }
        if (beeping_ && now >= beep_off_at_)
            beep(false);
        const auto due = warn + beeps_done_ * period;
        if (!beeping_ && now >= due) {
            beep(true);
            ++beeps_done_;
            beep_off_at_ = now + timing_.beep_length < end ? now + timing_.beep_length : end;
        }
        auto wake = beeping_ ? beep_off_at_ : warn + beeps_done_ * period;
        if (wake > end)
            wake = end;
        cv_.wait_until(lock, wake);
    }
    beep(false);
}
