#include "web/firmware_upload.h"

#include "base/fd_io.h"
#include "web/paths.h"
#include "web/run_program.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace gwweb
{

int FirmwareUpload::begin(std::string &error)
{
    abandon();
    checked_ok_ = false;
    received_ = 0;
    // Never created: on the board it is a block device, and a file made here
    // would only hide its absence.
    ram_.reset(::open(ram_disk, O_WRONLY | O_CLOEXEC | O_NOFOLLOW));
    if (!ram_.valid()) {
        error = std::string(ram_disk) + ": " + std::strerror(errno);
        return -1;
    }
    off_t end = ::lseek(ram_.get(), 0, SEEK_END);
    if (end <= 0 || ::lseek(ram_.get(), 0, SEEK_SET) != 0) {
        error = std::string(ram_disk) + ": cannot tell its size";
        ram_.reset();
        return -1;
    }
    capacity_ = static_cast<uint64_t>(end);
    return 0;
}

int FirmwareUpload::write(const char *data, size_t length, std::string &error)
{
    if (!ram_.valid()) {
        error = "no upload under way";
        return -1;
    }
    if (length > capacity_ - received_) {
        error = "the image is larger than the RAM disk (" + std::to_string(capacity_) + " bytes)";
        abandon();
        return -1;
    }
    if (!write_full(ram_.get(), reinterpret_cast<const uint8_t *>(data), length)) {
        error = std::string(ram_disk) + ": " + std::strerror(errno);
        abandon();
        return -1;
    }
    received_ += length;
    return 0;
}

void FirmwareUpload::abandon()
{
    ram_.reset();
}

int FirmwareUpload::finish(std::string &verdict, std::string &error)
{
    if (!ram_.valid()) {
        error = "no upload under way";
        return -1;
    }
    ::fsync(ram_.get());
    ram_.reset();
    int status = run_program({"fwwriter", "--check"}, verdict);
    if (status < 0) {
        error = "cannot run fwwriter";
        return -1;
    }
    checked_ok_ = status == 0;
    if (!checked_ok_)
        error = "the image did not pass fwwriter's check";
    return checked_ok_ ? 0 : -1;
}

int FirmwareUpload::upgrade(std::string &error)
{
    if (!checked_ok_ || ram_.valid()) {
        error = "no checked image waits in the RAM disk: upload one first";
        return -1;
    }
    checked_ok_ = false;
    // The board's gwupgrade holds gwlinkd off, lets go of the configuration
    // partition that the upgrade rewrites, then runs fwwriter; where it is
    // missing (a box, a PC) fwwriter runs straight away.
    const std::vector<std::string> argv = on_path("gwupgrade")
                                              ? std::vector<std::string>{"gwupgrade", "--in-ram"}
                                              : std::vector<std::string>{"fwwriter", "--upgrade"};
    if (start_detached(argv) != 0) {
        error = "cannot start fwwriter";
        return -1;
    }
    return 0;
}

} // namespace gwweb
