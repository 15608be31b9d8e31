// class_control_mtetra in a box, with its radio on the line and a scripted
// server: the family's rules, and the 0xFF framing both ways.
#include "tests/control/xml_control_site.h"

namespace
{

using namespace xmlsite;

const Bytes press{0xFF, 0x21, 0x14, 0x04, 0x01, 0, 0, 0, 0, 0, 0x20, 0, 0, 0xFF};

TEST(ControlMtetraInBox, BeforeInitNothingActsAndInitNeedsTheSerialPort)
{
    check_before_init(MTETRA, "control_mtetra: initializing ..\n"
                              "control_mtetra: error: setting volume failed !\n"
                              "cfg : load_setblockedlist : cannot open config file\n"
                              "control_mtetra: error: setblockedlist_load() failed !\n"
                              "control_mtetra: error: cannot initialize serial 0 (ttyS1)");
}

TEST(ControlMtetraInBox, InitAndLogin)
{
    check_init_and_login(MTETRA, 460800, 0x111C1FE, {});
}

TEST(ControlMtetraInBox, BlockedUsersAreMuted)
{
    check_muting(MTETRA);
}

TEST(ControlMtetraInBox, PttFramesKeyTheGatewayAndEveryByteReachesTheServer)
{
    Bytes release = press;
    release[4] = 0;
    // The press announces the PTT source; the release does not.
    check_radio_ptt(MTETRA, press, release, {0x00, 0x01, 0x02},
                    {xml_text::TAction("hw"), xml_text::SetPttReq(1)}, {xml_text::SetPttReq(0)});
    // Byte 10 0x21 is no key report.
    Site &s = control_site(MTETRA);
    Bytes not_ptt = press;
    not_ptt[10] = 0x21;
    s.pty.write(not_ptt);
    EXPECT_EQ(collect(s, not_ptt, 0), std::vector<std::string>{});
    EXPECT_EQ(s.voip.count("setTransmit 1"), 1);
}

TEST(ControlMtetraInBox, ServerBytesReachTheRadioAsWholeFramesOnly)
{
    Site &s = control_site(MTETRA);
    // Half a frame waits for the next document.
    s.send(serial_doc("TEvent", "b64", b64({0x00, 0xFF, 0x01, 0x02, 0xFF, 0x03, 0xFF, 0x04})));
    s.send(serial_doc("XCMPEvent", "b64", b64({0xFF, 0x55, 0xFF}))); // not this model's
    s.send(serial_doc("TEvent", "b64z", b64z({0xFF, 0x66, 0xFF})));  // not this event's
    s.send(serial_doc("TEvent", "b64", b64({0xFF})));
    EXPECT_EQ(s.read(7), (Bytes{0xFF, 0x01, 0x02, 0xFF, 0xFF, 0x04, 0xFF}));
    EXPECT_EQ(lines(s.line("TEvent/SerialDisp decode error!")), 1);
}

TEST(ControlMtetraInBox, ServerGpioEventsAreIgnored)
{
    Site &s = control_site(MTETRA);
    s.send("<GpioChangedEv bitmap=\"0x00C00000\" mask=\"0x00C00000\" />");
    s.send("<GpioChangedEv bitmap=\"1\" />");
    // Handled in order: once the event after them is printed, they were seen.
    const int marks = lines(s.line("UnlockSqlEv: 41"));
    s.send("<UnlockSqlEv sql=\"41\" />");
    ASSERT_TRUE(logs().wait_line(s.line("UnlockSqlEv: 41"), marks + 1));
    s.control->cb_front_ptt(0);
    EXPECT_EQ(collect(s, {}, 1), release_docs(MTETRA));
    EXPECT_EQ(lines(s.line("GpioChangedEv: bitmap: 00C00000, mask: 00C00000")), 0);
    EXPECT_EQ(lines(s.line("GpioChangedEv: parse error")), 0);
}

} // namespace
