// class_control_nx700 in a box, with its radio on the line and a scripted
// server: the family's rules, its 'D' frames (PTT keys go to the server too,
// volume keys stay local), the server's GPIO events by mask and the local
// switch mirrored to the server.
#include "tests/control/xml_control_site.h"

namespace
{

using namespace xmlsite;

TEST(ControlNx700InBox, BeforeInitNothingActsAndInitNeedsTheSerialPort)
{
    check_before_init(NX700, "control_nx700: initializing...\n"
                             "control_nx700: error: setting volume failed!\n"
                             "cfg : load_setblockedlist : cannot open config file\n"
                             "control_nx700: error: setblockedlist_load() failed!\n"
                             "serial: SetTimeoutReset(0)\n"
                             "control_nx700: error: cannot initialize serial 0 (ttyS1)\n");
}

TEST(ControlNx700InBox, InitAndLogin)
{
    check_init_and_login(NX700, 115200, 0x311C1FE, {xml_text::GpioStateReq()});
}

TEST(ControlNx700InBox, BlockedUsersAreMuted)
{
    check_muting(NX700);
}

TEST(ControlNx700InBox, PttFramesKeyTheGatewayAndThenGoToTheServer)
{
    const std::string NX = xml_text::NXAction("hw");
    check_radio_ptt(NX700, {0x44, 0x00, 0x02, 0x1A, 0x01}, {0x44, 0x00, 0x02, 0x1A, 0x00},
                    {0x44, 0x00, 0x01, 0x33}, {NX, xml_text::SetPttReq(1)}, {NX, xml_text::SetPttReq(0)});
    EXPECT_EQ(lines("=== PTT (1)"), 1);
    EXPECT_EQ(lines("=== PTT (0)"), 1);
    EXPECT_EQ(lines("control_nx700: serial -> frame [44 00 02 1A 01]"), 1);
    EXPECT_EQ(lines("control_nx700: nsf_local: serial <- frame: [44 00 02 1A 01]"), 1);
}

TEST(ControlNx700InBox, TheLongestFrameTravelsAndIsLoggedWhole)
{
    Site &s = control_site(NX700);
    Bytes longest{0x44, 0x01, 0xFC};
    for (int i = 0; i < 508; ++i)
        longest.push_back(static_cast<uint8_t>(i));
    s.pty.write(longest);
    EXPECT_EQ(collect(s, longest, 0), std::vector<std::string>{});
    std::string hex;
    for (uint8_t b : longest) {
        char t[4];
        std::snprintf(t, sizeof t, hex.empty() ? "%02X" : " %02X", b);
        hex += t;
    }
    EXPECT_TRUE(logs().wait_line(s.line("nsf_local: serial <- frame: [" + hex + "]")));
}

TEST(ControlNx700InBox, VolumeKeysStayLocalAndStopAtTheEnds)
{
    Site &s = control_site(NX700);
    const Bytes up{0x44, 0x00, 0x02, 0x10, 0x01};
    const Bytes down{0x44, 0x00, 0x02, 0x11, 0x01};
    auto key = [&](const Bytes &k, int vol, int tone) {
        const std::string v = "setVolume " + std::to_string(vol), t = "playTone " + std::to_string(tone);
        const int nv = s.voip.count(v), nt = s.voip.count(t);
        s.pty.write(k);
        EXPECT_TRUE(s.voip.wait(v, nv + 1)) << v;
        EXPECT_TRUE(s.voip.wait(t, nt + 1)) << t;
    };
    ASSERT_EQ(class_control_nx700::kInitialVolume, 31);
    key(up, 31, 2);
    EXPECT_TRUE(logs().wait_line(":: VOLUME: 31"));
    for (int v = 30; v >= 0; --v)
        key(down, v, 1);
    key(down, 0, 2);
    key(up, 1, 1);

    // A volume key cut by a pause of 150 ms is dropped.
    const int volumes = s.voip.count("setVolume 2") + s.voip.count("setVolume 0");
    const int timeouts = lines("nx700_serialdisp_frame: timeout!");
    s.pty.write({0x44, 0x00});
    ASSERT_TRUE(logs().wait_line(s.line("serial -> frame [44 00]")));
    std::this_thread::sleep_for(150ms); // the gap under test, not a wait
    s.pty.write({0x02, 0x10, 0x01});
    ASSERT_TRUE(logs().wait_line("nx700_serialdisp_frame: timeout!", timeouts + 1));

    // None of the keys reached the server: the next document is this frame.
    const Bytes other{0x44, 0x00, 0x01, 0x77};
    s.pty.write(other);
    EXPECT_EQ(collect(s, other, 0), std::vector<std::string>{});
    EXPECT_EQ(s.voip.count("setVolume 2") + s.voip.count("setVolume 0"), volumes);
    EXPECT_EQ(s.voip.last("setVolume"), "setVolume 1");
}

TEST(ControlNx700InBox, ServerBytesReachTheRadioAsTheyAre)
{
    Site &s = control_site(NX700);
    s.send(serial_doc("NXEvent", "b64", b64({0x00, 0x44, 0xFF})));
    s.send(serial_doc("NXEvent", "b64z", b64({0x01})));
    s.send(serial_doc("NXEvent", "b64", b64({0x12})));
    EXPECT_EQ(s.read(4), (Bytes{0x00, 0x44, 0xFF, 0x12}));
    EXPECT_TRUE(logs().wait_line(s.line("serial <- frame [00 44 FF]")));
    EXPECT_EQ(lines(s.line("NXEvent/SerialDisp decode error!")), 1);
}

TEST(ControlNx700InBox, ServerGpioEventsDriveTwoOutputsByMask)
{
    Site &s = control_site(NX700);
    boardbox::Client box;
    ASSERT_EQ(box.connect_inside(), 0);
    // RESET_ON 0x400000 drives 0x80, ENABLE_8V 0x800000 drives 0x100 (high
    // from the start). One output per event: the box merges two writes to one
    // PIO register that come within one of its passes.
    struct Case {
        const char *bitmap, *mask;
        uint32_t want;
    } cases[] = {
        {"0x00400000", "0x00400000", 0x180}, {"0x00000000", "0x00800000", 0x080},
        {"0x00C00000", "0x00000000", 0x080}, {"0x00000000", "0x00000000", 0x080},
        {"0x00000000", "0x00400000", 0x000}, {"0x00800000", "0x00800000", 0x100},
    };
    for (const Case &c : cases) {
        const std::string l =
            s.line(std::string("GpioChangedEv: bitmap: ") + (c.bitmap + 2) + ", mask: " + (c.mask + 2));
        const int n = lines(l);
        s.send(std::string("<GpioChangedEv bitmap=\"") + c.bitmap + "\" mask=\"" + c.mask + "\" />");
        ASSERT_TRUE(logs().wait_line(l, n + 1));
        // Drive the outputs before the next event is taken: an event after
        // this one proves this one finished.
        const int u = lines(s.line("UnlockSqlEv: 9"));
        s.send("<UnlockSqlEv sql=\"9\" />");
        ASSERT_TRUE(logs().wait_line(s.line("UnlockSqlEv: 9"), u + 1));
        uint32_t o = 0;
        ASSERT_EQ(box.read_outputs(o), 0);
        EXPECT_EQ(o & 0x180, c.want) << c.bitmap << " " << c.mask;
    }
    EXPECT_EQ(lines(s.line("set: RESET_ON")), 1);
    EXPECT_EQ(lines(s.line("clr: RESET_ON")), 1);
    EXPECT_EQ(lines(s.line("set: ENABLE_8V")), 1);
    EXPECT_EQ(lines(s.line("clr: ENABLE_8V")), 1);
    // A value that does not convert drives nothing.
    s.send("<GpioChangedEv bitmap=\"0xC00000\" mask=\"12582912\" />");
    ASSERT_TRUE(logs().wait_line(s.line("GpioChangedEv: parse error")));
    EXPECT_EQ(lines(s.line("set: RESET_ON")), 1);
}

TEST(ControlNx700InBox, LocalSwitchIsMirroredToServerBitFour)
{
    Site &s = control_site(NX700);
    boardbox::Client box;
    ASSERT_EQ(box.connect_inside(), 0);
    ASSERT_EQ(box.set_inputs(0x1000, 0), 0);
    EXPECT_EQ(s.next(), xml_text::GpioClrReq(4));
    EXPECT_TRUE(logs().wait_line(s.line("cb_gpio_changed: clr SWITCH_ON")));
    ASSERT_EQ(box.set_inputs(0, 0x1000), 0);
    EXPECT_EQ(s.next(), xml_text::GpioSetReq(4));
    EXPECT_TRUE(logs().wait_line(s.line("cb_gpio_changed: set SWITCH_ON")));
    // The status LED alone is not reported; other changes only print.
    const int n = lines(s.line("cb_gpio_changed: 00000000/00004000"));
    s.control->cb_gpio_changed(0, 0x4000);
    s.control->cb_gpio_changed(0, 0x4);
    EXPECT_TRUE(logs().wait_line(s.line("cb_gpio_changed: 00000000/00000004")));
    EXPECT_EQ(lines(s.line("cb_gpio_changed: 00000000/00004000")), n);
    s.control->cb_front_ptt(0);
    EXPECT_EQ(collect(s, {}, 2), release_docs(NX700));
}

} // namespace
