// Namespaces and the box's own file system tree: a fresh tmpfs root holding
// bind mounts of the host's top-level directories, with its own /dev, /config
// and (mounted by the box's init) /proc. Every mount point is created inside
// tmpfs private to the box, so nothing is left on the host.
#pragma once

#include <sys/types.h>

#include <string>

#include "sim/unique_fd.h"

namespace boardbox
{

class SiteNetwork;

class Sandbox
{
  public:
    // Mount point of the FUSE device files inside the box.
    static constexpr const char *kFuseDir = "/dev/.boardbox";

    // New user namespace when not root, then new mount, UTS and network
    // namespaces. The PID namespace comes with fork_into_pid_namespace.
    // Returns 0, or -1 with the reason in `why`.
    // A site keeper's network namespace is made between the user namespace
    // and the box's own.
    int enter(std::string &why, SiteNetwork *site = nullptr);

    // Builds the new root and switches to it; `config_src` (an open directory
    // or -1) fills /config. The working directory is kept.
    int build_root(int config_src, std::string &why);

    // Loopback up in the new network namespace.
    int loopback_up(std::string &why);

    // The host's /proc, opened before the box mounted its own: the seccomp
    // supervisor sees the box's processes by their host PIDs.
    int host_proc() const { return host_proc_.get(); }

  private:
    UniqueFd host_proc_;
};

// fork(2) whose child is PID 1 of a new PID namespace; call it while the
// process has only one thread.
pid_t fork_into_pid_namespace();

// Copies regular files and directories below `src` into `dst` (both open
// directories). Symbolic links and special files are skipped. 0 or -1.
int copy_tree(int src, int dst);

} // namespace boardbox
