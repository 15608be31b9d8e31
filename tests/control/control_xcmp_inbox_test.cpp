// class_control_xcmp in a box, with the panel's line held by the test and a
// scripted server: the family's rules, the panel's PTT and keys, display
// frames to the panel, the power and battery outputs, and the panel and
// server paths running at once.
#include "tests/control/xml_control_site.h"

namespace
{

using namespace xmlsite;

TEST(ControlXcmpInBox, BeforeInitNothingActsAndInitNeedsTheSerialPort)
{
    check_before_init(XCMP, "control_xcmp: initializing ..\n"
                            "control_xcmp: error: setting volume failed !\n"
                            "cfg : load_setblockedlist : cannot open config file\n"
                            "control_xcmp: error: setblockedlist_load() failed !\n"
                            "control_xcmp: error: cannot initialize serial 0 (ttyS1)");
}

TEST(ControlXcmpInBox, InitAndLogin)
{
    check_init_and_login(XCMP, 3000000, 0x111C1FE, {xml_text::XCMPStatusReq(), xml_text::GpioStateReq()});
}

TEST(ControlXcmpInBox, BlockedUsersAreMuted)
{
    check_muting(XCMP);
}

TEST(ControlXcmpInBox, PanelPttAndKeysGoToTheServer)
{
    Site &s = control_site(XCMP);
    const int tx1 = s.voip.count("setTransmit 1");
    s.control->cb_front_ptt(1);
    EXPECT_EQ(s.next(), xml_text::SetPttReq(1));
    EXPECT_TRUE(s.voip.wait("setTransmit 1", tx1 + 1));
    s.control->send_button(17, 1, 0);
    s.control->send_button(17, 0, 0);
    EXPECT_EQ(s.next(), xml_text::XCMPAction(17, 1, 0));
    EXPECT_EQ(s.next(), xml_text::XCMPAction(17, 0, 0));
    s.control->cb_front_ptt(0);
    EXPECT_EQ(s.next(), xml_text::SetPttReq(0));
    EXPECT_EQ(lines("control_xcmp: ptt: 1"), 1);
}

TEST(ControlXcmpInBox, RemoteResetPulsesServerBitThree)
{
    Site &s = control_site(XCMP);
    // The panel's thread runs it, and it holds nothing while it pauses: the
    // control still answers meanwhile.
    std::thread panel([&] { s.control->remote_reset(); });
    EXPECT_EQ(s.next(), xml_text::GpioSetReq(8));
    s.control->send_button(5, 1, 0);
    EXPECT_EQ(s.next(), xml_text::XCMPAction(5, 1, 0));
    EXPECT_EQ(s.next(), xml_text::GpioClrReq(8));
    panel.join();
    EXPECT_EQ(lines("control_xcmp: xml_GpioSetReq(1 << 3)"), 2);
}

TEST(ControlXcmpInBox, DisplayFramesReachThePanelPlainOrDeflated)
{
    Site &s = control_site(XCMP);
    Bytes big(2048);
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<uint8_t>(i * 7);
    s.send(serial_doc("XCMPEvent", "b64", b64({0x01, 0x02, 0x03})));
    s.send(serial_doc("XCMPEvent", "b64z", b64z(big)));
    s.send(serial_doc("XCMPEvent", "b64z", b64z(Bytes(2049, 0x00)))); // inflates too far
    s.send(serial_doc("XCMPEvent", "hex", "010203"));
    s.send(serial_doc("NXEvent", "b64", b64({0x09}))); // not this model's
    s.send(serial_doc("XCMPEvent", "b64", b64({0x04})));
    Bytes want{0x01, 0x02, 0x03};
    want.insert(want.end(), big.begin(), big.end());
    want.push_back(0x04);
    EXPECT_EQ(s.read(want.size()), want);
    EXPECT_EQ(lines(s.line("XCMPEvent/SerialDisp decode error !")), 2);
}

TEST(ControlXcmpInBox, ServerGpioEventsDrivePowerAndBatteryOutputs)
{
    Site &s = control_site(XCMP);
    boardbox::Client box;
    ASSERT_EQ(box.connect_inside(), 0);
    // As gwlinkd does after init.
    uint32_t dir = 0;
    s.control->get_gpio()->get_direction(&dir);
    s.control->get_gpio()->set_direction(dir | 0xE0000);
    // The bitmap alone counts: 0x200000 on battery, 0x200 battery good.
    struct Case {
        const char *bitmap, *mask;
        uint32_t want;
        const char *l1, *l2;
    } cases[] = {
        {"0x00200200", "0x0", 0x40000, " - battery", " - battery ok"},
        {"0x00000000", "0x00200200", 0x20000, " - ac 230V", " - battery low"},
        {"0x00000200", "0x0", 0x60000, " - ac 230V", " - battery ok"},
    };
    for (const Case &c : cases) {
        const int n1 = lines(c.l1), n2 = lines(c.l2);
        s.send(std::string("<GpioChangedEv bitmap=\"") + c.bitmap + "\" mask=\"" + c.mask + "\" />");
        ASSERT_TRUE(logs().wait_line(c.l2, n2 + 1));
        EXPECT_EQ(lines(c.l1), n1 + 1);
        // The lines come before the outputs are driven; an event after this
        // one proves this one finished.
        const int u = lines(s.line("UnlockSqlEv: 9"));
        s.send("<UnlockSqlEv sql=\"9\" />");
        ASSERT_TRUE(logs().wait_line(s.line("UnlockSqlEv: 9"), u + 1));
        uint32_t o = 0;
        ASSERT_EQ(box.read_outputs(o), 0);
        EXPECT_EQ(o & 0x60000, c.want) << c.bitmap;
    }
    // A value that does not convert drives nothing.
    s.send("<GpioChangedEv bitmap=\"512\" mask=\"0x200\" />");
    ASSERT_TRUE(logs().wait_line(s.line("GpioChangedEv: parse error")));
    uint32_t o = 0;
    ASSERT_EQ(box.read_outputs(o), 0);
    EXPECT_EQ(o & 0x60000, 0x60000u);
    EXPECT_EQ(lines(s.line("GpioChangedEv: bitmap: 00200200, mask: 00000000")), 1);
}

// The panel's frames come back into the control from the serial reader, the
// panel's calls arrive from another thread, and the server's display frames go
// to the panel, all at once and many times: nothing may deadlock, race or be
// lost, and each source's documents keep their order.
TEST(ControlXcmpInBox, PanelAndServerPathsRunTogether)
{
    Site &s = control_site(XCMP);
    constexpr int rounds = 300;
    const Bytes display{0x10, 0x20, 0x30, 0x40};

    // Ids of their own for the calls, so each document tells its source.
    std::vector<std::string> want_calls, want_keys;
    for (int i = 0; i < rounds; ++i) {
        want_calls.push_back(xml_text::SetPttReq(i % 2));
        want_calls.push_back(xml_text::XCMPAction(1000 + i, 1, 0));
        want_keys.push_back(xml_text::XCMPAction(0xA0 + i % 4, i % 2, 0));
    }
    std::vector<std::string> got;
    std::thread server_reader([&] {
        for (size_t i = 0; i < want_calls.size() + want_keys.size(); ++i)
            got.push_back(s.next());
    });
    std::thread panel([&] {
        for (int i = 0; i < rounds; ++i) {
            s.control->cb_front_ptt(i % 2);
            s.control->send_button(1000 + i, 1, 0);
        }
    });
    std::thread radio([&] {
        for (int i = 0; i < rounds; ++i)
            s.pty.write(panel_key(static_cast<uint8_t>(0xA0 + i % 4), i % 2));
    });
    for (int i = 0; i < rounds; ++i)
        s.send(serial_doc("XCMPEvent", "b64", b64(display)));
    Bytes all;
    for (int i = 0; i < rounds; ++i)
        all.insert(all.end(), display.begin(), display.end());
    EXPECT_EQ(s.read(all.size()), all);
    panel.join();
    radio.join();
    server_reader.join();
    std::vector<std::string> calls, keys;
    for (const std::string &d : got)
        (std::find(want_keys.begin(), want_keys.end(), d) != want_keys.end() ? keys : calls).push_back(d);
    EXPECT_EQ(calls, want_calls);
    EXPECT_EQ(keys, want_keys);
}

TEST(ControlXcmpInBox, LostServerStopsTransmittingAndTheNextLoginMayChangeTheCodec)
{
    Site &s = control_site(XCMP);
    s.control->cb_front_ptt(1);
    EXPECT_EQ(s.next(), xml_text::SetPttReq(1));
    const int tx0 = s.voip.count("setTransmit 0");
    const int cleared = s.voip.count("setRemote 0.0.0.0 0 0");
    s.peer.reset();
    ASSERT_TRUE(s.voip.wait("setRemote 0.0.0.0 0 0", cleared + 1));
    EXPECT_EQ(s.voip.count("setTransmit 0"), tx0 + 1);
    EXPECT_TRUE(logs().wait_line(s.line("disconnected")));

    // The link comes back on its own and logs in again.
    s.peer = s.srv.accept();
    ASSERT_TRUE(s.peer);
    EXPECT_EQ(xmltest::read_frame(*s.peer).value_or(""), xmltest::login_text);
    ASSERT_EQ(g_config.codec(), 1);
    const int encrypt_lines = lines(s.line("encrypt: "));
    s.send(login_doc(4002, "gsm", "no"));
    ASSERT_TRUE(s.voip.wait("setRemote 127.0.0.1 4002 77", 1));
    EXPECT_EQ(lines(s.line("codec change (2)")), 1);
    EXPECT_EQ(site::read_codec_file(), 2);
    EXPECT_EQ(lines(s.line("encrypt: ")), encrypt_lines + 1);
    EXPECT_EQ(s.next(), xml_text::XCMPStatusReq());
    EXPECT_EQ(s.next(), xml_text::GpioStateReq());
}

} // namespace
