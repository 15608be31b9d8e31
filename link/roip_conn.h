// class_roip_conn: the gateway's end of the binary RoIP protocol. One
// connection thread connects, logs in, reads and dispatches everything the
// server sends to the listener, and reconnects forever; the send operations
// may be called from any thread.
#pragma once

#include "link/server_choice.h"
#include "wire/roip_proto.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class c_connection;
class c_connection_tcp;
class class_control;

class class_roip_conn
{
  public:
    // The transport is TLS when crypto_mode is non-zero, plain TCP otherwise;
    // both with 15 s time-outs. user and passwd are copied with a 32-byte
    // bound. Nothing starts until start() and go(). With a backup server the
    // link moves between the two as ServerChoice decides.
    class_roip_conn(class_control *listener, const char *address, int port, const char *user,
                    const char *passwd, int voice_port, int crypto_mode, const BackupServer &backup = {});

    class_roip_conn(const class_roip_conn &) = delete;
    class_roip_conn &operator=(const class_roip_conn &) = delete;

  protected:
    virtual int read_exact(void *buf, int len);
    virtual int write_all(const void *buf, int len);
    virtual void run();
    virtual int on_event(uint32_t type);
    virtual int on_response(uint32_t type);
    virtual int on_extproto();
    virtual int connect();
    virtual int login();
    virtual int send_blocked_list();

  public:
    // Stops the connection thread (without further callbacks) and joins it.
    virtual ~class_roip_conn();
    virtual int disconnect();
    // Creates the connection thread, which waits for go(). -1 if already started.
    virtual int start();

  protected:
    virtual int send_crypto_request(uint32_t value);

  public:
    // Senders: -1 without writing anything unless logged in; a failed write
    // disconnects (the connection thread then reconnects).
    virtual int setptt(int ptt);
    virtual int unlocksql(int value);
    virtual int send_short(uint32_t type, uint32_t value);
    virtual int serial_senddata(uint8_t serial_id, const uint8_t *data, uint16_t len, int kind);
    virtual int send_front_state(uint8_t value);
    virtual int send_front_frames(const uint8_t *frame1, const uint8_t *frame2, int len, uint32_t mode);
    virtual int send_dm_button(uint8_t key, uint8_t second, uint32_t mode);
    virtual int send_dm_status_request();
    virtual bool is_logged_in();
    // Opens the start gate once.
    virtual void go();

    // What the owner passed in, kept for it.
    int server_port() const { return m_port; }
    int voice_port() const { return m_voice_port; }
    // The server of the running session, or the one being tried.
    ServerAddress server_in_use();

  protected:
    virtual int on_tunnel_ext(const uint8_t *data, int n);
    virtual int on_dm_status(const uint8_t *payload, int len);

  private:
    // Reads one fixed-size record of N bytes and decodes it; -1 on either failure.
    template <size_t N, typename Record> int read_record(Record &record)
    {
        uint8_t b[N];
        if (read_exact(b, static_cast<int>(N)) < 0)
            return -1;
        return proto::decode(b, N, record) ? 0 : -1;
    }
    // ptt: the PTT state the message requests, -1 for any other message.
    int send_logged_in(const proto::Bytes &msg, int ptt = -1);
    // ServerChoice's hooks: a login to the main server on a connection of
    // its own, and leaving the backup's session (its PTT released first).
    bool probe_login(const ServerAddress &server);
    void leave_session();
    // Waits up to `seconds` unless stopped; false once stopped.
    bool pause(int seconds);

    class_control *m_listener;
    std::atomic<int> m_connected{-1}; // -1 never, 1 transport connected, 0 disconnected
    std::thread m_thread;
    std::mutex m_state_lock;
    std::mutex m_send_lock;
    // Start gate (a counting semaphore) and the stop request share one lock.
    std::mutex m_gate_lock;
    std::condition_variable m_gate_cv;
    unsigned m_gate = 0;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_logged_in{false};
    c_connection *m_conn;
    // The same transport, for pointing it at the server of each attempt.
    c_connection_tcp *m_transport;
    // Whether the last PTT request this session carried keyed the radio.
    std::atomic<bool> m_ptt_keyed{false};
    // The probe's own transport; only with a backup server.
    std::unique_ptr<c_connection_tcp> m_probe;
    std::unique_ptr<ServerChoice> m_choice;
    uint32_t m_addr;
    int m_port;
    char m_user[proto::name_size];
    char m_passwd[proto::name_size];
    int m_voice_port;
    int m_crypto_mode;
    proto::VersionInfo m_version;
    proto::LoginResult m_login;
    // Tunnel data: the largest 16-bit length.
    std::vector<uint8_t> m_tunnel;
};
