#include "tools/gatesimd/xml_server.h"

#include "tools/gatesimd/xml_docs.h"
#include "wire/xml_frame.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pugixml.hpp>
#include <sstream>
#include <strings.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

struct XmlServer::Conn {
    UniqueFd fd;
    std::string address;
    int port = 0;
    std::string in, out;
    bool logged_in = false;
    bool refused = false; // answered NegResp to its login: closed shortly
    bool dead = false;
    std::string user;
    int level = 0;
    int key = -1; // relay member key, the announced syncnum
    uint32_t keepalive_seq = 0;
    clock::time_point last_rx, next_keepalive, close_at;
    Counters counters;
};

namespace
{

// Decimal digits only, as the gateways write their GPIO bitmaps.
bool parse_decimal_u32(const char *s, uint32_t &out)
{
    if (*s < '0' || *s > '9')
        return false;
    char *end = nullptr;
    errno = 0;
    unsigned long long v = std::strtoull(s, &end, 10);
    if (errno != 0 || *end != '\0' || v > 0xFFFFFFFFull)
        return false;
    out = static_cast<uint32_t>(v);
    return true;
}

bool parse_int(const char *s, int &out)
{
    char *end = nullptr;
    errno = 0;
    long v = std::strtol(s, &end, 10);
    if (*s == '\0' || errno != 0 || *end != '\0' || v < INT32_MIN || v > INT32_MAX)
        return false;
    out = static_cast<int>(v);
    return true;
}

// A received text for the log: control characters and bytes outside ASCII
// as \xNN, so junk cannot garble the terminal.
std::string printable(const std::string &text)
{
    std::string out;
    char b[8];
    for (unsigned char ch : text) {
        if (ch >= 0x20 && ch < 0x7F) {
            out.push_back(static_cast<char>(ch));
        } else {
            std::snprintf(b, sizeof b, "\\x%02X", ch);
            out += b;
        }
    }
    return out;
}

int ms_until(XmlServer::clock::time_point now, XmlServer::clock::time_point t)
{
    if (t <= now)
        return 0;
    auto d = std::chrono::duration_cast<std::chrono::milliseconds>(t - now).count();
    return static_cast<int>(d) + 1;
}

} // namespace

void XmlServer::TalkerSink::notify()
{
    uint64_t one = 1;
    ssize_t r = ::write(wake.get(), &one, sizeof one);
    (void)r; // a full counter already wakes the thread
}

XmlServer::XmlServer(libgatesim &sim, const UserTable &users, XmlSiteConfig cfg)
    : sim_(sim), users_(users), cfg_(std::move(cfg)), sink_(std::make_shared<TalkerSink>())
{
    sink_->wake.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
}

XmlServer::~XmlServer()
{
    stop();
}

bool XmlServer::start(std::string &error)
{
    if (!sink_->wake.valid()) {
        error = "eventfd failed";
        return false;
    }
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(cfg_.port));
    if (inet_pton(AF_INET, cfg_.bind.c_str(), &a.sin_addr) != 1) {
        error = "bad address for XML gateways: " + cfg_.bind;
        return false;
    }
    UniqueFd s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    int on = 1;
    if (!s.valid() || ::setsockopt(s.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        ::bind(s.get(), reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || ::listen(s.get(), 16) != 0) {
        error = "cannot serve XML gateways on " + cfg_.bind + ":" + std::to_string(cfg_.port) + ": " +
                std::strerror(errno);
        return false;
    }
    socklen_t len = sizeof a;
    ::getsockname(s.get(), reinterpret_cast<sockaddr *>(&a), &len);
    bound_port_ = ntohs(a.sin_port);
    listen_ = std::move(s);
    sim_.set_cb_talker(talker_listener());
    thread_ = std::thread([this] { run(); });
    return true;
}

libgatesim::cb_talker XmlServer::talker_listener()
{
    // Only a serving thread drains the reports.
    std::weak_ptr<TalkerSink> weak = sink_;
    return [weak](int ptt, const std::string &user) {
        if (auto sink = weak.lock()) {
            std::lock_guard<std::mutex> g(sink->lock);
            sink->events.push_back(TalkerEvent{ptt, user});
            sink->notify();
        }
        return 0;
    };
}

void XmlServer::stop()
{
    {
        std::lock_guard<std::mutex> g(lock_);
        if (stopping_ || !thread_.joinable())
            return;
        stopping_ = true;
    }
    sink_->notify();
    thread_.join();
    std::lock_guard<std::mutex> g(lock_);
    for (auto &c : conns_)
        drop(*c, "the site stops");
    conns_.clear();
    listen_.reset();
}

std::string XmlServer::who(const Conn &c) const
{
    std::string w = c.logged_in ? "[" + c.user + "] " : std::string();
    return w + c.address + ":" + std::to_string(c.port);
}

// ---- The serving thread ----

void XmlServer::run()
{
    std::vector<pollfd> fds;
    std::vector<Conn *> polled;
    std::unique_lock<std::mutex> g(lock_);
    while (!stopping_) {
        fds.clear();
        polled.clear();
        fds.push_back({sink_->wake.get(), POLLIN, 0});
        fds.push_back({listen_.get(), POLLIN, 0});
        for (auto &c : conns_) {
            short ev = c->refused ? 0 : POLLIN;
            if (!c->out.empty())
                ev |= POLLOUT;
            fds.push_back({c->fd.get(), ev, 0});
            polled.push_back(c.get());
        }
        int wait = next_wait_ms(clock::now());
        g.unlock();
        int n = ::poll(fds.data(), fds.size(), wait);
        g.lock();
        if (stopping_)
            break;
        if (n < 0 && errno != EINTR) {
            std::printf("gatesimd: xml: poll failed: %s\n", std::strerror(errno));
            break;
        }
        if (n > 0) {
            if (fds[0].revents != 0) {
                uint64_t v;
                ssize_t r = ::read(sink_->wake.get(), &v, sizeof v);
                (void)r;
            }
            if (fds[1].revents != 0)
                accept_all();
            for (size_t i = 0; i < polled.size(); i++) {
                Conn &c = *polled[i];
                short re = fds[i + 2].revents;
                if (c.dead || re == 0)
                    continue;
                if (re & (POLLIN | POLLERR | POLLHUP))
                    on_readable(c);
                if (!c.dead && (re & POLLOUT))
                    flush(c);
            }
        }
        deliver_talker_events();
        timers(clock::now());
        conns_.remove_if([](const std::unique_ptr<Conn> &c) { return c->dead; });
    }
}

int XmlServer::next_wait_ms(clock::time_point now) const
{
    int wait = -1;
    auto consider = [&](clock::time_point t) {
        int m = ms_until(now, t);
        if (wait < 0 || m < wait)
            wait = m;
    };
    for (const auto &c : conns_) {
        consider(c->last_rx + silence_limit);
        if (c->logged_in)
            consider(c->next_keepalive);
        if (c->refused)
            consider(c->close_at);
    }
    return wait;
}

void XmlServer::accept_all()
{
    for (;;) {
        sockaddr_in a{};
        socklen_t len = sizeof a;
        int fd =
            ::accept4(listen_.get(), reinterpret_cast<sockaddr *>(&a), &len, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0)
            return;
        auto c = std::make_unique<Conn>();
        c->fd.reset(fd);
        char text[INET_ADDRSTRLEN] = "?.?.?.?";
        inet_ntop(AF_INET, &a.sin_addr, text, sizeof text);
        c->address = text;
        c->port = ntohs(a.sin_port);
        c->last_rx = clock::now();
        if (static_cast<int>(conns_.size()) >= cfg_.max_clients) {
            std::printf("gatesimd: xml connection from %s: too many gateways\n", who(*c).c_str());
            continue;
        }
        if (cfg_.debug)
            std::printf("gatesimd: xml connect from %s\n", who(*c).c_str());
        conns_.push_back(std::move(c));
    }
}

void XmlServer::on_readable(Conn &c)
{
    char buf[4096];
    ssize_t r = ::recv(c.fd.get(), buf, sizeof buf, 0);
    if (r < 0 && (errno == EAGAIN || errno == EINTR))
        return;
    if (r <= 0) {
        drop(c, "closed by the gateway");
        return;
    }
    c.last_rx = clock::now();
    c.in.append(buf, static_cast<size_t>(r));
    while (!c.dead && !c.refused && c.in.size() >= xml_frame::header_size) {
        uint32_t len = xml_frame::decode_length(reinterpret_cast<const uint8_t *>(c.in.data()));
        if (len > xml_frame::max_text) {
            std::printf("gatesimd: xml %s: frame of %u bytes is too long\n", who(c).c_str(), len);
            drop(c, "protocol error");
            return;
        }
        if (c.in.size() < xml_frame::header_size + len)
            return;
        std::string text = c.in.substr(xml_frame::header_size, len);
        c.in.erase(0, xml_frame::header_size + len);
        on_document(c, text);
    }
}

void XmlServer::queue(Conn &c, const std::string &text)
{
    if (c.dead)
        return;
    if (cfg_.debug)
        std::printf("gatesimd: xml out %s: %s\n", who(c).c_str(), text.c_str());
    c.out += xml_frame::encode(text);
    c.counters.docs_out++;
    if (c.out.size() > max_pending_output) {
        drop(c, "not reading its output");
        return;
    }
    flush(c);
}

void XmlServer::flush(Conn &c)
{
    while (!c.out.empty()) {
        ssize_t r = ::send(c.fd.get(), c.out.data(), c.out.size(), MSG_NOSIGNAL);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0 && errno == EAGAIN)
            return;
        if (r <= 0) {
            drop(c, "send failed");
            return;
        }
        c.out.erase(0, static_cast<size_t>(r));
    }
}

void XmlServer::drop(Conn &c, const char *why)
{
    if (c.dead)
        return;
    c.dead = true;
    if (c.logged_in) {
        sim_.talker_free(c.address, c.key, c.user);
        sim_.rtp_member_del(c.address, c.key);
        std::printf("gatesimd: xml logout [%s] from %s: %s\n", c.user.c_str(), c.address.c_str(), why);
    } else if (cfg_.debug) {
        std::printf("gatesimd: xml disconnect %s: %s\n", who(c).c_str(), why);
    }
    c.fd.reset();
}

void XmlServer::timers(clock::time_point now)
{
    for (auto &cp : conns_) {
        Conn &c = *cp;
        if (c.dead)
            continue;
        if (c.refused) {
            if (now >= c.close_at)
                drop(c, "login refused");
            continue;
        }
        if (now >= c.last_rx + silence_limit) {
            std::printf("gatesimd: xml %s: silent for %lld s, dropped\n", who(c).c_str(),
                        static_cast<long long>(silence_limit.count()));
            drop(c, "silent");
            continue;
        }
        if (c.logged_in && now >= c.next_keepalive) {
            c.next_keepalive = now + keepalive_interval;
            queue(c, xml_docs::keep_alive_ev(++c.keepalive_seq, cfg_.radio_name));
        }
    }
}

void XmlServer::deliver_talker_events()
{
    std::vector<TalkerEvent> events;
    {
        std::lock_guard<std::mutex> g(sink_->lock);
        events.swap(sink_->events);
    }
    for (const TalkerEvent &e : events) {
        talker_ = e.ptt ? e.user : std::string();
        std::string doc = xml_docs::set_ptt_ev(e.ptt, cfg_.radio_name, e.user);
        for (auto &c : conns_)
            if (c->logged_in && !c->dead)
                queue(*c, doc);
    }
}

// ---- Documents from the gateways ----

void XmlServer::on_document(Conn &c, const std::string &text)
{
    c.counters.docs_in++;
    if (cfg_.debug)
        std::printf("gatesimd: xml in %s: %s\n", who(c).c_str(), printable(text).c_str());
    pugi::xml_document doc;
    pugi::xml_node root;
    if (doc.load_buffer(text.data(), text.size()))
        root = doc.document_element();
    if (!root) {
        c.counters.bad++;
        std::printf("gatesimd: xml %s: not an XML document (%zu bytes)\n", who(c).c_str(), text.size());
        return;
    }
    std::string name = root.name();
    if (strcasecmp(name.c_str(), "KeepaliveReq") == 0) {
        c.counters.keepalives_in++;
        return;
    }
    if (name == "LoginReq") {
        on_login(c, root);
        return;
    }
    if (!c.logged_in) {
        c.counters.refused++;
        queue(c, xml_docs::neg_resp(name));
        return;
    }
    if (name == "SetPttReq") {
        on_set_ptt(c, root);
    } else if (name == "GpioStateReq") {
        c.counters.gpio_requests++;
        queue(c, xml_docs::gpio_changed_ev(gpio_word_, 0xFFFFFFFFu));
    } else if (name == "GpioSetReq" || name == "GpioClrReq") {
        on_gpio_set_clr(c, name, root);
    } else if (name == "XCMPStatusReq" || name == "XCMPAction" || name == "TAction" || name == "NXAction" ||
               name == "XE") {
        on_logged(c, name, root, text);
    } else {
        c.counters.refused++;
        std::printf("gatesimd: xml %s: unknown request %s\n", who(c).c_str(), printable(name).c_str());
        queue(c, xml_docs::neg_resp(name));
    }
}

void XmlServer::on_login(Conn &c, const pugi::xml_node &root)
{
    pugi::xml_node cred = root.child("Credentials");
    std::string user = cred.attribute("user").value();
    const GatesimUser *u = cred ? users_.find(user, cred.attribute("passwd").value()) : nullptr;
    if (c.logged_in) {
        c.counters.refused++;
        std::printf("gatesimd: xml login [%s] from %s: already logged in\n", printable(user).c_str(),
                    c.address.c_str());
        queue(c, xml_docs::neg_resp("LoginReq"));
        return;
    }
    int key = u ? sim_.rtp_member_add(c.address) : -1;
    if (key < 0) {
        c.counters.refused++;
        std::printf("gatesimd: xml login [%s] from %s: refused\n", printable(user).c_str(),
                    c.address.c_str());
        queue(c, xml_docs::neg_resp("LoginReq"));
        // Given a moment to read the answer; nothing more is read from it.
        c.refused = true;
        c.close_at = clock::now() + refused_linger;
        return;
    }
    c.logged_in = true;
    c.user = u->name;
    c.level = u->level;
    c.key = key;
    c.next_keepalive = clock::now() + keepalive_interval;
    std::string devname = u->devname.empty() ? u->name : u->devname;
    std::printf("gatesimd: xml login [%s] from %s: level %d, codec %s, syncnum %d%s\n", user.c_str(),
                c.address.c_str(), u->level, UserTable::codec_name(u->codec), key, u->rckd ? ", rckd" : "");
    queue(c, xml_docs::login_pos_resp(cfg_.rtp_port, static_cast<uint32_t>(key),
                                      UserTable::codec_name(u->codec), devname, u->rckd));
}

void XmlServer::on_set_ptt(Conn &c, const pugi::xml_node &root)
{
    c.counters.ptt_requests++;
    int ptt = 0;
    bool ok = parse_int(root.attribute("ptt").value(), ptt) && c.level >= 1;
    int r = -1;
    if (ok && ptt == 1)
        r = sim_.talker_take(c.address, c.key, c.user);
    else if (ok)
        r = sim_.talker_free(c.address, c.key, c.user);
    if (r == 0) {
        std::printf("gatesimd: xml ptt %s [%s]\n", ptt == 1 ? "on" : "off", c.user.c_str());
        return; // everybody, the keyer included, hears of it from the talker report
    }
    c.counters.refused++;
    const char *why = !ok        ? (c.level < 1 ? "may only listen" : "bad ptt value")
                      : ptt == 1 ? "another gateway talks"
                                 : "does not talk";
    std::printf("gatesimd: xml ptt %s [%s]: refused, %s\n", ptt == 1 ? "on" : "off", c.user.c_str(), why);
    queue(c, xml_docs::neg_resp("SetPttReq"));
}

void XmlServer::on_gpio_set_clr(Conn &c, const std::string &name, const pugi::xml_node &root)
{
    c.counters.gpio_requests++;
    uint32_t bitmap = 0;
    if (c.level < 1 || !parse_decimal_u32(root.attribute("bitmap").value(), bitmap)) {
        c.counters.refused++;
        std::printf("gatesimd: xml %s [%s]: refused\n", name.c_str(), c.user.c_str());
        queue(c, xml_docs::neg_resp(name));
        return;
    }
    if (name == "GpioSetReq")
        gpio_word_ |= bitmap;
    else
        gpio_word_ &= ~bitmap;
    std::printf("gatesimd: xml %s [%s]: bitmap 0x%X, site gpio 0x%X\n", name.c_str(), c.user.c_str(), bitmap,
                gpio_word_);
    queue(c, xml_docs::pos_resp(name));
}

void XmlServer::on_logged(Conn &c, const std::string &name, const pugi::xml_node &root,
                          const std::string &text)
{
    if (name != "XCMPStatusReq" && c.level < 1) {
        c.counters.refused++;
        std::printf("gatesimd: xml %s [%s]: refused, may only listen\n", name.c_str(), c.user.c_str());
        queue(c, xml_docs::neg_resp(name));
        return;
    }
    if (name == "XE") {
        pugi::xml_node disp = root.child("SerialDisp");
        std::vector<uint8_t> data;
        if (!disp || !xml_docs::decode_serial_disp(disp.attribute("denc").value(),
                                                   disp.attribute("d").value(), data)) {
            c.counters.refused++;
            std::printf("gatesimd: xml XE [%s]: no SerialDisp that decodes\n", c.user.c_str());
            queue(c, xml_docs::neg_resp(name));
            return;
        }
        c.counters.serial_disps++;
        std::printf("gatesimd: xml XE SerialDisp [%s]: %zu bytes: %s\n", c.user.c_str(), data.size(),
                    xml_docs::hex(data.data(), data.size()).c_str());
    } else {
        c.counters.actions++;
        std::printf("gatesimd: xml %s [%s]: %s\n", name.c_str(), c.user.c_str(), printable(text).c_str());
    }
    queue(c, xml_docs::pos_resp(name));
}

// ---- The operator's side ----

int XmlServer::send_to_all(const std::string &doc)
{
    int n = 0;
    {
        std::lock_guard<std::mutex> g(lock_);
        for (auto &c : conns_)
            if (c->logged_in && !c->dead) {
                queue(*c, doc);
                n++;
            }
    }
    // Anything that did not go out at once is left to the thread.
    sink_->notify();
    return n;
}

int XmlServer::unlock_sql(int sql)
{
    return send_to_all(xml_docs::unlock_sql_ev(sql));
}

int XmlServer::gpio_changed(uint32_t bitmap, uint32_t mask)
{
    {
        std::lock_guard<std::mutex> g(lock_);
        gpio_word_ = (gpio_word_ & ~mask) | (bitmap & mask);
    }
    return send_to_all(xml_docs::gpio_changed_ev(bitmap, mask));
}

uint32_t XmlServer::gpio_word() const
{
    std::lock_guard<std::mutex> g(lock_);
    return gpio_word_;
}

std::string XmlServer::talker() const
{
    std::lock_guard<std::mutex> g(lock_);
    return talker_;
}

std::vector<XmlServer::GatewayInfo> XmlServer::gateways() const
{
    std::lock_guard<std::mutex> g(lock_);
    std::vector<GatewayInfo> out;
    for (const auto &c : conns_)
        if (c->logged_in && !c->dead)
            out.push_back(GatewayInfo{c->user, c->address, c->port, static_cast<uint32_t>(c->key), c->level,
                                      c->counters});
    return out;
}

std::string XmlServer::state_text() const
{
    std::vector<GatewayInfo> gws = gateways();
    std::ostringstream s;
    std::string t = talker();
    s << "xml site " << cfg_.radio_name << ": port " << bound_port_ << ", gpio 0x" << std::hex
      << std::uppercase << gpio_word() << std::dec << ", talker " << (t.empty() ? "-" : t) << ", "
      << gws.size() << " xml gateways\n";
    for (const GatewayInfo &g : gws) {
        const Counters &k = g.counters;
        s << "  [" << g.user << "] " << g.address << ":" << g.port << " syncnum " << g.syncnum << " level "
          << g.level << ": in " << k.docs_in << ", out " << k.docs_out << ", keepalives " << k.keepalives_in
          << ", ptt " << k.ptt_requests << ", gpio " << k.gpio_requests << ", actions " << k.actions
          << ", serial " << k.serial_disps << ", refused " << k.refused << ", bad " << k.bad << "\n";
    }
    return s.str();
}
