// class_roipsrv_conn: the gateway's end of the XML server link. One thread
// keeps a TCP connection to the server, logs in after every connect, answers
// the server's keep-alives itself and hands every other document, as text, to
// the control's callback (with ":connected" and ":disconnected" in between).
#pragma once

#include "link/connection_tcp.h"

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class class_roipsrv_conn
{
  public:
    using callback_t = std::function<void(const std::string &)>;

    // Copies everything and creates the transport; does not connect.
    class_roipsrv_conn(callback_t callback, const std::string &host, int port, const std::string &user,
                       const std::string &passwd, int rtp_port);
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

  private:
    // Waits up to `seconds` unless stopped; false once stopped.
    bool pause(int seconds);
    // Reads one frame into `text`; false when the stream is broken or the
    // announced length is too long.
    bool read_frame(std::string &text);
    void notify(const std::string &text);

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
};
