// Where gwwebd finds the gateway: the same fixed places as the daemon and
// the firmware tools.
#pragma once

namespace gwweb
{

constexpr char config_dir[] = "/config";
constexpr char ram_disk[] = "/dev/ram0";

} // namespace gwweb
