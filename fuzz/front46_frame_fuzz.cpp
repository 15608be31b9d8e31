// The Front46 panel's assembler and frame handler, fed what a panel (or line
// noise) sends, in chunks whose timing comes from the input: nothing it does
// may crash, and it only ever reports PTT and keys to its control.
#include "fronts/front46.h"
#include "tests/board/control_stub.h"

#include <cstdint>
#include <cstdio>

namespace
{

class SilentControl : public PanelControlStub
{
  public:
    void cb_front_ptt(int ptt) override
    {
        if (ptt != 0 && ptt != 1)
            __builtin_trap();
    }
    void send_button(int, int state, int type) override
    {
        if ((state != 0 && state != 1) || type != 0)
            __builtin_trap();
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static SilentControl control;
    uint64_t now = 1;
    class_front46 panel(&control, nullptr, nullptr, [&now] { return now; });
    // Each chunk: one byte of pause (ms, up to 255 ms, so resynchronisation and
    // the BACK hold are reached), one byte of length, then the bytes.
    size_t i = 0;
    while (i + 2 <= size) {
        now += data[i] * 20;
        size_t n = data[i + 1];
        i += 2;
        if (n > size - i)
            n = size - i;
        panel.feed(data + i, n);
        i += n;
    }
    return 0;
}
