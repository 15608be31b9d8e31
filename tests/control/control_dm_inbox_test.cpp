// class_control_dm after init, inside a box: the real GPIO window, serial port
// and server link (with no server to reach), and a voice engine that was never
// started, so its operations only change its state. The head's line is read
// on the box's raw pty.
#include "control/control_dm.h"

#include "board/gpio.h"
#include "board/serial_control.h"
#include "sim/box_client.h"
#include "voice/voip.h"

#include <gtest/gtest.h>

#include <string>

namespace
{

class ControlDmInBox : public testing::Test
{
  protected:
    static void SetUpTestSuite()
    {
        // The record is never loaded: the link aims at 0.0.0.0:0, which the
        // box's loopback-only network refuses at once.
        voip_ = new class_voip(160, nullptr, nullptr, 8, 4);
        control_ = new class_control_dm(voip_);
        init_result_ = control_->init();
    }

    static std::string captured(void (*f)())
    {
        testing::internal::CaptureStdout();
        f();
        return testing::internal::GetCapturedStdout();
    }

    static class_voip *voip_;
    static class_control_dm *control_;
    static int init_result_;
};

class_voip *ControlDmInBox::voip_ = nullptr;
class_control_dm *ControlDmInBox::control_ = nullptr;
int ControlDmInBox::init_result_ = -1;

TEST_F(ControlDmInBox, InitSetsUpTheLinesOnce)
{
    ASSERT_EQ(init_result_, 0);
    ASSERT_NE(control_->get_serial(), nullptr);
    EXPECT_EQ(control_->get_serial()->is_open(), 1u);
    SerialSettings s;
    ASSERT_EQ(control_->get_serial()->get_settings(&s), 0);
    EXPECT_EQ(s.baud, 115200u);
    EXPECT_EQ(s.parity, 'n');
    EXPECT_EQ(s.stop_bits, 2);
    ASSERT_NE(control_->get_gpio(), nullptr);
    boardbox::Client box;
    ASSERT_EQ(box.connect_inside(), 0);
    boardbox::GpioState st;
    ASSERT_EQ(box.read_gpio(st), 0);
    EXPECT_EQ(st.directions & 0x1FFFFFF, 0x11C1FEu);
    EXPECT_EQ(control_->init(), -1);
}

TEST_F(ControlDmInBox, StatusLedChangeNeitherPrintsNorReachesTheFront)
{
    ASSERT_EQ(init_result_, 0);
    // Bit 0x200 clear in the bitmap would key PTT if the front saw it.
    EXPECT_EQ(captured([] { control_->cb_gpio_changed(0x00000000, 0x4000); }), "");
    EXPECT_EQ(captured([] { control_->cb_async_gpiochanged(0x00000000, 0x4000); }), "");
}

TEST_F(ControlDmInBox, PttLineGoesThroughTheFrontToTheLinkAndVoice)
{
    ASSERT_EQ(init_result_, 0);
    std::string out = captured([] {
        control_->cb_gpio_changed(0x00000000, 0x4200);
        control_->cb_gpio_changed(0x00000200, 0x200);
    });
    EXPECT_EQ(out, "event   : cb_gpio_changed [bitmap:00000000,mask:00004200]\n"
                   "event\t: cb_front_ptt(1)\n"
                   "conn    : setptt(1)\n"
                   "event   : cb_gpio_changed [bitmap:00000200,mask:00000200]\n"
                   "event\t: cb_front_ptt(0)\n"
                   "conn    : setptt(0)\n");
}

TEST_F(ControlDmInBox, SerialReadOnLineOneOnlyPrints)
{
    ASSERT_EQ(init_result_, 0);
    EXPECT_EQ(captured([] {
                  const uint8_t d[] = {0x25, 0x80};
                  control_->cb_serialread(1, d, 2);
              }),
              "event\t: cb_serialread [serial_id:1,data_len:2,d[0]:0x25]\n");
    EXPECT_EQ(captured([] { control_->cb_serialread(0, nullptr, 0); }), "");
    // Line 0 reaches the front (not logged in: the button is not sent).
    EXPECT_EQ(captured([] {
                  const uint8_t d[] = {0x25};
                  control_->cb_serialread(0, d, 1);
              }),
              "event\t: cb_serialread [serial_id:0,data_len:1,d[0]:0x25]\n"
              "event\t: button_press: 0x25 / 0x35\n");
}

TEST_F(ControlDmInBox, EventLinesOnceInitialised)
{
    ASSERT_EQ(init_result_, 0);
    std::string out = captured([] {
        control_->cb_async_setptt(1, "op1");
        control_->cb_async_unlocksql(2);
        control_->cb_async_gpiochanged(0x12345678, 0x00FF);
        const uint8_t frame[] = {0xF1, 0x33, 0xDB};
        control_->cb_async_serial_senddata(0, frame, 0, 0);
        control_->cb_async_serial_senddata(1, frame, 3, 0);
        control_->cb_update_crypto(nullptr, 0, 0);
        control_->cb_async_dm3000_status(0, 0, nullptr, 0);
    });
    EXPECT_EQ(out, "event\t: packettype_async_setptt [ptt:1,login:op1]\n"
                   "event\t: packettype_async_unlocksql [sql:2]\n"
                   "event\t: packettype_async_gpiochanged [bitmap:12345678,mask:000000FF]\n"
                   "event\t: packettype_serial_senddata [serial_id:1,data_len:3]\n"
                   "event\t: cb_update_crypto: mode: 0, key_len: 0\n"
                   "event\t: cb_async_dm3000_status\n");
}

} // namespace
