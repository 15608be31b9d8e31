// What arrives on the XML link: the frame header's length, the dispatch key
// and every parser, on the same text. None may crash or hand back more than
// its limits allow.
#include "base/base64.h"
#include "control/roipsrv_conn.h"
#include "control/xml_messages.h"
#include "wire/xml_frame.h"

#include <cstdint>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size >= xml_frame::header_size)
        (void)xml_frame::decode_length(data);
    const std::string text(reinterpret_cast<const char *>(data), size);
    std::string key = class_roipsrv_conn::message_key(text);
    if (key.empty())
        __builtin_trap();

    int port = 0, codec = 0, sm = 0, ptt = 0, sql = 0;
    uint32_t syncnum = 0, bitmap = 0, mask = 0;
    std::string devname, encrypt, roip, local, bytes;
    std::vector<uint8_t> vec;
    if (xml_LoginPosResp(text, port, codec, sm, syncnum, devname, encrypt) == 0) {
        if (codec < 1 || codec > 3 || sm < 0 || sm > 1 || (!encrypt.empty() && encrypt != "rckd"))
            __builtin_trap();
    }
    (void)xml_SetPttEv(text, ptt, roip, local);
    (void)xml_UnlockSqlEv(text, sql);
    (void)xml_GpioChangedEv(text, bitmap, mask);
    (void)xml_XCMPEvent_SerialDisp(text, vec);
    (void)xml_TEvent_SerialDisp(text, bytes);
    (void)xml_NXEvent_SerialDisp(text, bytes);
    (void)base64_decode(text);
    return 0;
}
