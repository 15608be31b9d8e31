// The XML documents: literal request texts, the dispatch key of every kind of
// received text, and every parser's rules and edge cases.
#include "control/roipsrv_conn.h"
#include "control/xml_messages.h"

#include "base/base64.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <functional>
#include <string>
#include <vector>

namespace
{

std::string key(const std::string &text)
{
    return class_roipsrv_conn::message_key(text);
}

// d for a "b64z" SerialDisp: zlib stream of `plain`, base64.
std::string b64z(const std::string &plain)
{
    uLongf n = compressBound(static_cast<uLong>(plain.size()));
    std::vector<uint8_t> packed(n);
    if (compress(packed.data(), &n, reinterpret_cast<const Bytef *>(plain.data()),
                 static_cast<uLong>(plain.size())) != Z_OK)
        return "";
    return base64_encode(packed.data(), n);
}

std::string xcmp_event(const std::string &denc, const std::string &d)
{
    return "<XCMPEvent><SerialDisp denc=\"" + denc + "\" d=\"" + d + "\" /></XCMPEvent>";
}

std::string pattern(size_t n)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>(i * 7 + i / 256);
    return s;
}

} // namespace

TEST(XmlRequests, LiteralTexts)
{
    const uint8_t two[] = {0x01, 0x02};
    const uint8_t bytes[] = {0x00, 0xFF, 0x10, 0x80, 0x7E};
    const std::vector<std::pair<std::string, std::string>> cases = {
        {xml_text::LoginReq("op1", "s3cret", 8000), "<LoginReq><Credentials user=\"op1\" passwd=\"s3cret\" "
                                                    "tag=\"pulpit-op1\" /><Rtp port=\"8000\" sm=\"1\" "
                                                    "/></LoginReq>"},
        // Values are escaped; "/>" inside a value stays as it is.
        {xml_text::LoginReq("a\"b&c<d>", "x/>y", -1), "<LoginReq><Credentials user=\"a&quot;b&amp;c&lt;d>\" "
                                                      "passwd=\"x/>y\" tag=\"pulpit-a&quot;b&amp;c&lt;d>\" "
                                                      "/><Rtp port=\"-1\" sm=\"1\" /></LoginReq>"},
        {xml_text::LoginReq("", "", 0), "<LoginReq><Credentials user=\"\" passwd=\"\" tag=\"pulpit-\" /><Rtp "
                                        "port=\"0\" sm=\"1\" /></LoginReq>"},
        {xml_text::XCMPStatusReq(), "<XCMPStatusReq />"},
        {xml_text::GpioStateReq(), "<GpioStateReq />"},
        {xml_text::SetPttReq(1), "<SetPttReq ptt=\"1\"/>"},
        {xml_text::SetPttReq(-7), "<SetPttReq ptt=\"1\"/>"},
        {xml_text::SetPttReq(0), "<SetPttReq ptt=\"0\"/>"},
        {xml_text::XCMPAction(5, -1, 2),
         "<XCMPAction><Button id=\"5\" state=\"-1\" type=\"2\" /></XCMPAction>"},
        {xml_text::XCMPAction(-2147483647 - 1, 0, 2147483647),
         "<XCMPAction><Button id=\"-2147483648\" state=\"0\" type=\"2147483647\" /></XCMPAction>"},
        {xml_text::GpioSetReq(0x200), "<GpioSetReq bitmap=\"512\" />"},
        {xml_text::GpioSetReq(0xFFFFFFFF), "<GpioSetReq bitmap=\"4294967295\" />"},
        {xml_text::GpioClrReq(0x80000000), "<GpioClrReq bitmap=\"2147483648\" />"},
        {xml_text::GpioClrReq(0), "<GpioClrReq bitmap=\"0\" />"},
        {xml_text::SerialDisp(two, 2), "<XE><SerialDisp d=\"AQI=\" denc=\"b64\" /></XE>"},
        {xml_text::SerialDisp(bytes, 5), "<XE><SerialDisp d=\"AP8QgH4=\" denc=\"b64\" /></XE>"},
        {xml_text::SerialDisp(nullptr, 0), "<XE><SerialDisp d=\"\" denc=\"b64\" /></XE>"},
        {xml_text::TAction("hw"), "<TAction><PttSelMode mode=\"hw\" /></TAction>"},
        {xml_text::NXAction("hw"), "<NXAction><PttSelMode mode=\"hw\" /></NXAction>"},
        {xml_text::NXAction("a'b\tc"), "<NXAction><PttSelMode mode=\"a'b&#09;c\" /></NXAction>"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(c.first, c.second);
}

TEST(XmlRequests, BuildersWithoutAConnectedLinkSendNothing)
{
    const uint8_t b = 1;
    class_roipsrv_conn idle([](const std::string &) {}, "127.0.0.1", 1, "u", "p", 8000);
    for (class_roipsrv_conn *conn : {static_cast<class_roipsrv_conn *>(nullptr), &idle}) {
        EXPECT_EQ(xml_LoginReq(conn, "u", "p", 8000), -1);
        EXPECT_EQ(xml_XCMPStatusReq(conn), -1);
        EXPECT_EQ(xml_GpioStateReq(conn), -1);
        EXPECT_EQ(xml_SetPttReq(conn, 1), -1);
        EXPECT_EQ(xml_XCMPAction(conn, 1, 2, 3), -1);
        EXPECT_EQ(xml_GpioSetReq(conn, 1), -1);
        EXPECT_EQ(xml_GpioClrReq(conn, 1), -1);
        EXPECT_EQ(xml_SerialDisp(conn, &b, 1), -1);
        EXPECT_EQ(xml_TAction(conn, "hw"), -1);
        EXPECT_EQ(xml_NXAction(conn, "hw"), -1);
    }
}

TEST(XmlMessageKey, EveryKindOfText)
{
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"", ":err"},
        {":connected", ":connected"},
        {":disconnected", ":disconnected"},
        {":", ":"},
        {"not xml at all", ":err"},
        {"<LoginPosResp><Rtp port=\"1\"", ":err"},
        {"<a></b>", ":err"},
        {"<NegResp req=\"LoginReq\" />", "NegResp/LoginReq"},
        {"<NegResp />", "NegResp/"},
        {"<PosResp req=\"GpioSetReq\"/>", "PosResp/GpioSetReq"},
        {"<PosResp/>", "PosResp/"},
        {"<XCMPEvent><SerialDisp denc=\"b64\" d=\"AQI=\" /></XCMPEvent>", "XCMPEvent/SerialDisp"},
        {"<XCMPEvent />", "XCMPEvent/"},
        {"<XCMPEvent>text</XCMPEvent>", "XCMPEvent/"},
        {"<XCMPEvent><Other/><SerialDisp/></XCMPEvent>", "XCMPEvent/Other"},
        {"<TEvent><SerialDisp/></TEvent>", "TEvent/SerialDisp"},
        {"<NXEvent><SerialDisp/></NXEvent>", "NXEvent/SerialDisp"},
        {"<LoginPosResp><Rtp port=\"1\" codec=\"gsm\"/></LoginPosResp>", "LoginPosResp"},
        {"<SetPttEv ptt=\"1\" />", "SetPttEv"},
        {"<UnlockSqlEv sql=\"1\" />", "UnlockSqlEv"},
        {"<GpioChangedEv bitmap=\"0x1\" mask=\"0x1\" />", "GpioChangedEv"},
        {"<KeepAliveEv/>", "KeepAliveEv"},
        {"<?xml version=\"1.0\"?>\n<!-- c --><UnlockSqlEv sql=\"0\"/>", "UnlockSqlEv"},
        {"<First/><Second/>", "First"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(key(c.first), c.second) << c.first;
}

TEST(XmlLoginPosResp, Rules)
{
    struct Case {
        std::string text;
        int result;
        int port = 0, codec = 0, sm = 0;
        uint32_t syncnum = 0;
        std::string devname = "", encrypt = "";
    };
    const std::vector<Case> cases = {
        {"<LoginPosResp><Rtp port=\"8002\" sm=\"1\" syncnum=\"4000000000\" codec=\"speex\" /><Info "
         "devname=\"site-radio\" encrypt=\"rckd\" /></LoginPosResp>",
         0, 8002, 3, 1, 4000000000u, "site-radio", "rckd"},
        {"<LoginPosResp><Rtp port=\"8000\" sm=\"0\" syncnum=\"7\" codec=\"alaw\" /><Info devname=\"r\" "
         "/></LoginPosResp>",
         0, 8000, 1, 0, 7, "r", ""},
        // Without "sm" it succeeds with sm 0; without "syncnum" that is 0.
        {"<LoginPosResp><Rtp port=\"1\" codec=\"gsm\" /></LoginPosResp>", 0, 1, 2, 0, 0, "", ""},
        // Rtp-only: devname and encrypt come from Rtp when there is no Info.
        {"<LoginPosResp><Rtp port=\"9\" codec=\"gsm\" devname=\"rtp-name\" encrypt=\"rckd\" "
         "/></LoginPosResp>",
         0, 9, 2, 0, 0, "rtp-name", "rckd"},
        // With Info, Rtp's values are not used, even when Info lacks them.
        {"<LoginPosResp><Rtp port=\"9\" codec=\"gsm\" devname=\"rtp-name\" encrypt=\"rckd\" /><Info "
         "/></LoginPosResp>",
         0, 9, 2, 0, 0, "", ""},
        {"<LoginPosResp><Rtp port=\"9\" codec=\"gsm\" /><Info encrypt=\"RCKD\" /></LoginPosResp>", 0, 9, 2, 0,
         0, "", "rckd"},
        {"<LoginPosResp><Rtp port=\"9\" codec=\"gsm\" /><Info encrypt=\"RcKd\" /></LoginPosResp>", 0, 9, 2, 0,
         0, "", "rckd"},
        {"<LoginPosResp><Rtp port=\"9\" codec=\"gsm\" /><Info encrypt=\"yes\" /></LoginPosResp>", 0, 9, 2, 0,
         0, "", ""},
        {"<LoginPosResp><Rtp port=\"9\" codec=\"gsm\" /><Info encrypt=\"rckd2\" /></LoginPosResp>", 0, 9, 2,
         0, 0, "", ""},
        {"<LoginPosResp><Rtp port=\"9\" codec=\"opus\" /></LoginPosResp>", 0, 9, 1, 0, 0, "", ""},
        {"<LoginPosResp><Rtp port=\"9\" codec=\"\" /></LoginPosResp>", 0, 9, 1, 0, 0, "", ""},
        {"<LoginPosResp><Rtp port=\"9\" codec=\"GSM\" /></LoginPosResp>", 0, 9, 1, 0, 0, "", ""},
        {"<LoginPosResp><Rtp port=\"-5\" codec=\"speex\" /></LoginPosResp>", 0, -5, 3, 0, 0, "", ""},
        // Failures.
        {"<LoginPosResp><Rtp port=\"8002\" sm=\"2\" syncnum=\"1\" codec=\"gsm\" /><Info devname=\"x\" "
         "/></LoginPosResp>",
         -1},
        {"<LoginPosResp><Rtp port=\"8002\" sm=\"-1\" syncnum=\"1\" codec=\"gsm\" /><Info devname=\"x\" "
         "/></LoginPosResp>",
         -1},
        {"<LoginPosResp><Rtp codec=\"gsm\" /></LoginPosResp>", -1},
        {"<LoginPosResp><Rtp port=\"1\" /></LoginPosResp>", -1},
        {"<LoginPosResp><Info devname=\"x\" /></LoginPosResp>", -1},
        {"<LoginPosResp />", -1},
        {"<Rtp port=\"1\" codec=\"gsm\" />", -1},
        {"<LoginNegResp><Rtp port=\"1\" codec=\"gsm\" /></LoginNegResp>", -1},
        {"<LoginPosResp><Rtp port=\"1\" codec=\"gsm\" />", -1},
        {"", -1},
    };
    for (const Case &c : cases) {
        int port = -99, codec = -99, sm = -99;
        uint32_t syncnum = 99;
        std::string devname = "old", encrypt = "old";
        ASSERT_EQ(xml_LoginPosResp(c.text, port, codec, sm, syncnum, devname, encrypt), c.result) << c.text;
        if (c.result != 0)
            continue;
        EXPECT_EQ(port, c.port) << c.text;
        EXPECT_EQ(codec, c.codec) << c.text;
        EXPECT_EQ(sm, c.sm) << c.text;
        EXPECT_EQ(syncnum, c.syncnum) << c.text;
        EXPECT_EQ(devname, c.devname) << c.text;
        EXPECT_EQ(encrypt, c.encrypt) << c.text;
    }
}

TEST(XmlEvents, SetPttUnlockSqlAndGpioChanged)
{
    struct PttCase {
        std::string text;
        int result, ptt = 0;
        std::string roip = "", local = "";
    };
    const std::vector<PttCase> ptt_cases = {
        {"<SetPttEv ptt=\"1\" login_roip=\"site-radio\" login_local=\"op2\" />", 0, 1, "site-radio", "op2"},
        {"<SetPttEv ptt=\"0\" />", 0, 0, "", ""},
        {"<SetPttEv ptt=\"-3\" login_local=\"x&amp;y\" />", 0, -3, "", "x&y"},
        {"<SetPttEv login_roip=\"r\" />", -1},
        {"<SetPttEvent ptt=\"1\" />", -1},
        {"<SetPttEv ptt=\"1\"", -1},
    };
    for (const PttCase &c : ptt_cases) {
        int ptt = 99;
        std::string roip = "old", local = "old";
        ASSERT_EQ(xml_SetPttEv(c.text, ptt, roip, local), c.result) << c.text;
        if (c.result == 0) {
            EXPECT_EQ(ptt, c.ptt);
            EXPECT_EQ(roip, c.roip);
            EXPECT_EQ(local, c.local);
        }
    }

    const std::vector<std::tuple<std::string, int, int>> sql_cases = {
        {"<UnlockSqlEv sql=\"1\" />", 0, 1},
        {"<UnlockSqlEv sql=\"-2\" />", 0, -2},
        {"<UnlockSqlEv />", -1, 0},
        {"<SetPttEv sql=\"1\" />", -1, 0},
        {"garbage", -1, 0},
    };
    for (const auto &c : sql_cases) {
        int sql = 99;
        ASSERT_EQ(xml_UnlockSqlEv(std::get<0>(c), sql), std::get<1>(c)) << std::get<0>(c);
        if (std::get<1>(c) == 0) {
            EXPECT_EQ(sql, std::get<2>(c));
        }
    }

    const std::vector<std::tuple<std::string, int, uint32_t, uint32_t>> gpio_cases = {
        {"<GpioChangedEv bitmap=\"0x200\" mask=\"0x200\" />", 0, 0x200, 0x200},
        {"<GpioChangedEv bitmap=\"0xFFFFFFFF\" mask=\"0xabcdef01\" />", 0, 0xFFFFFFFF, 0xABCDEF01},
        {"<GpioChangedEv bitmap=\"0x0\" mask=\"0x00000010\" />", 0, 0, 0x10},
        {"<GpioChangedEv bitmap=\"0x1Fzz\" mask=\"0x1 \" />", 0, 0x1F, 1},
        {"<GpioChangedEv bitmap=\"0x0x5\" mask=\"0x1\" />", 0, 5, 1},
        {"<GpioChangedEv bitmap=\"512\" mask=\"0x200\" />", -1, 0, 0},
        {"<GpioChangedEv bitmap=\"0x200\" mask=\"512\" />", -1, 0, 0},
        {"<GpioChangedEv bitmap=\"0X200\" mask=\"0x200\" />", -1, 0, 0},
        {"<GpioChangedEv bitmap=\"0x\" mask=\"0x200\" />", -1, 0, 0},
        {"<GpioChangedEv bitmap=\"0x-1\" mask=\"0x200\" />", -1, 0, 0},
        {"<GpioChangedEv bitmap=\"0x 1\" mask=\"0x200\" />", -1, 0, 0},
        {"<GpioChangedEv bitmap=\"0xg\" mask=\"0x200\" />", -1, 0, 0},
        {"<GpioChangedEv bitmap=\"0x100000000\" mask=\"0x1\" />", -1, 0, 0},
        {"<GpioChangedEv bitmap=\"0x200\" />", -1, 0, 0},
        {"<GpioChangedEv mask=\"0x200\" />", -1, 0, 0},
        {"<GpioStateEv bitmap=\"0x1\" mask=\"0x1\" />", -1, 0, 0},
    };
    for (const auto &c : gpio_cases) {
        uint32_t bitmap = 0x5A5A, mask = 0xA5A5;
        ASSERT_EQ(xml_GpioChangedEv(std::get<0>(c), bitmap, mask), std::get<1>(c)) << std::get<0>(c);
        if (std::get<1>(c) == 0) {
            EXPECT_EQ(bitmap, std::get<2>(c));
            EXPECT_EQ(mask, std::get<3>(c));
        } else {
            EXPECT_EQ(bitmap, 0x5A5Au);
            EXPECT_EQ(mask, 0xA5A5u);
        }
    }
}

TEST(XmlSerialDisp, XcmpEventPlainAndDeflated)
{
    const std::string exact = pattern(xml_serial_inflate_max);
    struct Case {
        std::string text;
        int result;
        std::string data = "";
    };
    const std::vector<Case> cases = {
        {xcmp_event("b64", "AQID"), 0, "\x01\x02\x03"},
        {xcmp_event("b64", ""), 0, ""},
        {xcmp_event("b64", "AQ!D"), 0, "\x01"},
        {xcmp_event("b64", base64_encode(reinterpret_cast<const uint8_t *>(pattern(6000).data()), 6000)), 0,
         pattern(6000)},
        // zlib stream of "hello", written out.
        {xcmp_event("b64z", "eJzLSM3JyQcABiwCFQ=="), 0, "hello"},
        {xcmp_event("b64z", b64z(exact)), 0, exact},
        {xcmp_event("b64z", b64z(pattern(xml_serial_inflate_max + 1))), -1},
        {xcmp_event("b64z", b64z(std::string(1 << 20, 'A'))), -1},
        {xcmp_event("b64z", b64z("")), 0, ""},
        {xcmp_event("b64z", "AQID"), -1},
        {xcmp_event("b64z", ""), -1},
        // A stream cut short, and one with a broken check value.
        {xcmp_event("b64z", "eJzLSM3JyQcA"), -1},
        {xcmp_event("b64z", "eJzLSM3JyQcABiwCFg=="), -1},
        {"<XCMPEvent><SerialDisp denc=\"b64z\" /></XCMPEvent>", -1},
        {"<XCMPEvent><SerialDisp denc=\"b64\" /></XCMPEvent>", -1},
        {"<XCMPEvent><SerialDisp d=\"AQID\" /></XCMPEvent>", -1},
        {xcmp_event("B64", "AQID"), -1},
        {xcmp_event("hex", "010203"), -1},
        {"<XCMPEvent />", -1},
        {"<TEvent><SerialDisp denc=\"b64\" d=\"AQID\" /></TEvent>", -1},
        {"<XCMPEvent><SerialDisp denc=\"b64\" d=\"AQID\" />", -1},
    };
    for (const Case &c : cases) {
        std::vector<uint8_t> data = {0xEE};
        ASSERT_EQ(xml_XCMPEvent_SerialDisp(c.text, data), c.result) << c.text.substr(0, 120);
        if (c.result == 0)
            EXPECT_EQ(std::string(data.begin(), data.end()), c.data) << c.text.substr(0, 120);
        else
            EXPECT_EQ(data, std::vector<uint8_t>{0xEE});
    }
}

TEST(XmlSerialDisp, TEventAndNXEventTakePlainBase64Only)
{
    using parser = std::function<int(const std::string &, std::string &)>;
    const std::vector<std::pair<std::string, parser>> events = {{"TEvent", xml_TEvent_SerialDisp},
                                                                {"NXEvent", xml_NXEvent_SerialDisp}};
    for (const auto &ev : events) {
        const std::string open = "<" + ev.first + ">", close = "</" + ev.first + ">";
        const std::vector<std::tuple<std::string, int, std::string>> cases = {
            {open + "<SerialDisp denc=\"b64\" d=\"AQID\" />" + close, 0, "\x01\x02\x03"},
            {open + "<SerialDisp d=\"Zm9v!YmFy\" denc=\"b64\" />" + close, 0, "foo"},
            {open + "<SerialDisp denc=\"b64\" d=\"!!\" />" + close, 0, ""},
            {open + "<SerialDisp denc=\"b64z\" d=\"eJzLSM3JyQcABiwCFQ==\" />" + close, -1, ""},
            {open + "<SerialDisp denc=\"b64\" d=\"\" />" + close, -1, ""},
            {open + "<SerialDisp denc=\"b64\" />" + close, -1, ""},
            {open + "<SerialDisp d=\"AQID\" />" + close, -1, ""},
            {open + "<SerialDisp denc=\"b64 \" d=\"AQID\" />" + close, -1, ""},
            {open + close, -1, ""},
            {"<XCMPEvent><SerialDisp denc=\"b64\" d=\"AQID\" /></XCMPEvent>", -1, ""},
            {open + "<SerialDisp denc=\"b64\" d=\"AQID\" />", -1, ""},
        };
        for (const auto &c : cases) {
            std::string data = "old";
            ASSERT_EQ(ev.second(std::get<0>(c), data), std::get<1>(c)) << std::get<0>(c);
            EXPECT_EQ(data, std::get<1>(c) == 0 ? std::get<2>(c) : "old") << std::get<0>(c);
        }
    }
}
