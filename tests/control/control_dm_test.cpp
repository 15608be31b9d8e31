// class_control_dm before init: no callback prints or touches anything.
#include "control/control_dm.h"

#include <gtest/gtest.h>

#include <string>

namespace
{

TEST(ControlDmBeforeInit, CallbacksAreSilentAndActNot)
{
    class_control_dm ctl(nullptr);
    const uint8_t d[] = {0x80, 0x25};
    const uint8_t k[16] = {};
    testing::internal::CaptureStdout();
    ctl.cb_async_setptt(1, "user");
    ctl.cb_async_unlocksql(3);
    ctl.cb_async_gpiochanged(1, 2);
    ctl.cb_async_serial_senddata(0, d, 2, 0);
    ctl.cb_async_upgradestatus(1, 2, 3);
    ctl.cb_conn_connected(0x0100007F, nullptr, nullptr);
    ctl.cb_conn_disconnected();
    ctl.cb_gpio_changed(0, 0x200);
    ctl.cb_serialread(0, d, 2);
    ctl.cb_front_ptt(1);
    ctl.cb_async_dm3000_status(1, 2, d, 2);
    ctl.cb_update_crypto(k, 16, 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(ctl.get_gpio(), nullptr);
    EXPECT_EQ(ctl.get_serial(), nullptr);
}

} // namespace
