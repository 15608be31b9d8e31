// The pages, style sheet and script, compiled into gwwebd: nothing is read
// from the file system, so no request path can name anything else.
#pragma once

#include <cstddef>
#include <string>

namespace gwweb
{

struct Asset {
    const char *path;
    const char *content_type;
    const unsigned char *data;
    size_t size;
};

// The asset served at exactly `path`, or null.
const Asset *find_asset(const std::string &path);
// Every asset, for the size check.
const Asset *assets(size_t &count);

} // namespace gwweb
