// class_control_nx5 in a box, with its radio on the line and a scripted
// server: the family's rules, and the checksummed framing both ways.
#include "tests/control/xml_control_site.h"

namespace
{

using namespace xmlsite;

TEST(ControlNx5InBox, BeforeInitNothingActsAndInitNeedsTheSerialPort)
{
    check_before_init(NX5, "control_nx5: initializing...\n"
                           "control_nx5: error: setting volume failed!\n"
                           "cfg : load_setblockedlist : cannot open config file\n"
                           "control_nx5: error: setblockedlist_load() failed!\n"
                           "control_nx5: error: cannot initialize serial 0 (ttyS1)");
}

TEST(ControlNx5InBox, InitAndLogin)
{
    check_init_and_login(NX5, 230400, 0x111C1FE, {});
}

TEST(ControlNx5InBox, BlockedUsersAreMuted)
{
    check_muting(NX5);
}

TEST(ControlNx5InBox, PttFramesKeyTheGatewayAndEveryByteReachesTheServer)
{
    // 28-byte key reports (L = 18) with their checksums: 0x7001 + 0x0127 and
    // 0x7001 + 0x0027.
    const Bytes press{0xFF, 0x01, 0xAB, 0xAB, 0x12, 0x00, 0x00, 0x00, 0x01, 0x70, 0, 0, 0,    0,
                      0,    0,    0,    0,    0,    0,    0,    0,    0x27, 0x01, 0, 0, 0x28, 0x71};
    Bytes release = press;
    release[23] = 0x00;
    release[26] = 0x28;
    release[27] = 0x70;
    const std::string NX = xml_text::NXAction("hw");
    check_radio_ptt(NX5, press, release, {0x00, 0x01, 0x02}, {NX, xml_text::SetPttReq(1)},
                    {NX, xml_text::SetPttReq(0)});
    // A wrong checksum keys nothing, but the bytes still travel.
    Site &s = control_site(NX5);
    Bytes bad = press;
    bad[27] = 0x72;
    s.pty.write(bad);
    EXPECT_EQ(collect(s, bad, 0), std::vector<std::string>{});
    EXPECT_TRUE(logs().wait_line("nx5_serialdisp_frame: invalid CRC!"));
    EXPECT_EQ(s.voip.count("setTransmit 1"), 1);
}

TEST(ControlNx5InBox, ServerBytesReachTheRadioAsCheckedFramesOnly)
{
    Site &s = control_site(NX5);
    const Bytes a{0xFF, 0x01, 0xAB, 0xAB, 0x03, 0x00, 0x00, 0x00, 0x01, 0x02, 0x03, 0x04, 0x06};
    Bytes bad = a;
    bad[12] = 0x02;
    const Bytes b{0xFF, 0x05, 0xAB, 0xAB, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    Bytes doc = bad;
    doc.insert(doc.end(), {0x11, 0x22});
    doc.insert(doc.end(), a.begin(), a.end());
    const int crc = lines("nx5_serialdisp_frame: invalid CRC!");
    s.send(serial_doc("NXEvent", "b64", b64(doc)));
    s.send(serial_doc("NXEvent", "b64", ""));
    s.send(serial_doc("TEvent", "b64", b64(b))); // not this model's
    s.send(serial_doc("NXEvent", "b64", b64(b)));
    Bytes want = a;
    want.insert(want.end(), b.begin(), b.end());
    EXPECT_EQ(s.read(want.size()), want);
    EXPECT_EQ(lines("nx5_serialdisp_frame: invalid CRC!"), crc + 1);
    EXPECT_EQ(lines(s.line("NXEvent/SerialDisp decode error!")), 1);
}

TEST(ControlNx5InBox, ServerGpioEventsAreIgnored)
{
    Site &s = control_site(NX5);
    s.send("<GpioChangedEv bitmap=\"0x00C00000\" mask=\"0x00C00000\" />");
    // Handled in order: once the event after them is printed, they were seen.
    const int marks = lines(s.line("UnlockSqlEv: 41"));
    s.send("<UnlockSqlEv sql=\"41\" />");
    ASSERT_TRUE(logs().wait_line(s.line("UnlockSqlEv: 41"), marks + 1));
    s.control->cb_front_ptt(0);
    EXPECT_EQ(collect(s, {}, 2), release_docs(NX5));
    EXPECT_EQ(lines(s.line("GpioChangedEv: bitmap: 00C00000, mask: 00C00000")), 0);
}

} // namespace
