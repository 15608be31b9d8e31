#include "tools/fwwriter/options.h"

#include <cstring>

namespace fwwriter
{

const char usage_line[] = "usage: ./fwwriter --check / --upgrade / --check-quiet / --upgrade-quiet";

int parse_options(int argc, const char *const *argv, Options *out)
{
    if (argc != 2 || argv == nullptr || argv[1] == nullptr || out == nullptr)
        return -1;
    static const struct {
        const char *arg;
        int mode;
        int v;
    } table[] = {
        {"--check", mode_check, 1},
        {"--upgrade", mode_upgrade, 1},
        {"--check-quiet", mode_check, 0},
        {"--upgrade-quiet", mode_upgrade, 0},
    };
    for (const auto &e : table) {
        if (std::strcmp(argv[1], e.arg) == 0) {
            out->mode = e.mode;
            out->v = e.v;
            return 0;
        }
    }
    return -1;
}

} // namespace fwwriter
