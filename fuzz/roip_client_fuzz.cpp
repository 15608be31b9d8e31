// The gateway's end of the binary protocol, fed what a server might send: the
// version info and login result, then any stream of events and responses,
// through the same handlers the connection thread runs.
#include "base/byteorder.h"
#include "interfaces/control.h"
#include "link/roip_conn.h"
#include "wire/roip_proto.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace
{

// A listener that checks what the link hands out against its bounds.
class Listener : public class_control
{
  public:
    int init() override { return 0; }
    void cb_async_setptt(int, const char *login) override
    {
        check(login != nullptr && std::strlen(login) < 32);
    }
    void cb_async_unlocksql(int) override {}
    void cb_async_gpiochanged(uint32_t, uint32_t) override {}
    void cb_async_serial_senddata(int, const uint8_t *data, uint16_t len, int) override
    {
        check(len == 0 || data != nullptr);
        touch(data, len);
    }
    void cb_async_upgradestatus(int, int, int) override {}
    void cb_conn_connected(uint32_t, const proto::VersionInfo *, const proto::LoginResult *login) override
    {
        check(login != nullptr && std::memchr(login->device_name, 0, sizeof login->device_name) != nullptr);
    }
    void cb_conn_disconnected() override {}
    void cb_gpio_changed(uint32_t, uint32_t) override {}
    void cb_serialread(int, const uint8_t *, uint16_t) override {}
    void cb_front_ptt(int) override {}
    void cb_async_dm3000_status(uint32_t, uint8_t, const uint8_t *status, int len) override
    {
        check(len >= 0 && (len == 0 || status != nullptr));
        touch(status, len);
    }
    void cb_update_crypto(const uint8_t *key, int len, int mode) override
    {
        check(len >= 0 && len <= 32 && !(key != nullptr && mode == 0));
        touch(key, key ? len : 0);
    }
    Gpio *get_gpio() override { return nullptr; }
    SerialControl *get_serial() override { return nullptr; }

  private:
    static void check(bool ok)
    {
        if (!ok)
            __builtin_trap();
    }
    // Reads every byte handed out, so the sanitizer sees any overrun.
    static void touch(const uint8_t *p, int len)
    {
        volatile uint8_t sum = 0;
        for (int i = 0; i < len; ++i)
            sum = static_cast<uint8_t>(sum + p[i]);
        (void)sum;
    }
};

// The link with its transport replaced by the fuzzer's bytes.
class FedLink : public class_roip_conn
{
  public:
    FedLink(class_control *l, const uint8_t *data, size_t size)
        : class_roip_conn(l, "127.0.0.1", 1, "user", "qzv", 8000, 0), data_(data), left_(size)
    {
    }

    void serve()
    {
        if (login() != 0)
            return;
        for (;;) {
            uint8_t w[4];
            if (read_exact(w, 4) < 0)
                return;
            uint32_t type = bytes::get_le32(w);
            if ((proto::is_event(type) ? on_event(type) : on_response(type)) < 0)
                return;
        }
    }

  protected:
    int read_exact(void *buf, int len) override
    {
        if (len < 0 || static_cast<size_t>(len) > left_)
            return -1;
        std::memcpy(buf, data_, static_cast<size_t>(len));
        data_ += len;
        left_ -= static_cast<size_t>(len);
        return len;
    }
    int write_all(const void *, int) override { return 0; }

  private:
    const uint8_t *data_;
    size_t left_;
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // The link logs every message; the log is not what is tested here.
    if (std::freopen("/dev/null", "w", stdout) == nullptr)
        return 0;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Listener listener;
    FedLink link(&listener, data, size);
    link.serve();
    return 0;
}
