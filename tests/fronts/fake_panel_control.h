// A class_panel_control that records what the Front46 panel asks of it.
#pragma once

#include "fronts/front46.h"
#include "tests/board/control_stub.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

class FakePanelControl : public PanelControlStub
{
  public:
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
