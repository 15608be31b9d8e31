#include "tools/gatesimd/xml_docs.h"

#include "base/base64.h"

#include <cstdio>
#include <pugixml.hpp>
#include <sstream>
#include <zlib.h>

namespace xml_docs
{

namespace
{

std::string text_of(const pugi::xml_document &doc)
{
    std::ostringstream out;
    doc.save(out, "", pugi::format_raw | pugi::format_no_declaration);
    return out.str();
}

std::string hex32(uint32_t v)
{
    char b[16];
    std::snprintf(b, sizeof b, "0x%X", v);
    return b;
}

std::string one(const char *name, const char *attr, const std::string &value)
{
    pugi::xml_document doc;
    doc.append_child(name).append_attribute(attr).set_value(value.c_str());
    return text_of(doc);
}

} // namespace

std::string login_pos_resp(int rtp_port, uint32_t syncnum, const std::string &codec,
                           const std::string &devname, bool rckd)
{
    pugi::xml_document doc;
    pugi::xml_node resp = doc.append_child("LoginPosResp");
    pugi::xml_node rtp = resp.append_child("Rtp");
    rtp.append_attribute("port").set_value(rtp_port);
    rtp.append_attribute("sm").set_value(1);
    rtp.append_attribute("syncnum").set_value(syncnum);
    rtp.append_attribute("codec").set_value(codec.c_str());
    pugi::xml_node info = resp.append_child("Info");
    info.append_attribute("devname").set_value(devname.c_str());
    info.append_attribute("encrypt").set_value(rckd ? "rckd" : "no");
    return text_of(doc);
}

std::string neg_resp(const std::string &req)
{
    return one("NegResp", "req", req);
}

std::string pos_resp(const std::string &req)
{
    return one("PosResp", "req", req);
}

std::string keep_alive_ev(uint32_t seq, const std::string &site)
{
    pugi::xml_document doc;
    pugi::xml_node ev = doc.append_child("KeepAliveEv");
    ev.append_attribute("seq").set_value(seq);
    ev.append_attribute("site").set_value(site.c_str());
    return text_of(doc);
}

std::string set_ptt_ev(int ptt, const std::string &login_roip, const std::string &login_local)
{
    pugi::xml_document doc;
    pugi::xml_node ev = doc.append_child("SetPttEv");
    ev.append_attribute("ptt").set_value(ptt);
    ev.append_attribute("login_roip").set_value(login_roip.c_str());
    ev.append_attribute("login_local").set_value(login_local.c_str());
    return text_of(doc);
}

std::string unlock_sql_ev(int sql)
{
    return one("UnlockSqlEv", "sql", std::to_string(sql));
}

std::string gpio_changed_ev(uint32_t bitmap, uint32_t mask)
{
    pugi::xml_document doc;
    pugi::xml_node ev = doc.append_child("GpioChangedEv");
    ev.append_attribute("bitmap").set_value(hex32(bitmap).c_str());
    ev.append_attribute("mask").set_value(hex32(mask).c_str());
    return text_of(doc);
}

bool serial_disp_event(const std::string &event, const std::string &denc, const uint8_t *data, size_t length,
                       std::string &out)
{
    if (event != "XCMPEvent" && event != "TEvent" && event != "NXEvent")
        return false;
    std::string d;
    if (denc == "b64") {
        d = base64_encode(data, length);
    } else if (denc == "b64z" && event == "XCMPEvent") {
        uLongf packed = compressBound(static_cast<uLong>(length));
        std::vector<uint8_t> buf(packed);
        if (compress(buf.data(), &packed, data, static_cast<uLong>(length)) != Z_OK)
            return false;
        d = base64_encode(buf.data(), packed);
    } else {
        return false;
    }
    pugi::xml_document doc;
    pugi::xml_node disp = doc.append_child(event.c_str()).append_child("SerialDisp");
    disp.append_attribute("d").set_value(d.c_str());
    disp.append_attribute("denc").set_value(denc.c_str());
    out = text_of(doc);
    return true;
}

bool decode_serial_disp(const std::string &denc, const std::string &d, std::vector<uint8_t> &out,
                        size_t max_inflated)
{
    std::string raw = base64_decode(d);
    if (denc == "b64") {
        out.assign(raw.begin(), raw.end());
        return true;
    }
    if (denc != "b64z")
        return false;
    // One byte more than allowed tells an oversized result from one that fits.
    std::vector<uint8_t> buf(max_inflated + 1);
    uLongf n = static_cast<uLongf>(buf.size());
    int r = uncompress(buf.data(), &n, reinterpret_cast<const Bytef *>(raw.data()),
                       static_cast<uLong>(raw.size()));
    if (r != Z_OK || n > max_inflated)
        return false;
    buf.resize(n);
    out = std::move(buf);
    return true;
}

std::string hex(const uint8_t *data, size_t length)
{
    std::string s;
    char b[4];
    for (size_t i = 0; i < length; i++) {
        std::snprintf(b, sizeof b, i ? " %02x" : "%02x", data[i]);
        s += b;
    }
    return s;
}

} // namespace xml_docs
