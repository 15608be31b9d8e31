#include "control/xml_messages.h"

#include "control/roipsrv_conn.h"

int xml_LoginReq(class_roipsrv_conn *, const std::string &, const std::string &, int)
{
    return -1;
}

int xml_XCMPStatusReq(class_roipsrv_conn *)
{
    return -1;
}

int xml_GpioStateReq(class_roipsrv_conn *)
{
    return -1;
}

int xml_SetPttReq(class_roipsrv_conn *, int)
{
    return -1;
}

int xml_XCMPAction(class_roipsrv_conn *, int, int, int)
{
    return -1;
}

int xml_GpioSetReq(class_roipsrv_conn *, uint32_t)
{
    return -1;
}

int xml_GpioClrReq(class_roipsrv_conn *, uint32_t)
{
    return -1;
}

int xml_SerialDisp(class_roipsrv_conn *, const uint8_t *, size_t)
{
    return -1;
}

int xml_TAction(class_roipsrv_conn *, const std::string &)
{
    return -1;
}

int xml_NXAction(class_roipsrv_conn *, const std::string &)
{
    return -1;
}

int xml_LoginPosResp(const std::string &, int &, int &, int &, uint32_t &, std::string &, std::string &)
{
    return -1;
}

int xml_SetPttEv(const std::string &, int &, std::string &, std::string &)
{
    return -1;
}

int xml_UnlockSqlEv(const std::string &, int &)
{
    return -1;
}

int xml_GpioChangedEv(const std::string &, uint32_t &, uint32_t &)
{
    return -1;
}

int xml_XCMPEvent_SerialDisp(const std::string &, std::vector<uint8_t> &)
{
    return -1;
}

int xml_TEvent_SerialDisp(const std::string &, std::string &)
{
    return -1;
}

int xml_NXEvent_SerialDisp(const std::string &, std::string &)
{
    return -1;
}
