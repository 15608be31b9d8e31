#include "gatesim/gatesim.h"

#include "base/byteorder.h"
#include "gatesim/n_udp.h"
#include "wire/roip_proto.h"

#include <arpa/inet.h>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <exception>

namespace
{

// Thread stacks of the voice relay: a fixed 512-byte buffer and a few locals.
constexpr size_t rtp_stack_size = 256 * 1024;

bool start_thread(pthread_t *t, void *(*entry)(void *), void *arg)
{
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0)
        return false;
    pthread_attr_setstacksize(&attr, rtp_stack_size);
    int r = pthread_create(t, &attr, entry, arg);
    pthread_attr_destroy(&attr);
    return r == 0;
}

} // namespace

libgatesim::~libgatesim() = default;

std::shared_ptr<libgatesim> libgatesim::create()
{
    return std::make_shared<gatesim>();
}

gatesim::gatesim()
{
    rtp_header_[0] = 0x80;
    rtp_header_[8] = 0xAA;
    rtp_header_[9] = 0xBB;
    rtp_header_[10] = 0xCC;
    rtp_header_[11] = 0xDD;
}

gatesim::~gatesim()
{
    stop_.notify();
    // First the gateways' threads (their disconnect handling uses the user
    // list), then the relay's.
    if (server_)
        server_->Stop();
    server_.reset();
    if (rtp_threads_running_) {
        pthread_join(rtp_thread_, nullptr);
        pthread_join(keepalive_thread_, nullptr);
    }
    n_udp::close(udp_);
}

void gatesim::dbg(const char *fmt, ...) const
{
    if (!dbg_)
        return;
    va_list ap;
    va_start(ap, fmt);
    vprintf(fmt, ap);
    va_end(ap);
    fflush(stdout);
}

int gatesim::init(const char *bind_address, int tcp_port, int max_clients, int rtp_port)
{
    std::lock_guard<std::mutex> g(init_lock_);
    if (initialized_ || bind_address == nullptr || !stop_.ok())
        return -1;
    if (!cb_info_ver_.get() || !cb_login_req_.get())
        return -1;
    initialized_ = true;
    auto server = std::make_unique<tcpkit::TcpServer>(
        tcp_port, max_clients, bind_address, [this](tcpkit::client *c) { return tcp_process(c); },
        [this](tcpkit::client *c) { return tcp_disconnect(c); });
    if (server->IsInitialized() != 1)
        return -1;
    server_ = std::move(server);
    // The RTP port is the VoipPort of every login result, so it is settled
    // before the first gateway is served.
    bool udp_ok = true;
    if (rtp_port > 0) {
        rtp_port_ = rtp_port;
        udp_ = n_udp::bind(rtp_port, inet_addr(bind_address), nullptr);
        udp_ok = udp_ >= 0;
    }
    server_->StartServing();
    if (!udp_ok)
        return -1;
    if (udp_ >= 0) {
        if (!start_thread(&rtp_thread_, _rtp_thr, this))
            return -1;
        if (!start_thread(&keepalive_thread_, _rtp_thr_keepalive, this)) {
            stop_.notify();
            pthread_join(rtp_thread_, nullptr);
            return -1;
        }
        rtp_threads_running_ = true;
    }
    dbg("gatesim: init: done\n");
    return 0;
}

// ---- Responses ----

int gatesim::send_msg(tcpkit::client *c, const std::vector<uint8_t> &msg)
{
    int n = static_cast<int>(msg.size());
    return server_->Write(c, reinterpret_cast<const char *>(msg.data()), n) == n ? 0 : -1;
}

int gatesim::send_ack(tcpkit::client *c)
{
    return send_msg(c, proto::build_ack());
}

int gatesim::send_deny(tcpkit::client *c, int reason)
{
    return send_msg(c, proto::build_deny(reason));
}

int gatesim::send_resp(tcpkit::client *c, int value)
{
    return value == 0 ? send_ack(c) : send_deny(c, value);
}

// ---- Connection handler ----

int gatesim::tcp_process(tcpkit::client *c)
{
    // Nothing may escape into the server's thread: an exception (an allocation
    // failure, a throwing host callback) ends only this connection.
    try {
        return process_loop(c);
    } catch (const std::exception &) {
        return 0;
    } catch (...) {
        return 0;
    }
}

int gatesim::process_loop(tcpkit::client *c)
{
    dbg("gatesim: tcp_process()\n");
    s_info_ver v;
    if (auto cb = cb_info_ver_.get())
        (*cb)(v);
    proto::VersionInfo info;
    info.ver_proto = proto::version_word(v.proto_major, v.proto_minor);
    info.ver_config = proto::version_word(v.config_major, v.config_minor);
    info.ver_fw = proto::version_word(v.fw_major, v.fw_minor);
    info.build = v.build;
    if (send_msg(c, proto::build_version_info(info)) < 0)
        return 0;

    for (;;) {
        uint8_t word[4];
        if (server_->Read(c, reinterpret_cast<char *>(word), 4) != 4)
            return 0;
        uint32_t type = bytes::get_le32(word);
        int r = 0;
        bool priv = c->privilege.load() >= 1;
        switch (type) {
        case proto::packettype_loginreq:
            r = on_login(c);
            break;
        case proto::packettype_setptt:
            r = on_setptt(c);
            break;
        case proto::packettype_unlocksql: {
            dbg("gatesim: packettype_unlocksql (not impl.)\n");
            char value[4];
            if (server_->Read(c, value, 4) != 4)
                return 0;
            if (!priv)
                dbg("gatesim: deny: nopriv\n");
            r = send_deny(c, priv ? proto::deny_unsupported : proto::deny_nopriv);
            break;
        }
        case proto::packettype_gpio_state_req:
            dbg("gatesim: packettype_gpio_state_req (not impl.)\n");
            if (!priv)
                dbg("gatesim: deny: nopriv\n");
            r = priv ? send_ack(c) : send_deny(c, proto::deny_nopriv);
            break;
        case proto::packettype_gpio_get:
            dbg("gatesim: packettype_gpio_get (not impl.)\n");
            if (!priv)
                dbg("gatesim: deny: nopriv\n");
            r = priv ? send_msg(c, proto::build_gpio_state(0)) : send_deny(c, proto::deny_nopriv);
            break;
        case proto::packettype_front_state:
            r = on_front(c, type, 1);
            break;
        case proto::packettype_front_frames:
            r = on_front(c, type, static_cast<int>(proto::front_frames_size));
            break;
        case proto::packettype_extproto:
            r = on_extproto(c);
            break;
        default:
            dbg("gatesim: unhandled req: %d\n", static_cast<int>(type));
            return 0;
        }
        if (r < 0)
            return 0;
    }
}

int gatesim::on_login(tcpkit::client *c)
{
    dbg("gatesim: packettype_loginreq\n");
    uint8_t body[proto::login_request_size];
    if (server_->Read(c, reinterpret_cast<char *>(body), sizeof body) != static_cast<int>(sizeof body))
        return -1;
    proto::LoginRequest req;
    if (!proto::decode(body, sizeof body, req))
        return -1;
    req.user[proto::name_size - 1] = '\0';
    req.passwd[proto::name_size - 1] = '\0';
    c->address = c->peer;
    c->fixedport = ntohs(c->peer.sin_port);
    dbg("gatesim: packettype_loginreq: user: [%s], fixedport: %d, syncnum: %u\n", req.user, c->fixedport,
        req.syncnum);
    std::memcpy(c->user, req.user, sizeof c->user);

    s_login_req rec;
    int result = proto::deny_unsupported;
    if (auto cb = cb_login_req_.get())
        result = (*cb)(rec, req.user, req.passwd, n_udp::addr2str(c->peer.sin_addr.s_addr));
    if (result != 0) {
        dbg("gatesim: packettype_loginreq: login failed !\n");
        return send_deny(c, result);
    }

    proto::LoginResult res;
    res.priv_level = rec.priv_level;
    res.priv_gpiow = 0;
    res.priv_rctl = 1;
    res.voip_port = rtp_port_.load();
    res.voip_sync_num = c->fixedport;
    res.codec_type = rec.codec_type;
    std::strncpy(res.device_name, rec.device_name.c_str(), sizeof res.device_name - 1);
    bytes::put_le16(res.rtype, static_cast<uint16_t>(rec.rtype0));
    bytes::put_le16(res.rtype + 2, static_cast<uint16_t>(rec.rtype1));
    // The gateway sends its hello packets as soon as it has the result, so
    // its relay entry must exist before then (a failed write ends the
    // connection, and the disconnect removes the entry again).
    rtp_user_add(c->peer.sin_addr.s_addr, c->fixedport, static_cast<int>(req.syncnum));
    // Events go on together with the result: holding the write lock keeps the
    // writer thread from sending one ahead of it, and none raised after the
    // gateway has its result is lost.
    std::lock_guard<std::recursive_mutex> hold(c->write_lock);
    c->gpio_mask = 0;
    c->remote_control = 1;
    c->privilege = rec.priv_level;
    c->logged_in = true;
    int not_logged_in = 1;
    c->async_state.compare_exchange_strong(not_logged_in, 0);
    return send_msg(c, proto::build_login_result(res));
}

int gatesim::on_setptt(tcpkit::client *c)
{
    dbg("gatesim: packettype_setptt\n");
    uint8_t value[4];
    if (server_->Read(c, reinterpret_cast<char *>(value), 4) != 4)
        return -1;
    if (c->privilege.load() < 1) {
        dbg("gatesim: deny: nopriv\n");
        return send_deny(c, proto::deny_nopriv);
    }
    int ptt = static_cast<int32_t>(bytes::get_le32(value));
    dbg("gatesim: packettype_setptt: ptt: %d\n", ptt);
    auto cb = cb_set_ptt_.get();
    if (!cb)
        return send_deny(c, proto::deny_no_ptt_handler);
    // The slot is the site's: a member of the host's own keeps it until it
    // lets go (checked again when the slot is taken, below).
    if (ptt == 1 && member_talks()) {
        dbg("gatesim: packettype_setptt: a member talks\n");
        return send_deny(c, deny_talker_busy);
    }
    int r = (*cb)(ptt);
    if (r != 0)
        return send_deny(c, r);
    return binary_ptt(c, ptt) == 0 ? send_ack(c) : send_deny(c, deny_talker_busy);
}

int gatesim::on_front(tcpkit::client *c, uint32_t type, int len)
{
    uint8_t body[proto::front_frames_size];
    if (server_->Read(c, reinterpret_cast<char *>(body), len) != len)
        return -1;
    if (type == proto::packettype_front_state) {
        dbg("gatesim: packettype_front_state: %u\n", body[0]);
    } else {
        proto::FrontFrames f;
        proto::decode(body, static_cast<size_t>(len), f);
        dbg("gatesim: packettype_front_frames: len: %u, mode: %u\n", f.len1, f.mode);
    }
    // Head traffic from a connection that has not logged in stays here.
    if (c->privilege.load() < 1) {
        dbg("gatesim: deny: nopriv\n");
        return 0;
    }
    if (auto cb = cb_front_.get())
        (*cb)(type, body, len);
    return 0;
}

int gatesim::on_extproto(tcpkit::client *c)
{
    dbg("gatesim: packettype_extproto\n");
    uint8_t head[proto::ext_header_size];
    if (server_->Read(c, reinterpret_cast<char *>(head), sizeof head) != static_cast<int>(sizeof head))
        return -1;
    proto::ExtHeader h;
    proto::decode(head, sizeof head, h);
    if (h.len > proto::server_max_ext_len)
        return -1;
    std::vector<uint8_t> payload(h.len);
    if (h.len > 0 && server_->Read(c, reinterpret_cast<char *>(payload.data()), static_cast<int>(h.len)) !=
                         static_cast<int>(h.len))
        return -1;
    // The blocked list comes from every gateway that logged in, whatever its
    // level.
    const bool open_to_all =
        h.req == proto::packettype_disable_async || (h.req == proto::ext_sbl && c->logged_in.load());
    if (!open_to_all && c->privilege.load() < 1) {
        dbg("gatesim: deny: nopriv\n");
        return send_deny(c, proto::deny_nopriv);
    }
    dbg("gatesim: packettype_extproto: req: %u, rsv: %u, len: %u\n", h.req, h.rsv, h.len);
    return tcp_extproto(c, h.req, h.rsv, payload.data(), h.len);
}

int gatesim::tcp_extproto(tcpkit::client *c, uint32_t req, uint32_t, const uint8_t *payload, uint32_t len)
{
    switch (req) {
    case proto::packettype_disable_async:
        dbg("gatesim: extproto: packettype_disable_async\n");
        c->async_state = 2;
        return send_ack(c);
    case proto::packettype_polar_status_req:
        dbg("gatesim: extproto: packettype_polar_status_req\n");
        return 0;
    case proto::packettype_xml_status_req:
        dbg("gatesim: extproto: packettype_xml_status_req\n");
        if (auto cb = cb_xml_status_req_.get())
            (*cb)();
        return 0;
    case proto::packettype_xml_action: {
        dbg("gatesim: extproto: packettype_xml_action\n");
        proto::XmlText x;
        if (!proto::decode_xml_text(payload, len, x))
            return -1;
        dbg("gatesim: extproto: packettype_xml_action: [%s]\n", x.text.c_str());
        auto cb = cb_xml_action_.get();
        unsigned a = x.a, b = x.b;
        int r = cb ? (*cb)(a, b, x.text) : static_cast<int>(proto::deny_unsupported);
        if (r != 0) {
            dbg("gatesim: extproto: packettype_xml_action: deny: %d\n", r);
            return send_deny(c, r);
        }
        auto result = proto::build_xml_action_result_payload(a, b);
        if (send_msg(c, proto::build_ext(proto::ext_xml_action_result, result.data(), result.size())) < 0)
            return -1;
        dbg("gatesim: extproto: packettype_xml_action: ok\n");
        return 0;
    }
    case proto::ext_dm_status_req:
    case proto::ext_dm_button: {
        auto cb = cb_dm3000_req_.get();
        if (!cb || (req == proto::ext_dm_button && len != proto::dm_button_payload_size)) {
            dbg("gatesim: extproto: unhandled req: %d\n", static_cast<int>(req));
            return send_deny(c, proto::deny_unsupported);
        }
        dbg("gatesim: extproto: dm3000 request %u\n", req);
        (*cb)(req, payload, static_cast<int>(len));
        return 0;
    }
    case proto::ext_sbl:
        dbg("gatesim: extproto: packettype_sbl\n");
        return on_blocked_list(c, payload, len);
    default:
        dbg("gatesim: extproto: unhandled req: %d\n", static_cast<int>(req));
        return send_deny(c, proto::deny_unsupported);
    }
}

int gatesim::on_blocked_list(tcpkit::client *c, const uint8_t *payload, uint32_t len)
{
    // Whole items only, and no more than a gateway's list holds.
    if (len % proto::blocked_item_size != 0 || len > proto::blocked_max_items * proto::blocked_item_size) {
        dbg("gatesim: extproto: packettype_sbl: bad length %u\n", len);
        return send_deny(c, proto::deny_unsupported);
    }
    std::vector<std::string> names;
    for (uint32_t off = 0; off < len; off += proto::blocked_item_size) {
        // The name field may fill all 32 bytes without a terminator.
        const char *name = reinterpret_cast<const char *>(payload + off + 4);
        names.emplace_back(name, strnlen(name, proto::name_size));
        dbg("gatesim: extproto: packettype_sbl: item: [%s]\n", names.back().c_str());
    }
    if (auto cb = cb_blocked_list_.get())
        (*cb)(std::string(c->user, strnlen(c->user, sizeof c->user)), names);
    return send_ack(c);
}

int gatesim::tcp_disconnect(tcpkit::client *c)
{
    dbg("gatesim: tcp_disconnect()\n");
    std::lock_guard<std::recursive_mutex> g(users_lock_);
    bool talked = !talker_is_member_ && talker_.key == c->fixedport && c->fixedport != 0 &&
                  talker_.address == c->address.sin_addr.s_addr;
    rtp_user_del(c->address.sin_addr.s_addr, c->fixedport);
    if (talked)
        talker_changed(0, c->user);
    return 0;
}
