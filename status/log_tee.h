// Keeps a copy of what the daemon prints in the status file's log ring.
// Standard output becomes a stream whose every write goes to descriptor 1
// unchanged and then into the ring: what reaches the terminal or pipe is
// byte for byte what it was, and no thread is added (stdio's own stream lock
// serialises the writers).
#pragma once

#include "status/status_file.h"

namespace gw_status
{

// `map` must stay open for the life of the process. 0, or -1 (standard output
// is then left as it was).
int tee_stdout_into(StatusMap *map);

} // namespace gw_status
