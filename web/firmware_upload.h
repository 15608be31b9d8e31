// The firmware page: an upgrade image streamed into the RAM disk as it
// arrives (the board has no room to hold it twice), fwwriter's verdict on it,
// and the upgrade itself only for an image that passed the check and has not
// been replaced since.
#pragma once

#include "base/unique_fd.h"

#include <cstdint>
#include <string>

namespace gwweb
{

class FirmwareUpload
{
  public:
    // 0, or -1 with `error` (no RAM disk).
    int begin(std::string &error);
    // -1 with `error` when the image would not fit the RAM disk.
    int write(const char *data, size_t length, std::string &error);
    // Ends the upload and runs "fwwriter --check": 0 when it passed. The
    // checker's own lines are in `verdict` either way.
    int finish(std::string &verdict, std::string &error);
    void abandon();

    // Starts the upgrade, which reboots the board: "gwupgrade --in-ram" where
    // the root file system has it, else "fwwriter --upgrade". 0, or -1 with
    // `error` when no checked image waits.
    int upgrade(std::string &error);

    bool uploading() const { return ram_.valid(); }
    uint64_t received() const { return received_; }
    uint64_t capacity() const { return capacity_; }

  private:
    UniqueFd ram_;
    uint64_t capacity_ = 0;
    uint64_t received_ = 0;
    bool checked_ok_ = false;
};

} // namespace gwweb
