// The documents of the XML server link: one builder per request (it builds,
// serialises and sends the document through the link, returning the send
// result: 0 sent, -1 not) and one parser per answer or event (0 on success,
// -1 on failure, outputs already filled left as they are).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class class_roipsrv_conn;

// The request documents as the builders below send them, without a link.
namespace xml_text
{

std::string LoginReq(const std::string &user, const std::string &passwd, int rtp_port);
std::string XCMPStatusReq();
std::string GpioStateReq();
std::string SetPttReq(int ptt);
std::string XCMPAction(int id, int state, int type);
std::string GpioSetReq(uint32_t bitmap);
std::string GpioClrReq(uint32_t bitmap);
std::string SerialDisp(const uint8_t *data, size_t length);
std::string TAction(const std::string &mode);
std::string NXAction(const std::string &mode);

} // namespace xml_text

int xml_LoginReq(class_roipsrv_conn *conn, const std::string &user, const std::string &passwd, int rtp_port);
int xml_XCMPStatusReq(class_roipsrv_conn *conn);
int xml_GpioStateReq(class_roipsrv_conn *conn);
int xml_SetPttReq(class_roipsrv_conn *conn, int ptt);
int xml_XCMPAction(class_roipsrv_conn *conn, int id, int state, int type);
int xml_GpioSetReq(class_roipsrv_conn *conn, uint32_t bitmap);
int xml_GpioClrReq(class_roipsrv_conn *conn, uint32_t bitmap);
int xml_SerialDisp(class_roipsrv_conn *conn, const uint8_t *data, size_t length);
int xml_TAction(class_roipsrv_conn *conn, const std::string &mode);
int xml_NXAction(class_roipsrv_conn *conn, const std::string &mode);

// codec: 1 A-law, 2 GSM, 3 Speex (any other name gives 1); encrypt is "rckd"
// or empty.
int xml_LoginPosResp(const std::string &text, int &port, int &codec, int &sm, uint32_t &syncnum,
                     std::string &devname, std::string &encrypt);
int xml_SetPttEv(const std::string &text, int &ptt, std::string &login_roip, std::string &login_local);
int xml_UnlockSqlEv(const std::string &text, int &sql);
int xml_GpioChangedEv(const std::string &text, uint32_t &bitmap, uint32_t &mask);
// "b64z" payloads inflate to at most xml_serial_inflate_max bytes; more fails.
constexpr size_t xml_serial_inflate_max = 2048;
int xml_XCMPEvent_SerialDisp(const std::string &text, std::vector<uint8_t> &data);
int xml_TEvent_SerialDisp(const std::string &text, std::string &data);
int xml_NXEvent_SerialDisp(const std::string &text, std::string &data);
