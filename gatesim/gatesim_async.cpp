// The asynchronous events the host raises: each is framed once and queued for
// every logged-in gateway with events on.
#include "gatesim/gatesim.h"

#include "wire/roip_proto.h"

int gatesim::broadcast(const std::vector<uint8_t> &msg, bool urgent)
{
    if (msg.empty())
        return -1;
    if (!server_)
        return 0;
    return server_->AsyncWriteGroup(reinterpret_cast<const char *>(msg.data()),
                                    static_cast<unsigned>(msg.size()), urgent, nullptr);
}

int gatesim::async_set_ptt(tcpkit::client *c, int ptt)
{
    if (c == nullptr)
        return -1;
    dbg("gatesim: async_set_ptt: ptt: %d, user: [%s]\n", ptt, c->user);
    return broadcast(proto::build_async_setptt(ptt, c->user), true);
}

int gatesim::async_unlock_sql(int sql)
{
    dbg("gatesim: async_unlock_sql: sql: %d\n", sql);
    return broadcast(proto::build_async_unlocksql(sql), true);
}

int gatesim::async_gpio_changed(unsigned bitmap, unsigned mask)
{
    dbg("gatesim: async_gpio_changed: map: 0x%8.8X, mask: 0x%8.8X\n", bitmap, mask);
    return broadcast(proto::build_async_gpiochanged(bitmap, mask), false);
}

int gatesim::async_ext_raw(int type, const unsigned char *data, int len)
{
    dbg("gatesim: async_ext_raw: packettype: %d\n", type);
    // The tunnel's 16-bit length must hold the 12-byte header and the data.
    if (len < 0 || (len > 0 && data == nullptr) ||
        static_cast<size_t>(len) + proto::ext_header_size > proto::tunnel_max_data)
        return -1;
    return broadcast(proto::build_tunnel_ext(static_cast<uint32_t>(type), data, static_cast<size_t>(len)),
                     true);
}

int gatesim::async_ext_xml_status(const std::string &xml)
{
    dbg("gatesim: async_ext_xml_status: msg: [%s]\n", xml.c_str());
    if (xml.size() + proto::xml_head_size + proto::ext_header_size > proto::tunnel_max_data)
        return -1;
    auto payload = proto::build_xml_text_payload(0, 0, xml);
    return broadcast(proto::build_tunnel_ext(proto::ext_xml_status, payload.data(), payload.size()), true);
}

int gatesim::async_polar_status(const std::string &name, const std::string &text, unsigned value1,
                                unsigned value2)
{
    auto payload = proto::build_polar_status_payload(name, text, value1, value2);
    return async_ext_raw(static_cast<int>(proto::ext_polar_status), payload.data(),
                         static_cast<int>(payload.size()));
}

int gatesim::async_serial_data(int channel, const unsigned char *data, int len)
{
    dbg("gatesim: async_serial_data: channel: %d, len: %d\n", channel, len);
    if (channel < 0 || channel > 0xFF || len < 0 || (len > 0 && data == nullptr) ||
        static_cast<size_t>(len) > proto::tunnel_max_data)
        return -1;
    // Not urgent: PTT and squelch events may overtake a stream of display
    // frames, but the frames keep their order.
    return broadcast(proto::build_tunnel(proto::packettype_serial_senddata, static_cast<uint8_t>(channel),
                                         data, static_cast<size_t>(len)),
                     false);
}

int gatesim::async_dm3000_status(unsigned a, unsigned char b, const unsigned char *data, int len)
{
    dbg("gatesim: async_dm3000_status: a: %u, b: %u, len: %d\n", a, b, len);
    if (len < 0 || (len > 0 && data == nullptr) ||
        static_cast<size_t>(len) + proto::dm_status_min_payload + proto::ext_header_size >
            proto::tunnel_max_data)
        return -1;
    auto payload = proto::build_dm_status_payload(a, b, data, static_cast<size_t>(len));
    return async_ext_raw(static_cast<int>(proto::ext_dm_status), payload.data(),
                         static_cast<int>(payload.size()));
}
