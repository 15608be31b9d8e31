// gwlinkd's status file as gwwebd reads it: mapped when it appears, judged
// stale when the daemon has not written it for a while (stopped, restarting).
#pragma once

#include "status/status_file.h"

#include <string>
#include <vector>

namespace gwweb
{

struct StatusView {
    bool present = false; // a consistent record was read
    bool running = false; // and it is fresh
    uint32_t age_ms = 0;  // since gwlinkd last wrote it
    gw_status::status_record record;
    std::vector<std::string> log;
};

class StatusSource
{
  public:
    static constexpr uint32_t stale_after_ms = 2000;
    static constexpr size_t log_lines = 60;

    StatusView read();

  private:
    gw_status::StatusMap map_;
};

uint32_t monotonic_ms();

} // namespace gwweb
