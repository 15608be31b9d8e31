// gatesim: the emulator behind the libgatesim interface. The protocol handler
// runs on each gateway's processing thread (tcp_process); the voice relay has a
// receive thread and a keep-alive thread sharing the RTP user list.
#pragma once

#include "gatesim/libgatesim.h"
#include "gatesim/tcp_server.h"
#include "gatesim/waker.h"

#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <pthread.h>
#include <vector>

// A host callback that may be replaced while library threads call it: callers
// take a reference-counted copy, so a replacement never frees a running one.
template <typename F> class cb_slot
{
  public:
    void set(F f)
    {
        auto p = f ? std::make_shared<const F>(std::move(f)) : nullptr;
        std::lock_guard<std::mutex> g(lock_);
        fn_ = std::move(p);
    }
    std::shared_ptr<const F> get() const
    {
        std::lock_guard<std::mutex> g(lock_);
        return fn_;
    }

  private:
    mutable std::mutex lock_;
    std::shared_ptr<const F> fn_;
};

class gatesim : public libgatesim
{
  public:
    static constexpr int rtp_packet_size = 172;
    static constexpr int rtp_payload_size = 160;
    static constexpr int keepalive_ms = 5000;

    gatesim();
    ~gatesim() override;

    void set_cb_info_ver(cb_info_ver cb) override { cb_info_ver_.set(std::move(cb)); }
    void set_cb_login_req(cb_login_req cb) override { cb_login_req_.set(std::move(cb)); }
    void set_cb_set_ptt(cb_set_ptt cb) override { cb_set_ptt_.set(std::move(cb)); }
    void set_cb_xml_status_req(cb_xml_status_req cb) override { cb_xml_status_req_.set(std::move(cb)); }
    void set_cb_xml_action(cb_xml_action cb) override { cb_xml_action_.set(std::move(cb)); }
    void set_cb_rtp_recv(cb_rtp_recv cb) override { cb_rtp_recv_.set(std::move(cb)); }
    void set_dbg(bool on) override { dbg_ = on; }
    int init(const char *bind_address, int tcp_port, int max_clients, int rtp_port) override;
    int async_unlock_sql(int sql) override;
    int async_gpio_changed(unsigned bitmap, unsigned mask) override;
    int async_ext_xml_status(const std::string &xml) override;
    int async_ext_raw(int type, const unsigned char *data, int len) override;
    int async_polar_status(const std::string &name, const std::string &text, unsigned value1,
                           unsigned value2) override;
    int rtp_send(unsigned char *payload, int len, int payload_type) override;
    void set_cb_front(cb_front cb) override { cb_front_.set(std::move(cb)); }
    int async_serial_data(int channel, const unsigned char *data, int len) override;
    void set_cb_dm3000_req(cb_dm3000_req cb) override { cb_dm3000_req_.set(std::move(cb)); }
    int async_dm3000_status(unsigned a, unsigned char b, const unsigned char *data, int len) override;
    void set_cb_talker(cb_talker cb) override { cb_talker_.set(std::move(cb)); }
    int rtp_member_add(const std::string &address) override;
    int rtp_member_del(const std::string &address, int key) override;
    int talker_take(const std::string &address, int key, const std::string &user) override;
    int talker_free(const std::string &address, int key, const std::string &user) override;

    // A binary gateway's PTT on while a host member talks.
    static constexpr int deny_talker_busy = 4;
    // Member keys start above every TCP port, the binary gateways' keys.
    static constexpr int first_member_key = 65536;
    void set_cb_blocked_list(cb_blocked_list cb) override { cb_blocked_list_.set(std::move(cb)); }

    // The TCP server's callbacks: one connection's whole dialogue, and what
    // is left to do once it has ended.
    int tcp_process(tcpkit::client *c);
    int tcp_disconnect(tcpkit::client *c);

  private:
    struct rtp_user {
        uint32_t address = 0; // network order
        int port = 0;         // host order; 0 = not synced yet
        int key = 0;          // the gateway's TCP source port
    };

    int tcp_extproto(tcpkit::client *c, uint32_t req, uint32_t rsv, const uint8_t *payload, uint32_t len);
    int process_loop(tcpkit::client *c);
    int on_login(tcpkit::client *c);
    int on_setptt(tcpkit::client *c);
    int on_front(tcpkit::client *c, uint32_t type, int len);
    int on_extproto(tcpkit::client *c);
    int on_blocked_list(tcpkit::client *c, const uint8_t *payload, uint32_t len);
    int send_msg(tcpkit::client *c, const std::vector<uint8_t> &msg);
    int send_ack(tcpkit::client *c);
    int send_deny(tcpkit::client *c, int reason);
    int send_resp(tcpkit::client *c, int value);
    int async_set_ptt(tcpkit::client *c, int ptt);
    int binary_ptt(tcpkit::client *c, int ptt);
    bool member_talks();
    void talker_changed(int ptt, const std::string &user);
    int broadcast(const std::vector<uint8_t> &msg, bool urgent);

    void rtp_user_add(uint32_t address, int key, int port);
    void rtp_user_del(uint32_t address, int key);
    int rtp_user_ptt(uint32_t address, int key);
    void rtp_thr();
    void rtp_thr_keepalive();
    void rtp_datagram(const uint8_t *packet, int len, uint32_t address, int port);
    static void *_rtp_thr(void *self);
    static void *_rtp_thr_keepalive(void *self);

    void dbg(const char *fmt, ...) const __attribute__((format(printf, 2, 3)));

    std::recursive_mutex users_lock_;
    std::atomic<bool> dbg_{false};
    std::unique_ptr<tcpkit::TcpServer> server_;
    cb_slot<cb_info_ver> cb_info_ver_;
    cb_slot<cb_login_req> cb_login_req_;
    cb_slot<cb_set_ptt> cb_set_ptt_;
    cb_slot<cb_xml_status_req> cb_xml_status_req_;
    cb_slot<cb_xml_action> cb_xml_action_;
    cb_slot<cb_rtp_recv> cb_rtp_recv_;
    cb_slot<cb_front> cb_front_;
    cb_slot<cb_dm3000_req> cb_dm3000_req_;
    cb_slot<cb_talker> cb_talker_;
    cb_slot<cb_blocked_list> cb_blocked_list_;
    pthread_t rtp_thread_{};
    pthread_t keepalive_thread_{};
    bool rtp_threads_running_ = false;
    std::atomic<int> rtp_port_{0};
    int udp_ = -1;
    std::list<rtp_user> users_;
    rtp_user talker_;
    bool talker_is_member_ = false; // the slot is held by one of the host's members
    int next_member_key_ = first_member_key;
    uint8_t rtp_header_[12] = {};
    gatesim_detail::Waker stop_;
    std::mutex init_lock_;
    bool initialized_ = false;
};
