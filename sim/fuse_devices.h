// Serves the box's FUSE-backed device files ("ssc0", "i2c-0") from one
// directory, with direct I/O so that every read and write reaches the device
// model (the kernel would otherwise cache them and lose the pacing).
#pragma once

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "sim/device_file.h"

struct fuse_session;

namespace boardbox
{

class FuseDevices
{
  public:
    struct Node {
        std::string name;
        DeviceFile *device; // not owned
    };

    FuseDevices() = default;
    ~FuseDevices() { stop(); }
    FuseDevices(const FuseDevices &) = delete;
    FuseDevices &operator=(const FuseDevices &) = delete;

    // Mounts at `dir` (which must exist; /dev/fuse must be reachable) and
    // starts the workers. 0 or -1 with `why`.
    int start(const std::string &dir, std::vector<Node> nodes, std::string &why);

    // Unmounts and joins the workers. Device reads blocked in a model must be
    // released first (by stopping the model).
    void stop();

    const std::vector<Node> &nodes() const { return nodes_; }

  private:
    void worker();

    std::vector<Node> nodes_;
    fuse_session *session_ = nullptr;
    std::atomic<bool> stopping_{false};
    std::atomic<int> running_{0};
    std::vector<std::thread> workers_;
};

} // namespace boardbox
