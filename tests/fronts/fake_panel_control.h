// A class_panel_control that records what the Front46 panel asks of it.
#pragma once

#include "fronts/front46.h"
#include "interfaces/panel_control.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

class FakePanelControl : public class_panel_control
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
    // Without the control's lock, so a panel that kept its own lock while
    // calling back would take the two locks in the opposite order to a
    // display frame sent under the control's lock.
    void cb_serialread(int, const uint8_t *data, uint16_t length) override
    {
        if (class_front46 *f = front.load())
            f->feed(data, length);
    }
    void cb_front_ptt(int ptt) override
    {
        std::lock_guard<std::recursive_mutex> lock(mutex);
        record("ptt " + std::to_string(ptt));
    }
    void cb_async_dm3000_status(uint32_t, uint8_t, const uint8_t *, int) override {}
    void cb_update_crypto(const uint8_t *, int, int) override {}
    Gpio *get_gpio() override { return nullptr; }
    SerialControl *get_serial() override { return nullptr; }
    void send_button(int id, int state, int type) override
    {
        std::lock_guard<std::recursive_mutex> lock(mutex);
        record("button " + std::to_string(id) + " " + std::to_string(state) + " " + std::to_string(type));
    }
    void remote_reset() override { record("reset"); }

    using Calls = std::vector<std::string>;

    Calls take()
    {
        std::lock_guard<std::mutex> lock(m);
        Calls c;
        c.swap(calls);
        return c;
    }
    // Waits until `call` has been made (and takes the calls up to it).
    bool wait_for_call(const std::string &call, Calls *before = nullptr)
    {
        std::unique_lock<std::mutex> lock(m);
        auto it = calls.end();
        if (!cv.wait_for(lock, std::chrono::seconds(15), [&] {
                it = std::find(calls.begin(), calls.end(), call);
                return it != calls.end();
            }))
            return false;
        if (before)
            before->assign(calls.begin(), it);
        calls.erase(calls.begin(), it + 1);
        return true;
    }
    bool wait_calls(size_t n)
    {
        std::unique_lock<std::mutex> lock(m);
        return cv.wait_for(lock, std::chrono::seconds(10), [&] { return calls.size() >= n; });
    }

    // Stands for the control's own lock, taken around every callback as the
    // XML controls do.
    std::recursive_mutex mutex;
    std::atomic<class_front46 *> front{nullptr};

  private:
    void record(const std::string &c)
    {
        std::lock_guard<std::mutex> lock(m);
        calls.push_back(c);
        cv.notify_all();
    }
    std::mutex m;
    std::condition_variable cv;
    Calls calls;
};
