#include "tools/headflash/targets.h"

#include <iterator>

namespace headflash
{

namespace
{

const Target targets[] = {
    {Mode::head, 3, "target: head/radio_type_xcmp(3)", "HEAD", "/dev/ttyS1", 3000000},
    {Mode::head, 4, "target: head/radio_type_mtetra(4)", "HEmt", "/dev/ttyS1", 460800},
    {Mode::head, 5, "target: head/radio_type_nx5xxx(5)", "HEn5", "/dev/ttyS1", 230400},
    {Mode::radio, 9, "target: head/RadioType_XCMP_DM4600(9)", "RADI", "/dev/ttyS1", 3000000},
    {Mode::radio, 14, "target: head/RadioType_Tetra_M(14)", "RAmt", "/dev/ttyS3", 460800},
    {Mode::radio, 21, "target: head/RadioType_NX5XXX(21)", "RAn5", "/dev/ttyS3", 230400},
};

} // namespace

const Target *find_target(Mode mode, long type)
{
    for (const Target &t : targets)
        if (t.mode == mode && t.type == type)
            return &t;
    return nullptr;
}

} // namespace headflash
