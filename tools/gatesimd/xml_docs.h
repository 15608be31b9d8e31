// The documents the site sends to XML gateways, and the decoding of the
// serial data they send: serialised without declaration, indentation or line
// breaks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace xml_docs
{

std::string login_pos_resp(int rtp_port, uint32_t syncnum, const std::string &codec,
                           const std::string &devname, bool rckd);
std::string neg_resp(const std::string &req);
std::string pos_resp(const std::string &req);
std::string keep_alive_ev(uint32_t seq, const std::string &site);
std::string set_ptt_ev(int ptt, const std::string &login_roip, const std::string &login_local);
std::string unlock_sql_ev(int sql);
// Both values as "0x%X".
std::string gpio_changed_ev(uint32_t bitmap, uint32_t mask);

// An event ("XCMPEvent", "TEvent" or "NXEvent") carrying one SerialDisp with
// the bytes as "b64", or for "b64z" deflated (zlib stream) first. False when
// the combination is not one the gateways read, or compression fails.
bool serial_disp_event(const std::string &event, const std::string &denc, const uint8_t *data, size_t length,
                       std::string &out);

// The payload of a SerialDisp element's "d" with its "denc": "b64", or "b64z"
// inflating to at most `max_inflated` bytes. False for anything else.
bool decode_serial_disp(const std::string &denc, const std::string &d, std::vector<uint8_t> &out,
                        size_t max_inflated = 2048);

// "01 02 ff"
std::string hex(const uint8_t *data, size_t length);

} // namespace xml_docs
