// ServerChoice: which server a link connects to when the site has a main and
// a backup server. Both link kinds ask it before every attempt and tell it how
// each attempt went; it moves to the backup after the main has failed
// `backup_after` attempts in a row, or at once when a logged-in session has
// ended and the next attempt fails. While a session on the backup runs it
// tries the main every `main_retry` on a connection of its own (the link's
// probe: connect, log in, leave) and has the link leave the backup once the
// main accepts a login. Every switch prints one line. Without a backup it
// always names the main server, counts nothing and runs no thread, so the
// link behaves exactly as with one server.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

// One server: dotted address, the address in network order, TCP port.
struct ServerAddress {
    std::string host;
    uint32_t addr = 0;
    int port = 0;
    bool backup = false;
    // "ADDRESS:PORT"
    std::string text() const;
};

// The backup server and the switching rules; addr 0 means none.
struct BackupServer {
    uint32_t addr = 0; // network order
    int port = 0;      // 0: the main server's port
    int backup_after = 3;
    std::chrono::milliseconds main_retry{60000};
};

class ServerChoice
{
  public:
    struct Hooks {
        // On the probe thread: log in to `server` on a connection of the
        // link's own beside the running session, and leave again. true when
        // the login was accepted.
        std::function<bool(const ServerAddress &server)> probe;
        // From any thread: make a pending probe return at once.
        std::function<void()> abort_probe;
        // The main accepts logins again: release what the session on the
        // backup holds (PTT) and end it; the link's thread then comes back
        // for the next server. Called with the choice's lock held, while that
        // session is still the one in use: it must not call the choice, nor
        // wait for a lock that is held anywhere while the choice is called.
        std::function<void()> leave_backup;
    };

    ServerChoice(const std::string &main_host, int main_port, const BackupServer &backup, Hooks hooks);
    ~ServerChoice();
    ServerChoice(const ServerChoice &) = delete;
    ServerChoice &operator=(const ServerChoice &) = delete;

    bool has_backup() const { return has_backup_; }

    // The server of the next attempt.
    ServerAddress next();
    // The attempt at the server next() named failed (connect or login). true
    // when the next attempt goes to the other server, at once.
    bool attempt_failed();
    // The server next() named accepted the login.
    void logged_in();
    // That server's logged-in session has ended. true when it was ended to
    // move to the other server: the next attempt goes there at once.
    bool session_ended();
    // The server in use now (the one of the running session, else the one the
    // link tries); for the status.
    ServerAddress in_use();

    // Ends the probing for good (joins its thread); the owner calls it before
    // whatever the hooks use goes away. Idempotent.
    void stop();

  private:
    void probe_loop();
    void switch_to(bool backup, const char *why);

    const bool has_backup_;
    ServerAddress main_;
    ServerAddress backup_;
    const int backup_after_;
    const std::chrono::milliseconds main_retry_;
    Hooks hooks_;

    std::mutex lock_;
    std::condition_variable cv_;
    bool on_backup_ = false;      // where the next attempt goes
    bool session_backup_ = false; // where the running attempt or session is
    int failures_ = 0;
    bool after_session_ = false;
    bool logged_in_ = false;
    bool stopping_ = false;
    std::chrono::steady_clock::time_point next_probe_{};
    std::thread prober_;
};
