// The box's time-stamped event log: one line per event, seconds since the box
// started, so a failing test shows what the board did and when.
#pragma once

#include <chrono>
#include <mutex>
#include <string>

#include "sim/unique_fd.h"

namespace boardbox
{

class EventLog
{
  public:
    EventLog();

    // Opens (truncates) the log file; without a file events are only counted.
    int open(const std::string &path);

    // Thread safe; each call is one line written with one write(2), so lines
    // of several processes sharing the descriptor never interleave.
    void event(const char *fmt, ...) __attribute__((format(printf, 2, 3)));

    // Seconds since construction.
    double now() const;

  private:
    std::chrono::steady_clock::time_point start_;
    std::mutex lock_;
    UniqueFd fd_;
};

} // namespace boardbox
