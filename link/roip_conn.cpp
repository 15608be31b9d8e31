#include "link/roip_conn.h"

#include "base/byteorder.h"
#include "gateway/config_files.h"
#include "interfaces/control.h"
#include "link/connection_ssl.h"
#include "link/connection_tcp.h"
#include "status/live_status.h"

#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

constexpr int socket_timeout = 15;
constexpr int retry_pause = 3;

void copy_name(char (&dst)[proto::name_size], const char *src)
{
    std::memset(dst, 0, sizeof dst);
    if (src)
        std::memcpy(dst, src, strnlen(src, sizeof dst));
}

c_connection_tcp *new_transport(const char *address, int port, int crypto_mode)
{
    if (crypto_mode != 0)
        return new c_connection_ssl(address, port, socket_timeout, -1);
    return new c_connection_tcp(address, port, socket_timeout, -1);
}

} // namespace

class_roip_conn::class_roip_conn(class_control *listener, const char *address, int port, const char *user,
                                 const char *passwd, int voice_port, int crypto_mode,
                                 const BackupServer &backup)
    : m_listener(listener), m_addr(inet_addr(address ? address : "")), m_port(port), m_voice_port(voice_port),
      m_crypto_mode(crypto_mode), m_tunnel(proto::tunnel_max_data)
{
    copy_name(m_user, user);
    copy_name(m_passwd, passwd);
    m_transport = new_transport(address, port, crypto_mode);
    m_conn = m_transport;
    ServerChoice::Hooks hooks;
    if (backup.addr != 0) {
        m_probe.reset(new_transport(address, port, crypto_mode));
        hooks.probe = [this](const ServerAddress &server) { return probe_login(server); };
        hooks.abort_probe = [this] { m_probe->close(); };
        hooks.leave_backup = [this] { leave_session(); };
    }
    m_choice = std::make_unique<ServerChoice>(address ? address : "", port, backup, std::move(hooks));
}

class_roip_conn::~class_roip_conn()
{
    {
        std::lock_guard<std::mutex> lock(m_gate_lock);
        m_stop = true;
    }
    m_gate_cv.notify_all();
    // No probe runs or starts after this; the connection thread may still
    // ask the choice until it is joined below.
    m_choice->stop();
    // Makes a pending read, write or connect on the connection thread fail.
    m_conn->close();
    m_connected = 0;
    if (m_thread.joinable())
        m_thread.join();
    delete m_conn;
}

int class_roip_conn::read_exact(void *buf, int len)
{
    return m_conn->read(buf, len) == len ? len : -1;
}

int class_roip_conn::write_all(const void *buf, int len)
{
    return m_conn->write(buf, len) < 0 ? -1 : 0;
}

int class_roip_conn::connect()
{
    if (m_conn->connect() < 0)
        return -1;
    m_connected = 1;
    return 0;
}

int class_roip_conn::disconnect()
{
    m_conn->close();
    m_connected = 0;
    return 0;
}

int class_roip_conn::start()
{
    if (m_thread.joinable())
        return -1;
    try {
        m_thread = std::thread([this] { run(); });
    } catch (...) {
        return -1;
    }
    return 0;
}

void class_roip_conn::go()
{
    {
        std::lock_guard<std::mutex> lock(m_gate_lock);
        ++m_gate;
    }
    m_gate_cv.notify_all();
}

bool class_roip_conn::pause(int seconds)
{
    std::unique_lock<std::mutex> lock(m_gate_lock);
    m_gate_cv.wait_for(lock, std::chrono::seconds(seconds), [this] { return m_stop.load(); });
    return !m_stop;
}

bool class_roip_conn::is_logged_in()
{
    return m_logged_in;
}

void class_roip_conn::run()
{
    {
        std::unique_lock<std::mutex> lock(m_gate_lock);
        m_gate_cv.wait(lock, [this] { return m_gate > 0 || m_stop; });
        if (m_stop)
            return;
        --m_gate;
    }

    while (!m_stop) {
        const ServerAddress server = m_choice->next();
        {
            std::lock_guard<std::mutex> lock(m_state_lock);
            m_transport->set_peer(server.addr, server.port);
        }
        puts("conn    : connecting ..");
        gw_status::note_connecting(server.addr, static_cast<uint32_t>(server.port), server.backup);
        // The stop check after connect closes the window in which the
        // destructor's close() ran before the new socket existed.
        if (connect() == 0 && !m_stop) {
            puts("roip_conn : connected, logging in ..");
            gw_status::note_connected();
            if (login() == 0 && !m_stop) {
                {
                    std::lock_guard<std::mutex> lock(m_state_lock);
                    m_ptt_keyed = false;
                    m_logged_in = true;
                }
                m_choice->logged_in();
                gw_status::note_logged_in();
                if (m_listener)
                    m_listener->cb_conn_connected(server.addr, &m_version, &m_login);

                for (;;) {
                    uint8_t w[4];
                    if (read_exact(w, 4) < 0)
                        break;
                    uint32_t type = bytes::get_le32(w);
                    int r = proto::is_event(type) ? on_event(type) : on_response(type);
                    if (r < 0)
                        break;
                }
                {
                    std::lock_guard<std::mutex> lock(m_state_lock);
                    m_logged_in = false;
                    disconnect();
                }
                m_choice->session_ended();
                gw_status::note_link_down();
                if (m_stop)
                    return;
                if (m_listener)
                    m_listener->cb_conn_disconnected();
                continue;
            }
        }
        gw_status::note_link_down();
        if (m_stop)
            return;
        puts("conn    : failed.");
        // A switch to the other server is tried at once.
        if (m_choice->attempt_failed())
            continue;
        if (!pause(retry_pause))
            return;
    }
}

int class_roip_conn::login()
{
    uint8_t vi[4 + proto::version_info_size];
    if (read_exact(vi, sizeof vi) < 0)
        return -1;
    // The first word is not checked: servers differ in what they put there.
    proto::decode(vi + 4, proto::version_info_size, m_version);
    printf("ver_proto:\t%u:%u\n", proto::version_major(m_version.ver_proto),
           proto::version_minor(m_version.ver_proto));
    printf("ver_config:\t%u:%u\n", proto::version_major(m_version.ver_config),
           proto::version_minor(m_version.ver_config));
    printf("ver_fw:\t\t%u:%u\n", proto::version_major(m_version.ver_fw),
           proto::version_minor(m_version.ver_fw));
    printf("build:\t\t%u\n", m_version.build);
    puts("");

    proto::Bytes req = proto::build_login_request(m_user, m_passwd, 0);
    if (write_all(req.data(), static_cast<int>(req.size())) < 0)
        return -1;

    uint8_t w[4];
    if (read_exact(w, 4) < 0 || bytes::get_le32(w) != proto::packettype_loginres)
        return -1;
    if (read_record<proto::login_result_size>(m_login) < 0)
        return -1;
    printf("Priv.level:\t%d\n", m_login.priv_level);
    printf("Priv.gpiow:\t%X\n", m_login.priv_gpiow);
    printf("Priv.rctl:\t%u\n", m_login.priv_rctl);
    printf("VoipPort:\t%d\n", m_login.voip_port);
    printf("VoipSyncNum:\t%d\n", m_login.voip_sync_num);
    printf("CodecType:\t%d\n", m_login.codec_type);
    printf("DeviceName:\t%s\n", m_login.device_name);
    printf("rtype[0][1]\t0x%2.2X 0x%2.2X\n", m_login.rtype[0], m_login.rtype[1]);
    puts("");

    if (proto::version_major(m_version.ver_proto) != 0 && proto::version_minor(m_version.ver_proto) > 5) {
        if (send_blocked_list() < 0)
            return -1;
    }

    // Voice encryption stays off until the server sends a key.
    if (m_listener)
        m_listener->cb_update_crypto(nullptr, 0, 0);

    if (m_crypto_mode == 2) {
        if (proto::version_major(m_version.ver_fw) > 1 && proto::version_minor(m_version.ver_fw) > 22)
            return send_crypto_request(1);
        puts("conn : RoIP firmware version is too low for RTP encryption !");
        return -1;
    }
    return 0;
}

int class_roip_conn::send_blocked_list()
{
    std::unique_ptr<config_files::blocked_items> file(new config_files::blocked_items);
    config_files::read_blocked(*file);
    if (file->status == config_files::blocked_items::cannot_open) {
        puts("conn : sbl : cannot open config file");
        return 0;
    }
    if (file->status == config_files::blocked_items::bad_size) {
        printf("conn : sbl : invalid config file size (%u)\n", static_cast<unsigned>(file->size));
        return 0;
    }
    const uint8_t *items = file->data;
    const size_t size = file->count * proto::blocked_item_size;

    // One write for header and items: separate small writes would wait for
    // the server's delayed acknowledgements.
    proto::Bytes msg = proto::build_ext(proto::ext_sbl, items, size);
    for (size_t off = 0; off < size; off += proto::blocked_item_size) {
        // The name field may fill all 32 bytes without a terminator.
        printf("conn : sbl : sending item : %.32s\n", reinterpret_cast<const char *>(items + off + 4));
    }
    if (write_all(msg.data(), static_cast<int>(msg.size())) < 0)
        return -1;
    uint8_t w[4];
    if (read_exact(w, 4) < 0 || bytes::get_le32(w) != proto::packettype_ack)
        return -1;
    return 0;
}

int class_roip_conn::send_crypto_request(uint32_t value)
{
    proto::Bytes msg = proto::build_crypto_request(value);
    return write_all(msg.data(), static_cast<int>(msg.size()));
}

int class_roip_conn::on_response(uint32_t type)
{
    switch (type) {
    case proto::packettype_deny: {
        uint8_t r[4];
        if (read_exact(r, 4) < 0)
            return -1;
        printf("conn    : received DENY, reason %d\n", static_cast<int32_t>(bytes::get_le32(r)));
        return 0;
    }
    case proto::packettype_ack:
        puts("conn    : received ACK");
        return 0;
    case proto::packettype_extproto:
        puts("conn    : received packettype_extproto");
        return on_extproto();
    default:
        puts("conn    : received UNKNOWN, resetting connection to recover ..");
        return -1;
    }
}

int class_roip_conn::on_extproto()
{
    proto::ExtHeader eh;
    if (read_record<proto::ext_header_size>(eh) < 0)
        return -1;
    if (eh.len != proto::crypto_key_payload_size || eh.req != proto::ext_crypto_key)
        return -1;
    uint8_t p[proto::crypto_key_payload_size];
    if (read_exact(p, sizeof p) < 0)
        return -1;
    proto::CryptoKey key;
    if (!proto::decode_crypto_key(p, sizeof p, key))
        return -1;
    if (m_listener)
        m_listener->cb_update_crypto(key.key, static_cast<int>(key.key_len), static_cast<int>(key.mode));
    return 0;
}

int class_roip_conn::on_event(uint32_t type)
{
    switch (type) {
    case proto::packettype_async_setptt: {
        proto::AsyncSetPtt e;
        if (read_record<proto::async_setptt_size>(e) < 0)
            return -1;
        gw_status::put(gw_status::live().remote_ptt, e.ptt != 0);
        if (m_listener)
            m_listener->cb_async_setptt(e.ptt, e.login);
        return 0;
    }
    case proto::packettype_async_gpiochanged: {
        proto::GpioChanged e;
        if (read_record<proto::gpio_changed_size>(e) < 0)
            return -1;
        if (m_listener)
            m_listener->cb_async_gpiochanged(e.bitmap, e.mask);
        return 0;
    }
    case proto::packettype_async_unlocksql: {
        uint8_t b[4];
        if (read_exact(b, sizeof b) < 0)
            return -1;
        gw_status::put(gw_status::live().squelch, bytes::get_le32(b));
        if (m_listener)
            m_listener->cb_async_unlocksql(static_cast<int32_t>(bytes::get_le32(b)));
        return 0;
    }
    case proto::packettype_upgradestatus: {
        proto::UpgradeStatus e;
        if (read_record<proto::upgrade_status_size>(e) < 0)
            return -1;
        if (m_listener)
            m_listener->cb_async_upgradestatus(e.status, e.arg1, e.arg2);
        return 0;
    }
    case proto::packettype_serial_senddata: {
        uint8_t h[proto::tunnel_header_size];
        if (read_exact(h, sizeof h) < 0)
            return -1;
        uint8_t channel = h[0];
        uint16_t n = bytes::get_le16(h + 1);
        if (read_exact(m_tunnel.data(), n) < 0)
            return -1;
        if (channel == proto::tunnel_channel_ext)
            return on_tunnel_ext(m_tunnel.data(), n);
        if (m_listener)
            m_listener->cb_async_serial_senddata(static_cast<int>(channel), m_tunnel.data(), n, 0);
        return 0;
    }
    default:
        printf("event   : unknown (%d) !\n", static_cast<int>(type));
        return -1;
    }
}

int class_roip_conn::on_tunnel_ext(const uint8_t *data, int n)
{
    if (n < 0)
        return -1;
    proto::ExtHeader h;
    const uint8_t *payload = nullptr;
    if (!proto::decode_tunnel_ext(data, static_cast<size_t>(n), h, payload))
        return -1;
    if (h.req != proto::ext_dm_status)
        return 0;
    return on_dm_status(payload, static_cast<int>(h.len));
}

int class_roip_conn::on_dm_status(const uint8_t *payload, int len)
{
    proto::DmStatus s;
    if (len < 0 || !proto::decode_dm_status(payload, static_cast<size_t>(len), s))
        return -1;
    if (m_listener)
        m_listener->cb_async_dm3000_status(s.a, s.b, s.data, static_cast<int>(s.len));
    return 0;
}

// ---- Senders ----

int class_roip_conn::send_logged_in(const proto::Bytes &msg, int ptt)
{
    std::lock_guard<std::mutex> send(m_send_lock);
    std::lock_guard<std::mutex> state(m_state_lock);
    if (m_connected == -1 || !m_logged_in || msg.empty())
        return -1;
    if (write_all(msg.data(), static_cast<int>(msg.size())) < 0) {
        // The connection thread's pending read fails and takes the normal
        // end-of-connection path.
        disconnect();
        return -1;
    }
    if (ptt >= 0)
        m_ptt_keyed = ptt != 0;
    return 0;
}

int class_roip_conn::setptt(int ptt)
{
    printf("conn    : setptt(%d)\n", ptt);
    return send_logged_in(proto::build_setptt(ptt), ptt);
}

ServerAddress class_roip_conn::server_in_use()
{
    return m_choice->in_use();
}

bool class_roip_conn::probe_login(const ServerAddress &server)
{
    if (m_stop)
        return false;
    m_probe->set_peer(server.addr, server.port);
    bool accepted = false;
    if (m_probe->connect() == 0 && !m_stop) {
        uint8_t vi[4 + proto::version_info_size];
        uint8_t w[4];
        uint8_t result[proto::login_result_size];
        proto::VersionInfo version;
        const proto::Bytes req = proto::build_login_request(m_user, m_passwd, 0);
        accepted = m_probe->read(vi, sizeof vi) == static_cast<int>(sizeof vi) &&
                   proto::decode(vi + 4, proto::version_info_size, version) &&
                   m_probe->write(req.data(), static_cast<int>(req.size())) >= 0 &&
                   m_probe->read(w, sizeof w) == static_cast<int>(sizeof w) &&
                   bytes::get_le32(w) == proto::packettype_loginres &&
                   m_probe->read(result, sizeof result) == static_cast<int>(sizeof result);
        // A server the session's own login would refuse is not taken back.
        if (accepted && m_crypto_mode == 2)
            accepted = proto::version_major(version.ver_fw) > 1 && proto::version_minor(version.ver_fw) > 22;
    }
    m_probe->close();
    return accepted;
}

void class_roip_conn::leave_session()
{
    std::lock_guard<std::mutex> send(m_send_lock);
    std::lock_guard<std::mutex> state(m_state_lock);
    if (m_logged_in && m_ptt_keyed) {
        // The server being left must not go on holding the radio keyed.
        printf("conn    : setptt(%d)\n", 0);
        proto::Bytes msg = proto::build_setptt(0);
        write_all(msg.data(), static_cast<int>(msg.size()));
        m_ptt_keyed = false;
    }
    // The connection thread's pending read fails and it asks for the next
    // server.
    disconnect();
}

int class_roip_conn::unlocksql(int value)
{
    return send_logged_in(proto::build_unlocksql(value));
}

int class_roip_conn::send_short(uint32_t type, uint32_t value)
{
    return send_logged_in(proto::build_short(type, value));
}

int class_roip_conn::serial_senddata(uint8_t serial_id, const uint8_t *data, uint16_t len, int kind)
{
    if (len > 0 && !data)
        return -1;
    uint32_t type = kind != 0 ? proto::packettype_serial_senddata2 : proto::packettype_serial_senddata;
    return send_logged_in(proto::build_tunnel(type, serial_id, data, len));
}

int class_roip_conn::send_front_state(uint8_t value)
{
    return send_logged_in(proto::build_front_state(value));
}

int class_roip_conn::send_front_frames(const uint8_t *frame1, const uint8_t *frame2, int len, uint32_t mode)
{
    if (len < 0 || len > static_cast<int>(proto::front_frame_size))
        return -1;
    return send_logged_in(proto::build_front_frames(frame1, frame2, static_cast<size_t>(len), mode));
}

int class_roip_conn::send_dm_button(uint8_t key, uint8_t second, uint32_t mode)
{
    return send_logged_in(proto::build_dm_button(key, second, mode));
}

int class_roip_conn::send_dm_status_request()
{
    return send_logged_in(proto::build_dm_status_request());
}
