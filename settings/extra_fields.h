// Setting the fields of "/config/extra.cfg" (backup server, transmit time-out,
// voice alarm) by name, with the same checks as the record's fields.
#pragma once

#include "gateway/extra_record.h"

#include <string>

namespace gwcfg
{

bool is_extra_field(const std::string &field);

// Applies one "FIELD VALUE" pair to rec; 0, or -1 with `error` saying why.
// Fields: backup_ip (dotted IPv4, 0.0.0.0 for none), backup_port (0-65535,
// 0 for the main server's), backup_after, main_retry, tx_timeout and
// voice_alarm (seconds, 0 for off), each within the record's range.
int set_extra_field(extra_format::extra_record &rec, const std::string &field, const std::string &value,
                    std::string &error);

} // namespace gwcfg
