// The board's RAM disk and flash partitions as fwwriter uses them:
// "/dev/ram0" (a private copy of an image file, of fixed size), "/dev/mtd3",
// "/dev/mtd4", "/dev/mtd5" (files bound from a host directory, or the box's
// own), and the stand-in for the board's "/sbin/mtd", which reports every run
// back to the box (sim/mtd_report.h).
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "sim/box_options.h"
#include "sim/event_log.h"
#include "sim/unique_fd.h"

namespace boardbox
{

// Sizes of partitions the box creates: erased flash (0xFF).
constexpr uint64_t kMtdDefaultSize[3] = {2u << 20, 8u << 20, 1u << 20};
constexpr const char *kMtdNames[3] = {"mtd3", "mtd4", "mtd5"};

// Identity of the box's ram0 file, for the seek limits of a block device.
struct Ram0Identity {
    bool present = false;
    dev_t dev = 0;
    ino_t ino = 0;
    uint64_t size = 0;
};

class FlashDevices
{
  public:
    explicit FlashDevices(EventLog &log) : log_(log) {}
    ~FlashDevices() { stop(); }
    FlashDevices(const FlashDevices &) = delete;
    FlashDevices &operator=(const FlashDevices &) = delete;

    // Before the box's namespaces: opens the ram0 source, checks its size,
    // creates the missing partition files in --mtd DIR and finds the stand-in
    // (`tool`: its path). 0, or -1 with `why` (a command-line error).
    int prepare(const Options &opt, const std::string &tool, std::string &why);
    // In the box's new mount namespace, before its root is built: takes
    // detached copies of the host files that are bound into the box.
    int clone_host_files(std::string &why);
    // After the root changed: the device files and /sbin/mtd.
    int install(std::string &why);
    // The report socket, in the box's network namespace; its thread.
    int start(std::string &why);
    void stop();

    Ram0Identity ram0() const { return ram0_; }
    nlohmann::json control(const nlohmann::json &request);

    // Records one report of the stand-in (what the socket thread does with a
    // message). Returns false for a message it does not understand.
    bool handle_report(const std::string &message);

    // "/sbin/mtd" in the box: its own directory replaces the host's /sbin (a
    // directory of links to the host's entries), so the rest stays usable.
    static int install_tool(int tool_tree, std::string &why);

  private:
    struct Partition {
        std::string device;    // "/dev/mtd3"
        std::string host_path; // DIR/mtd3, or empty
        uint64_t size = 0;
        UniqueFd tree; // detached bind of host_path
        uint64_t erases = 0, writes = 0, last_write = 0, failures = 0;
        bool last_write_ok = true;
    };
    void run();

    EventLog &log_;
    std::string ram0_file_;
    uint64_t ram0_size_ = 0;
    UniqueFd ram0_src_;
    Ram0Identity ram0_;
    std::string tool_;
    UniqueFd tool_tree_;
    std::mutex lock_;
    Partition parts_[3];
    UniqueFd listen_, wake_;
    std::thread thread_;
};

} // namespace boardbox
