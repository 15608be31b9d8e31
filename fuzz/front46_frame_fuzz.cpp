// The Front46 panel's assembler and frame handler, fed what a panel (or line
// noise) sends, in chunks whose timing comes from the input: nothing it does
// may crash, and it only ever reports PTT and keys to its control.
#include "fronts/front46.h"
#include "interfaces/panel_control.h"

#include <cstdint>
#include <cstdio>

namespace
{

class SilentControl : public class_panel_control
{
  public:
    int init() override { return 0; }
    void cb_async_setptt(int, const char *) override {}
    void cb_async_unlocksql(int) override {}
    void cb_async_gpiochanged(uint32_t, uint32_t) override {}
    void cb_async_serial_senddata(int, const uint8_t *, uint16_t, int) override {}
    void cb_async_upgradestatus(int, int, int) override {}
    void cb_conn_connected(uint32_t, const proto::VersionInfo *, const proto::LoginResult *) override {}
    void cb_conn_disconnected() override {}
    void cb_gpio_changed(uint32_t, uint32_t) override {}
    void cb_serialread(int, const uint8_t *, uint16_t) override {}
    void cb_front_ptt(int ptt) override
    {
        if (ptt != 0 && ptt != 1)
            __builtin_trap();
    }
    void cb_async_dm3000_status(uint32_t, uint8_t, const uint8_t *, int) override {}
    void cb_update_crypto(const uint8_t *, int, int) override {}
    Gpio *get_gpio() override { return nullptr; }
    SerialControl *get_serial() override { return nullptr; }
    void send_button(int, int state, int type) override
    {
        if ((state != 0 && state != 1) || type != 0)
            __builtin_trap();
    }
    void remote_reset() override {}
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
