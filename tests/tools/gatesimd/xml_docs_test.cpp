#include "tools/gatesimd/xml_docs.h"

#include "base/base64.h"

#include <gtest/gtest.h>
#include <zlib.h>

namespace
{

TEST(XmlDocs, LiteralTexts)
{
    struct Case {
        std::string got, want;
    } cases[] = {
        {xml_docs::login_pos_resp(5004, 65536, "gsm", "console-1", true),
         "<LoginPosResp><Rtp port=\"5004\" sm=\"1\" syncnum=\"65536\" codec=\"gsm\"/>"
         "<Info devname=\"console-1\" encrypt=\"rckd\"/></LoginPosResp>"},
        {xml_docs::login_pos_resp(0, 70000, "alaw", "a&b", false),
         "<LoginPosResp><Rtp port=\"0\" sm=\"1\" syncnum=\"70000\" codec=\"alaw\"/>"
         "<Info devname=\"a&amp;b\" encrypt=\"no\"/></LoginPosResp>"},
        {xml_docs::neg_resp("LoginReq"), "<NegResp req=\"LoginReq\"/>"},
        {xml_docs::pos_resp("GpioSetReq"), "<PosResp req=\"GpioSetReq\"/>"},
        {xml_docs::keep_alive_ev(3, "site-radio"), "<KeepAliveEv seq=\"3\" site=\"site-radio\"/>"},
        {xml_docs::set_ptt_ev(1, "site-radio", "op\"1"),
         "<SetPttEv ptt=\"1\" login_roip=\"site-radio\" login_local=\"op&quot;1\"/>"},
        {xml_docs::unlock_sql_ev(-1), "<UnlockSqlEv sql=\"-1\"/>"},
        {xml_docs::gpio_changed_ev(0x200, 0xFFFFFFFF),
         "<GpioChangedEv bitmap=\"0x200\" mask=\"0xFFFFFFFF\"/>"},
        {xml_docs::hex(reinterpret_cast<const uint8_t *>("\x01\xab\xff"), 3), "01 ab ff"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(c.got, c.want);
}

TEST(XmlDocs, SerialDispEventsForEachEventAndEncoding)
{
    const uint8_t data[] = {1, 2, 3};
    std::string doc;
    ASSERT_TRUE(xml_docs::serial_disp_event("TEvent", "b64", data, 3, doc));
    EXPECT_EQ(doc, "<TEvent><SerialDisp d=\"AQID\" denc=\"b64\"/></TEvent>");
    ASSERT_TRUE(xml_docs::serial_disp_event("NXEvent", "b64", data, 3, doc));
    EXPECT_EQ(doc, "<NXEvent><SerialDisp d=\"AQID\" denc=\"b64\"/></NXEvent>");
    ASSERT_TRUE(xml_docs::serial_disp_event("XCMPEvent", "b64z", data, 3, doc));
    EXPECT_EQ(doc.rfind("<XCMPEvent><SerialDisp d=\"", 0), 0u);
    EXPECT_NE(doc.find("denc=\"b64z\""), std::string::npos);
    EXPECT_FALSE(xml_docs::serial_disp_event("TEvent", "b64z", data, 3, doc));
    EXPECT_FALSE(xml_docs::serial_disp_event("NXEvent", "b64z", data, 3, doc));
    EXPECT_FALSE(xml_docs::serial_disp_event("XCMPEvent", "hex", data, 3, doc));
    EXPECT_FALSE(xml_docs::serial_disp_event("XE", "b64", data, 3, doc));
}

std::string deflated_b64(size_t n)
{
    std::vector<uint8_t> in(n, 0x41), out(compressBound(n));
    uLongf len = out.size();
    EXPECT_EQ(compress(out.data(), &len, in.data(), n), Z_OK);
    return base64_encode(out.data(), len);
}

TEST(XmlDocs, DecodesSerialDispWithinTheInflateLimit)
{
    std::vector<uint8_t> out;
    ASSERT_TRUE(xml_docs::decode_serial_disp("b64", "AQID/w==", out));
    EXPECT_EQ(out, (std::vector<uint8_t>{1, 2, 3, 0xFF}));
    ASSERT_TRUE(xml_docs::decode_serial_disp("b64z", deflated_b64(2048), out));
    EXPECT_EQ(out.size(), 2048u);
    EXPECT_FALSE(xml_docs::decode_serial_disp("b64z", deflated_b64(2049), out));
    // A bomb: a megabyte of zeros in a few hundred bytes.
    EXPECT_FALSE(xml_docs::decode_serial_disp("b64z", deflated_b64(1 << 20), out));
    EXPECT_FALSE(xml_docs::decode_serial_disp("b64z", "not deflate", out));
    EXPECT_FALSE(xml_docs::decode_serial_disp("b64z", "", out));
    EXPECT_FALSE(xml_docs::decode_serial_disp("", "AQID", out));
}

} // namespace
