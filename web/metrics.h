// The status in the Prometheus text exposition format (version 0.0.4).
#pragma once

#include "web/status_source.h"

#include <string>

namespace gwweb
{

struct WebCounters {
    uint32_t logins_ok = 0;
    uint32_t logins_failed = 0;
};

std::string metrics_text(const StatusView &status, const WebCounters &web);

} // namespace gwweb
