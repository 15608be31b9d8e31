// class_roipsrv_conn: the gateway's end of the XML server link. One thread
// keeps a TCP connection to the server, logs in after every connect, answers
// the server's keep-alives itself and hands every other document, as text, to
// the control's callback (with ":connected" and ":disconnected" in between).
#pragma once

#include "link/connection_tcp.h"
#include "link/server_choice.h"

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class class_roipsrv_conn
{
  public:
    using callback_t = std::function<void(const std::string &)>;

    // Copies everything and creates the transport; does not connect. With a
    // backup server the link moves between the two as ServerChoice decides.
    class_roipsrv_conn(callback_t callback, const std::string &host, int port, const std::string &user,
                       const std::string &passwd, int rtp_port, const BackupServer &backup = {});
    class_roipsrv_conn(const class_roipsrv_conn &) = delete;
    class_roipsrv_conn &operator=(const class_roipsrv_conn &) = delete;

    // The connection thread's body.
    virtual void run();
    // Stops the connection thread and joins it; no callback runs after it
    // returns. Not to be called from inside the callback.
    virtual ~class_roipsrv_conn();

    // Starts the connection thread; once per object. 0 or -1.
    int start_thr();
    // Sends one frame (header, then text) when connected. 0 sent, -1 not; a
    // send that failed after part of the frame went out drops the connection
    // (the thread reconnects), one that wrote nothing leaves it up.
    int send_text(const std::string &text);

    // The dispatch key of a received text: ":err", a ":..." notification as
    // it is, "NegResp/REQ", "PosResp/REQ", "XCMPEvent/CHILD", "TEvent/CHILD",
    // "NXEvent/CHILD", or the document element's name.
    static std::string message_key(const std::string &text);

    // The server of the running session (network order), for the voice
    // stream; the main server before the first connect.
    uint32_t server_address();
    // The server of the running session, or the one being tried.
    ServerAddress server_in_use();

  private:
    // Waits up to `seconds` unless stopped; false once stopped.
    bool pause(int seconds);
    // Reads one frame from `from` into `text`; false when the stream is
    // broken or the announced length is too long.
    static bool read_frame(c_connection_tcp &from, std::vector<char> &buf, std::string &text);
    // Header and text; under `mutex`. false when a write failed.
    bool write_frame(const std::string &text);
    void notify(const std::string &text);
    // ServerChoice's hooks: a login to the main server on a connection of
    // its own, and leaving the backup's session (its PTT released first).
    bool probe_login(const ServerAddress &server);
    void leave_session();

    std::mutex mutex;
    std::thread thread;
    int connected = 0;
    std::string host;
    int port;
    std::string user;
    std::string passwd;
    int rtp_port;
    callback_t callback;
    c_connection_tcp conn;
    // Stop request for the destructor and the lock of its interruptible wait.
    std::atomic<bool> stop{false};
    std::mutex stop_mutex;
    std::condition_variable stop_cv;
    std::vector<char> buffer;
    // Under `mutex`: whether the last PTT request of this session keyed the
    // radio, and the session's server.
    bool ptt_keyed = false;
    uint32_t session_addr;
    // The probe's own transport; only with a backup server.
    std::unique_ptr<c_connection_tcp> probe;
    std::unique_ptr<ServerChoice> choice;
};
