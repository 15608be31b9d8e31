// class_control_gm before init: every callback prints its first line only and
// touches nothing (no link, front or voice engine exists yet).
#include "control/control_gm.h"

#include <gtest/gtest.h>

#include <string>

namespace
{

std::string run(void (*f)(class_control_gm &))
{
    class_control_gm ctl(nullptr);
    testing::internal::CaptureStdout();
    f(ctl);
    return testing::internal::GetCapturedStdout();
}

TEST(ControlGmBeforeInit, LinkCallbacksPrintTheirFirstLineOnly)
{
    EXPECT_EQ(run([](class_control_gm &c) { c.cb_async_setptt(1, "user"); }), "cb_async_setptt\n");
    EXPECT_EQ(run([](class_control_gm &c) { c.cb_async_unlocksql(3); }), "cb_async_unlocksql (3)\n");
    EXPECT_EQ(run([](class_control_gm &c) { c.cb_async_gpiochanged(1, 2); }), "cb_async_gpiochanged\n");
    EXPECT_EQ(run([](class_control_gm &c) {
                  const uint8_t d[] = {0xF1, 0x33, 0xDB};
                  c.cb_async_serial_senddata(0, d, 3, 0);
              }),
              "cb_async_serial_senddata\n");
    EXPECT_EQ(run([](class_control_gm &c) { c.cb_async_upgradestatus(1, 2, 3); }),
              "cb_async_upgradestatus\n");
    EXPECT_EQ(run([](class_control_gm &c) { c.cb_conn_connected(0x0100007F, nullptr, nullptr); }),
              "cb_conn_connected\n");
    EXPECT_EQ(run([](class_control_gm &c) { c.cb_conn_disconnected(); }), "cb_conn_disconnected\n");
}

TEST(ControlGmBeforeInit, BoardCallbacksPrintTheirFirstLineOnly)
{
    EXPECT_EQ(run([](class_control_gm &c) { c.cb_gpio_changed(0, 0x1000); }), "cb_gpio_changed\n");
    EXPECT_EQ(run([](class_control_gm &c) {
                  const uint8_t d[] = {0x50};
                  c.cb_serialread(0, d, 1);
              }),
              "cb_serialread\n");
    EXPECT_EQ(run([](class_control_gm &c) { c.cb_front_ptt(1); }), "cb_front_ptt\n");
}

TEST(ControlGmBeforeInit, SilentCallbacks)
{
    EXPECT_EQ(run([](class_control_gm &c) {
                  const uint8_t k[16] = {};
                  c.cb_update_crypto(k, 16, 1);
              }),
              "");
    EXPECT_EQ(run([](class_control_gm &c) {
                  const uint8_t s[4] = {};
                  c.cb_async_dm3000_status(1, 2, s, 4);
              }),
              "");
}

TEST(ControlGmBeforeInit, NoObjectsYet)
{
    class_control_gm ctl(nullptr);
    EXPECT_EQ(ctl.get_gpio(), nullptr);
    EXPECT_EQ(ctl.get_serial(), nullptr);
    EXPECT_EQ(ctl.front(), nullptr);
}

} // namespace
