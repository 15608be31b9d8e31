// The site's XML side: gateways of the XML radio types log in, keep alive,
// key and release the site's one talker slot and send their requests here,
// beside the binary gateways of libgatesim, with whom they share the users,
// the voice relay and the talker slot.
//
// One thread serves every connection (non-blocking sockets and poll); the
// operator's commands and the library's talker reports come from other
// threads and only queue output for it.
#pragma once

#include "base/unique_fd.h"
#include "gatesim/libgatesim.h"
#include "tools/gatesimd/users.h"

#include <chrono>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace pugi
{
class xml_node;
}

struct XmlSiteConfig {
    std::string bind = "0.0.0.0";
    int port = 5556;  // 0: an ephemeral port (port() tells which)
    int rtp_port = 0; // the relay's UDP port, announced at login
    std::string radio_name = "site-radio";
    int max_clients = 64; // connections beyond are closed at once
    bool debug = false;   // print every document in and out
};

class XmlServer
{
  public:
    using clock = std::chrono::steady_clock;
    static constexpr std::chrono::seconds keepalive_interval{5};
    static constexpr std::chrono::seconds silence_limit{15};
    static constexpr std::chrono::seconds refused_linger{1};
    // Output a gateway has not taken yet; beyond it the gateway is dropped.
    static constexpr size_t max_pending_output = 1024 * 1024;

    struct Counters {
        uint64_t docs_in = 0, docs_out = 0, keepalives_in = 0, ptt_requests = 0, gpio_requests = 0,
                 actions = 0, serial_disps = 0, refused = 0, bad = 0;
    };
    struct GatewayInfo {
        std::string user, address;
        int port = 0;
        uint32_t syncnum = 0;
        int level = 0;
        Counters counters;
    };

    // `users` must outlive the server, `sim` must outlive stop() (call it
    // before the library goes).
    XmlServer(libgatesim &sim, const UserTable &users, XmlSiteConfig cfg);
    ~XmlServer();
    XmlServer(const XmlServer &) = delete;
    XmlServer &operator=(const XmlServer &) = delete;

    // Serves, and installs the library's talker callback (one server per
    // library).
    bool start(std::string &error);
    // What start() installs, for a host that shares the library's one talker
    // callback with other listeners; safe to call after the server has gone.
    libgatesim::cb_talker talker_listener();
    // Logs every gateway out (freeing the slot it held) and ends the thread.
    void stop();
    int port() const { return bound_port_; }

    // One document to every logged-in XML gateway; the number reached.
    int send_to_all(const std::string &doc);
    int unlock_sql(int sql);
    // Applies the change to the site's GPIO word and tells the gateways.
    int gpio_changed(uint32_t bitmap, uint32_t mask);

    uint32_t gpio_word() const;
    std::vector<GatewayInfo> gateways() const;
    // Who holds the talker slot ("" when nobody), as last reported.
    std::string talker() const;
    // The "state" reply: the site and one line per logged-in XML gateway.
    std::string state_text() const;

  private:
    struct Conn;

    void run();
    void accept_all();
    void on_readable(Conn &c);
    void on_document(Conn &c, const std::string &text);
    void on_login(Conn &c, const pugi::xml_node &root);
    void on_set_ptt(Conn &c, const pugi::xml_node &root);
    void on_gpio_set_clr(Conn &c, const std::string &name, const pugi::xml_node &root);
    void on_logged(Conn &c, const std::string &name, const pugi::xml_node &root, const std::string &text);
    void queue(Conn &c, const std::string &text);
    void flush(Conn &c);
    void drop(Conn &c, const char *why);
    void timers(clock::time_point now);
    void deliver_talker_events();
    std::string who(const Conn &c) const;
    int next_wait_ms(clock::time_point now) const;

    // Where the library reports talker changes: shared with its callback,
    // which may still run after the server has gone.
    struct TalkerEvent {
        int ptt;
        std::string user;
    };
    struct TalkerSink {
        std::mutex lock;
        std::vector<TalkerEvent> events;
        UniqueFd wake; // an eventfd, also used to stop the thread
        void notify();
    };

    libgatesim &sim_;
    const UserTable &users_;
    XmlSiteConfig cfg_;

    UniqueFd listen_;
    std::shared_ptr<TalkerSink> sink_;
    int bound_port_ = 0;
    std::thread thread_;
    bool stopping_ = false; // under lock_

    // Guards everything below, and every connection's state. The library is
    // called with it held; the talker callback takes only the sink's lock.
    mutable std::mutex lock_;
    std::list<std::unique_ptr<Conn>> conns_;
    uint32_t gpio_word_ = 0;
    std::string talker_;
};
