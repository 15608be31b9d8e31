#include "control/xml_messages.h"

#include "base/base64.h"
#include "control/roipsrv_conn.h"

#include <pugixml.hpp>
#include <zlib.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>

namespace
{

struct string_writer : pugi::xml_writer {
    std::string out;
    void write(const void *data, size_t size) override { out.append(static_cast<const char *>(data), size); }
};

// The library's raw form closes a childless element as "/>"; the server
// expects " />". Attribute values may hold "/>" themselves (only the quote is
// escaped inside them), so tags and quoted values are tracked.
std::string with_spaced_empty_tags(const std::string &raw)
{
    std::string out;
    out.reserve(raw.size() + 8);
    bool in_tag = false;
    bool in_quote = false;
    for (size_t i = 0; i < raw.size(); ++i) {
        char c = raw[i];
        if (!in_tag) {
            in_tag = c == '<';
        } else if (in_quote) {
            in_quote = c != '"';
        } else if (c == '"') {
            in_quote = true;
        } else if (c == '/' && i + 1 < raw.size() && raw[i + 1] == '>' && i > 0 && raw[i - 1] != '<') {
            out += " />";
            ++i;
            in_tag = false;
            continue;
        } else if (c == '>') {
            in_tag = false;
        }
        out += c;
    }
    return out;
}

std::string serialise(const pugi::xml_document &doc)
{
    string_writer w;
    doc.save(w, "", pugi::format_raw | pugi::format_no_declaration, pugi::encoding_utf8);
    return with_spaced_empty_tags(w.out);
}

void set(pugi::xml_node node, const char *name, const std::string &value)
{
    node.append_attribute(name).set_value(value.c_str());
}

std::string one_attribute(const char *element, const char *name, const std::string &value)
{
    pugi::xml_document doc;
    set(doc.append_child(element), name, value);
    return serialise(doc);
}

std::string pttselmode(const char *element, const std::string &mode)
{
    pugi::xml_document doc;
    set(doc.append_child(element).append_child("PttSelMode"), "mode", mode);
    return serialise(doc);
}

int send(class_roipsrv_conn *conn, const std::string &text)
{
    return conn ? conn->send_text(text) : -1;
}

bool parse(pugi::xml_document &doc, const std::string &text)
{
    return static_cast<bool>(doc.load_buffer(text.data(), text.size()));
}

bool equals_ignoring_case(const char *a, const char *b)
{
    for (;; ++a, ++b) {
        unsigned char x = static_cast<unsigned char>(*a), y = static_cast<unsigned char>(*b);
        if (x >= 'A' && x <= 'Z')
            x = static_cast<unsigned char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z')
            y = static_cast<unsigned char>(y - 'A' + 'a');
        if (x != y)
            return false;
        if (x == 0)
            return true;
    }
}

// "0x" then hexadecimal digits, as the server writes words (the "0x%X" scan
// form); anything after the digits is ignored. A value wider than 32 bits does
// not convert.
bool parse_prefixed_hex(const char *s, uint32_t &out)
{
    if (s[0] != '0' || s[1] != 'x' || !std::isxdigit(static_cast<unsigned char>(s[2])))
        return false;
    errno = 0;
    char *end = nullptr;
    unsigned long long v = std::strtoull(s + 2, &end, 16);
    if (errno == ERANGE || v > 0xFFFFFFFFull)
        return false;
    out = static_cast<uint32_t>(v);
    return true;
}

// The plain-base64 form that TEvent and NXEvent carry.
int plain_serial_disp(const std::string &text, const char *event, std::string &data)
{
    pugi::xml_document doc;
    if (!parse(doc, text))
        return -1;
    pugi::xml_node sd = doc.child(event).child("SerialDisp");
    if (!sd || std::string(sd.attribute("denc").value()) != "b64")
        return -1;
    const char *d = sd.attribute("d").value();
    if (*d == 0)
        return -1;
    data = base64_decode(d);
    return 0;
}

} // namespace

namespace xml_text
{

std::string LoginReq(const std::string &user, const std::string &passwd, int rtp_port)
{
    pugi::xml_document doc;
    pugi::xml_node req = doc.append_child("LoginReq");
    pugi::xml_node cred = req.append_child("Credentials");
    set(cred, "user", user);
    set(cred, "passwd", passwd);
    set(cred, "tag", "pulpit-" + user);
    pugi::xml_node rtp = req.append_child("Rtp");
    set(rtp, "port", std::to_string(rtp_port));
    set(rtp, "sm", "1");
    return serialise(doc);
}

std::string XCMPStatusReq()
{
    return "<XCMPStatusReq />";
}

std::string GpioStateReq()
{
    pugi::xml_document doc;
    doc.append_child("GpioStateReq");
    return serialise(doc);
}

std::string SetPttReq(int ptt)
{
    return ptt ? "<SetPttReq ptt=\"1\"/>" : "<SetPttReq ptt=\"0\"/>";
}

std::string XCMPAction(int id, int state, int type)
{
    pugi::xml_document doc;
    pugi::xml_node button = doc.append_child("XCMPAction").append_child("Button");
    set(button, "id", std::to_string(id));
    set(button, "state", std::to_string(state));
    set(button, "type", std::to_string(type));
    return serialise(doc);
}

std::string GpioSetReq(uint32_t bitmap)
{
    return one_attribute("GpioSetReq", "bitmap", std::to_string(bitmap));
}

std::string GpioClrReq(uint32_t bitmap)
{
    return one_attribute("GpioClrReq", "bitmap", std::to_string(bitmap));
}

std::string SerialDisp(const uint8_t *data, size_t length)
{
    pugi::xml_document doc;
    pugi::xml_node sd = doc.append_child("XE").append_child("SerialDisp");
    set(sd, "d", base64_encode(data, data ? length : 0));
    set(sd, "denc", "b64");
    return serialise(doc);
}

std::string TAction(const std::string &mode)
{
    return pttselmode("TAction", mode);
}

std::string NXAction(const std::string &mode)
{
    return pttselmode("NXAction", mode);
}

} // namespace xml_text

int xml_LoginReq(class_roipsrv_conn *conn, const std::string &user, const std::string &passwd, int rtp_port)
{
    return send(conn, xml_text::LoginReq(user, passwd, rtp_port));
}

int xml_XCMPStatusReq(class_roipsrv_conn *conn)
{
    return send(conn, xml_text::XCMPStatusReq());
}

int xml_GpioStateReq(class_roipsrv_conn *conn)
{
    return send(conn, xml_text::GpioStateReq());
}

int xml_SetPttReq(class_roipsrv_conn *conn, int ptt)
{
    return send(conn, xml_text::SetPttReq(ptt));
}

int xml_XCMPAction(class_roipsrv_conn *conn, int id, int state, int type)
{
    return send(conn, xml_text::XCMPAction(id, state, type));
}

int xml_GpioSetReq(class_roipsrv_conn *conn, uint32_t bitmap)
{
    return send(conn, xml_text::GpioSetReq(bitmap));
}

int xml_GpioClrReq(class_roipsrv_conn *conn, uint32_t bitmap)
{
    return send(conn, xml_text::GpioClrReq(bitmap));
}

int xml_SerialDisp(class_roipsrv_conn *conn, const uint8_t *data, size_t length)
{
    return send(conn, xml_text::SerialDisp(data, length));
}

int xml_TAction(class_roipsrv_conn *conn, const std::string &mode)
{
    return send(conn, xml_text::TAction(mode));
}

int xml_NXAction(class_roipsrv_conn *conn, const std::string &mode)
{
    return send(conn, xml_text::NXAction(mode));
}

int xml_LoginPosResp(const std::string &text, int &port, int &codec, int &sm, uint32_t &syncnum,
                     std::string &devname, std::string &encrypt)
{
    pugi::xml_document doc;
    if (!parse(doc, text))
        return -1;
    pugi::xml_node resp = doc.child("LoginPosResp");
    pugi::xml_node rtp = resp.child("Rtp");
    if (!rtp)
        return -1;
    pugi::xml_attribute a = rtp.attribute("port");
    if (!a)
        return -1;
    port = a.as_int();
    a = rtp.attribute("sm");
    if (!a) {
        sm = 0;
    } else {
        int v = a.as_int();
        if (static_cast<unsigned>(v) > 1)
            return -1;
        sm = v;
    }
    syncnum = rtp.attribute("syncnum").as_uint();
    a = rtp.attribute("codec");
    if (!a)
        return -1;
    std::string name = a.value();
    codec = name == "gsm" ? 2 : name == "speex" ? 3 : 1;
    pugi::xml_node info = resp.child("Info");
    pugi::xml_node from = info ? info : rtp;
    devname = from.attribute("devname").value();
    a = from.attribute("encrypt");
    encrypt = a && equals_ignoring_case(a.value(), "rckd") ? "rckd" : "";
    return 0;
}

int xml_SetPttEv(const std::string &text, int &ptt, std::string &login_roip, std::string &login_local)
{
    pugi::xml_document doc;
    if (!parse(doc, text))
        return -1;
    pugi::xml_node ev = doc.child("SetPttEv");
    pugi::xml_attribute a = ev.attribute("ptt");
    if (!a)
        return -1;
    ptt = a.as_int();
    login_roip = ev.attribute("login_roip").value();
    login_local = ev.attribute("login_local").value();
    return 0;
}

int xml_UnlockSqlEv(const std::string &text, int &sql)
{
    pugi::xml_document doc;
    if (!parse(doc, text))
        return -1;
    pugi::xml_attribute a = doc.child("UnlockSqlEv").attribute("sql");
    if (!a)
        return -1;
    sql = a.as_int();
    return 0;
}

int xml_GpioChangedEv(const std::string &text, uint32_t &bitmap, uint32_t &mask)
{
    pugi::xml_document doc;
    if (!parse(doc, text))
        return -1;
    pugi::xml_node ev = doc.child("GpioChangedEv");
    uint32_t b, m;
    if (!parse_prefixed_hex(ev.attribute("bitmap").value(), b) ||
        !parse_prefixed_hex(ev.attribute("mask").value(), m))
        return -1;
    bitmap = b;
    mask = m;
    return 0;
}

int xml_XCMPEvent_SerialDisp(const std::string &text, std::vector<uint8_t> &data)
{
    pugi::xml_document doc;
    if (!parse(doc, text))
        return -1;
    pugi::xml_node sd = doc.child("XCMPEvent").child("SerialDisp");
    const std::string denc = sd.attribute("denc").value();
    pugi::xml_attribute d = sd.attribute("d");
    if (denc == "b64z") {
        if (!d)
            return -1;
        const std::string packed = base64_decode(d.value());
        std::vector<uint8_t> out(xml_serial_inflate_max);
        uLongf out_len = static_cast<uLongf>(out.size());
        // Bounded output: a stream that would inflate past the buffer fails
        // with Z_BUF_ERROR instead of growing anything.
        if (uncompress(out.data(), &out_len, reinterpret_cast<const Bytef *>(packed.data()),
                       static_cast<uLong>(packed.size())) != Z_OK)
            return -1;
        out.resize(out_len);
        data = std::move(out);
        return 0;
    }
    if (denc == "b64") {
        if (!d)
            return -1;
        const std::string raw = base64_decode(d.value());
        data.assign(raw.begin(), raw.end());
        return 0;
    }
    return -1;
}

int xml_TEvent_SerialDisp(const std::string &text, std::string &data)
{
    return plain_serial_disp(text, "TEvent", data);
}

int xml_NXEvent_SerialDisp(const std::string &text, std::string &data)
{
    return plain_serial_disp(text, "NXEvent", data);
}
