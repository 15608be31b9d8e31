// Copies the live counters into the status file, once per pass of gwlinkd's
// supervision loop: the one writer of the record.
#pragma once

#include "status/live_status.h"
#include "status/status_file.h"

namespace gw_status
{

class StatusPublisher
{
  public:
    // `map` is borrowed; the three settings are the ones the daemon runs with.
    StatusPublisher(StatusMap *map, uint32_t radio_type, uint32_t codec, uint32_t crypto_mode);

    // The record as it stands now.
    status_record snapshot() const;
    void publish();

  private:
    StatusMap *map_;
    status_record fixed_;
};

} // namespace gw_status
