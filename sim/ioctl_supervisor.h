// The two device ioctls the kernel never passes to a FUSE file: request 1
// (pcmlink configuration; the kernel would take it for FIBMAP) and 0x0706
// (I2C_SLAVE). A seccomp user-notification filter, installed by the box's
// init before it starts the programs, stops exactly these calls; the
// supervisor answers them when the descriptor names one of the box's device
// files and lets the kernel run every other one natively.
// With a RAM disk the filter also stops lseek: on the RAM disk's file a new
// position beyond its size (or negative) fails with EINVAL, as on a block
// device; everything else continues natively.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

#include <sys/types.h>

#include "kernel/pcmlink/pcmlink.h"
#include "sim/unique_fd.h"

namespace boardbox
{

constexpr unsigned long kPcmlinkIoctlCfg = PCMLINK_IOCTL_CFG;
constexpr unsigned long kI2cSlave = 0x0706;
constexpr size_t kPcmlinkCfgSize = sizeof(pcmlink_cfg);

// Installs the filter in the calling process (inherited by its children),
// with lseek too when `seeks`. Returns the notification descriptor, or -1
// with `why`.
int install_ioctl_filter(std::string &why, bool seeks = false);

// A block device's lseek: the new position for (`offset`, `whence`) from
// `position` on a device of `size` bytes; false for EINVAL (negative, beyond
// the size, overflow, or an unknown `whence`). SEEK_SET, SEEK_CUR, SEEK_END.
bool block_seek(int64_t position, uint64_t size, int64_t offset, int whence, int64_t &result);

// Passing the notification descriptor from the box's init to the supervisor.
int send_fd(int sock, int fd);
int recv_fd(int sock);

class IoctlSupervisor
{
  public:
    struct Handlers {
        std::string ssc_path; // what /proc/PID/fd/N shows for the ssc file
        std::string i2c_path;
        // Both return 0 or a negative errno for the caller.
        std::function<int(const uint8_t record[kPcmlinkCfgSize])> pcm_config;
        std::function<int(unsigned long address)> i2c_slave;
        // The file with block-device seek limits (the RAM disk), if any.
        bool seek_limited = false;
        dev_t seek_dev = 0;
        ino_t seek_ino = 0;
        uint64_t seek_size = 0;
    };

    IoctlSupervisor() = default;
    ~IoctlSupervisor() { stop(); }
    IoctlSupervisor(const IoctlSupervisor &) = delete;
    IoctlSupervisor &operator=(const IoctlSupervisor &) = delete;

    // Takes ownership of `notify_fd`; `host_proc` is a /proc that shows the
    // callers under the PIDs the kernel reports to this process.
    int start(int notify_fd, int host_proc, Handlers handlers);
    void stop();

  private:
    void run();
    void handle_one();
    // The answer for an lseek on a descriptor: 0 to continue, or -errno.
    int check_seek(pid_t pid, int fd, int64_t offset, int whence);

    UniqueFd notify_;
    UniqueFd wake_;
    int host_proc_ = -1;
    Handlers handlers_;
    std::thread thread_;
};

} // namespace boardbox
