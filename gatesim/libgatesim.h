// libgatesim: the server's end of the gateway's binary control protocol, with a
// voice relay between the logged-in gateways and the host program.
//
// The host creates the object, installs its callbacks, calls init() once, and
// then raises asynchronous events from any thread. Callbacks run on library
// threads (one per connected gateway, plus the voice relay thread) and must be
// thread-safe; every pointer, reference and string they receive is valid only
// during the call. A gateway's callbacks run on a thread with a 1 MiB stack,
// the relay's on one with 256 KiB. Destroying the object stops every library
// thread and closes every socket.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#define LIBGATESIM_API __attribute__((visibility("default")))

class LIBGATESIM_API libgatesim
{
  public:
    struct s_info_ver {
        unsigned short proto_major = 0;
        unsigned short proto_minor = 0;
        unsigned short config_major = 0;
        unsigned short config_minor = 0;
        unsigned short fw_major = 0;
        unsigned short fw_minor = 0;
        unsigned int build = 0;
    };

    struct s_login_req {
        int codec_type = 0; // 1 A-law, 2 GSM, 3 Speex
        int rtype0 = 0;
        int rtype1 = 0;
        int priv_level = 0; // below 1: the login may not key or control
        std::string device_name;
    };

    // Fills the version info sent to every new connection; result ignored.
    using cb_info_ver = std::function<int(s_info_ver &)>;
    // 0 accepts the login (fill the record); any other value is the DENY reason.
    using cb_login_req = std::function<int(s_login_req &, const std::string &user,
                                           const std::string &password, const std::string &peer_address)>;
    // 0 accepts the PTT change; any other value is the DENY reason.
    using cb_set_ptt = std::function<int(int ptt)>;
    using cb_xml_status_req = std::function<int()>;
    // May change a and b; 0 answers with them, any other value is the DENY reason.
    using cb_xml_action = std::function<int(unsigned &a, unsigned &b, const std::string &text)>;
    // Every voice packet of the current talker (header included). Runs with the
    // relay's lock held: it may call rtp_send but must not block.
    using cb_rtp_recv = std::function<int(unsigned char *packet, int len)>;
    // Front-panel traffic of a GM360 gateway: type 205 (1-byte body) and type
    // 207 (140-byte key frames record). Result ignored; nothing is answered.
    using cb_front = std::function<int(unsigned type, const unsigned char *body, int len)>;

    virtual void set_cb_info_ver(cb_info_ver cb) = 0;
    virtual void set_cb_login_req(cb_login_req cb) = 0;
    virtual void set_cb_set_ptt(cb_set_ptt cb) = 0;
    virtual void set_cb_xml_status_req(cb_xml_status_req cb) = 0;
    virtual void set_cb_xml_action(cb_xml_action cb) = 0;
    virtual void set_cb_rtp_recv(cb_rtp_recv cb) = 0;
    virtual ~libgatesim();
    virtual void set_dbg(bool on) = 0;
    // Serves gateways on bind_address:tcp_port; relays voice on rtp_port when
    // it is above 0. Needs the version and login callbacks. 0 or -1.
    virtual int init(const char *bind_address, int tcp_port, int max_clients, int rtp_port) = 0;

    // Asynchronous events, queued for every logged-in gateway with events on.
    // They return 0, or -1 when the message cannot be framed.
    virtual int async_unlock_sql(int sql) = 0;
    virtual int async_gpio_changed(unsigned bitmap, unsigned mask) = 0;
    virtual int async_ext_xml_status(const std::string &xml) = 0;                // at most 65511 bytes
    virtual int async_ext_raw(int type, const unsigned char *data, int len) = 0; // at most 65523 bytes
    virtual int async_polar_status(const std::string &name, const std::string &text, unsigned value1,
                                   unsigned value2) = 0;
    // One 160-byte voice frame: to the talker while one talks, else to every
    // synced gateway. Returns the number of datagrams sent, or -1.
    virtual int rtp_send(unsigned char *payload, int len, int payload_type) = 0;

    virtual void set_cb_front(cb_front cb) = 0;
    // Serial data on a head channel (0 = the radio's serial line), e.g. the
    // radio's display frames for GM360 heads; at most 65535 bytes.
    virtual int async_serial_data(int channel, const unsigned char *data, int len) = 0;

    // DM3000 heads. Extended requests 2001 (display status request, no
    // payload) and 2002 (button: key code, second code, u32 mode; 6 bytes)
    // from logged-in gateways go to this callback and nothing is answered;
    // without it they are refused with DENY 2. A 2002 of another length is
    // refused with DENY 2 and not handed over. Result ignored.
    using cb_dm3000_req = std::function<int(unsigned req, const unsigned char *payload, int len)>;
    virtual void set_cb_dm3000_req(cb_dm3000_req cb) = 0;
    // A DM3000 status record (tunnelled extended 2003): value a, the byte b
    // (the gateway takes it as the display flags) and the status data (the
    // packed 132 x 32 display image, 528 bytes); at most 65514 bytes of data.
    virtual int async_dm3000_status(unsigned a, unsigned char b, const unsigned char *data, int len) = 0;

    // ---- Gateways the host serves itself (on another protocol) as members of
    // the same site: they share the voice relay and the one talker slot. ----
    // Every change of the talker slot, whoever made it: ptt 1 with the new
    // talker's user name, ptt 0 with the releasing one's (also when a talking
    // gateway disconnects). Runs with the relay's lock held, in the order of
    // the changes: it must not block, and must not wait for a thread that
    // calls into the library. Result ignored.
    using cb_talker = std::function<int(int ptt, const std::string &user)>;
    virtual void set_cb_talker(cb_talker cb) = 0;
    // A new relay member at `address` (dotted IPv4): it syncs like a gateway,
    // with a hello packet carrying the returned key (above 65535, so it never
    // equals a binary gateway's), then hears the talker and the host's voice.
    // Members exist without a relay too (rtp_port 0), for the talker slot.
    // The key, or -1 for a bad address.
    virtual int rtp_member_add(const std::string &address) = 0;
    // Removes the member; a talker slot it held is freed without events. 0,
    // or -1 when there is no such member.
    virtual int rtp_member_del(const std::string &address, int key) = 0;
    // Takes the site's talker slot for a member: 0 taken (or already held by
    // it), -1 another gateway talks, -2 no such member. On success every
    // gateway gets event 501 with `user` and the talker callback runs. While a
    // member holds the slot, a binary gateway's PTT on is refused with DENY 4
    // and its PTT off changes nothing.
    virtual int talker_take(const std::string &address, int key, const std::string &user) = 0;
    // Frees the slot when the member holds it (event 501 and the talker
    // callback as above): 0, or -1 when it does not hold it.
    virtual int talker_free(const std::string &address, int key, const std::string &user) = 0;

    // The blocked-user list a gateway uploads right after its login when the
    // version info announces protocol 1.6 or later: the user it logged in as
    // and the names in the order of its list. Result ignored; the upload is
    // acknowledged whether or not a callback is set.
    using cb_blocked_list =
        std::function<int(const std::string &user, const std::vector<std::string> &names)>;
    virtual void set_cb_blocked_list(cb_blocked_list cb) = 0;

    // A new emulator: debug output off, nothing started.
    static std::shared_ptr<libgatesim> create();
};
