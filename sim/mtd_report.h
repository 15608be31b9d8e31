// How the box's /sbin/mtd stand-in reports each run to the box: one JSON
// message on a SOCK_SEQPACKET connection to an abstract Unix socket of the
// box's network namespace (so nothing shows in the box's file system and
// every box has its own), answered by "ok" once the box has recorded it.
//
// Message fields: "op" ("erase", "write" or "usage"), "device", "ok" (bool),
// "bytes" (write: bytes written), "error" (text when not ok), "args" (usage:
// the arguments as given).
#pragma once

namespace boardbox
{

// Without the leading zero byte that makes the address abstract.
constexpr const char kMtdReportName[] = "boardbox-mtd-report";

} // namespace boardbox
