// The three radios' serial framings, fed the same stream: every frame they
// deliver keeps its framing's shape and size limits. The NX700's clock moves
// by the input, so its inter-byte time-out is reached too.
#include "control/mtetra_serialdisp_frame.h"
#include "control/nx5_serialdisp_frame.h"
#include "control/nx700_serialdisp_frame.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    mtetra_serialdisp_frame mtetra([](const uint8_t *f, size_t n) {
        if (n < 3 || n > 1024 || f[0] != 0xFF || f[n - 1] != 0xFF)
            __builtin_trap();
    });
    nx5_serialdisp_frame nx5([](const uint8_t *f, size_t n) {
        if (n < 10 || n > 1023 || f[0] != 0xFF || f[2] != 0xAB || f[3] != 0xAB ||
            static_cast<size_t>(f[4] | (f[5] << 8)) + 10 != n)
            __builtin_trap();
    });
    uint64_t now = 0;
    nx700_serialdisp_frame nx700(
        [](const uint8_t *f, size_t n) {
            if (n < 3 || n > 511 || f[0] != 0x44 || static_cast<size_t>((f[1] << 8) | f[2]) + 3 != n)
                __builtin_trap();
        },
        [&now] { return now; });
    for (size_t i = 0; i < size; ++i) {
        mtetra.push(data[i]);
        nx5.push(data[i]);
        // Most bytes follow closely; a byte with its top bits set stands for a pause.
        now += (data[i] >= 0xF0) ? 60 : 1;
        nx700.push(data[i]);
    }
    return 0;
}
