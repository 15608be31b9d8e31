#include "web/assets.h"

namespace gwweb
{

const Asset *find_asset(const std::string &path)
{
    size_t count = 0;
    const Asset *all = assets(count);
    for (size_t i = 0; i < count; ++i) {
        if (path == all[i].path)
            return &all[i];
    }
    return nullptr;
}

} // namespace gwweb
