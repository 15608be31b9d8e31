// The gateway's client connection (class_roip_conn) against the real
// libgatesim, both in this process on 127.0.0.1.
#include "base/byteorder.h"
#include "gatesim/libgatesim.h"
#include "interfaces/control.h"
#include "link/roip_conn.h"
#include "tests/gatesim/net_helpers.h"
#include "wire/roip_proto.h"

#include <condition_variable>
#include <cstring>
#include <gtest/gtest.h>
#include <mutex>

using namespace testnet;

namespace
{

// Records what the link reports.
class Listener : public class_control
{
  public:
    struct SetPtt {
        int ptt;
        std::string login;
    };

    int init() override { return 0; }
    void cb_async_setptt(int ptt, const char *login) override
    {
        add([&] { ptts.push_back({ptt, login}); });
    }
    void cb_async_unlocksql(int sql) override
    {
        add([&] { sqls.push_back(sql); });
    }
    void cb_async_gpiochanged(uint32_t bitmap, uint32_t mask) override
    {
        add([&] { gpios.emplace_back(bitmap, mask); });
    }
    void cb_async_serial_senddata(int id, const uint8_t *data, uint16_t length, int kind) override
    {
        add([&] { serial.push_back({id, kind, std::vector<uint8_t>(data, data + length)}); });
    }
    void cb_async_upgradestatus(int, int, int) override {}
    void cb_conn_connected(uint32_t, const proto::VersionInfo *version,
                           const proto::LoginResult *login) override
    {
        add([&] {
            connected++;
            last_version = *version;
            last_login = *login;
        });
    }
    void cb_conn_disconnected() override
    {
        add([&] { disconnected++; });
    }
    void cb_gpio_changed(uint32_t, uint32_t) override {}
    void cb_serialread(int, const uint8_t *, uint16_t) override {}
    void cb_front_ptt(int) override {}
    void cb_async_dm3000_status(uint32_t a, uint8_t b, const uint8_t *status, int length) override
    {
        add([&] { dm.push_back({static_cast<int>(a), b, std::vector<uint8_t>(status, status + length)}); });
    }
    void cb_update_crypto(const uint8_t *, int, int) override {}
    Gpio *get_gpio() override { return nullptr; }
    SerialControl *get_serial() override { return nullptr; }

    bool wait(const std::function<bool()> &cond, int ms = timeout_ms)
    {
        std::unique_lock<std::mutex> g(lock);
        return cv.wait_for(g, std::chrono::milliseconds(ms), cond);
    }

    struct Serial {
        int id, kind;
        std::vector<uint8_t> data;
    };
    struct Dm {
        int a;
        uint8_t b;
        std::vector<uint8_t> status;
    };

    std::mutex lock;
    std::condition_variable cv;
    int connected = 0, disconnected = 0;
    proto::VersionInfo last_version;
    proto::LoginResult last_login;
    std::vector<SetPtt> ptts;
    std::vector<int> sqls;
    std::vector<std::pair<uint32_t, uint32_t>> gpios;
    std::vector<Serial> serial;
    std::vector<Dm> dm;

  private:
    void add(const std::function<void()> &f)
    {
        std::lock_guard<std::mutex> g(lock);
        f();
        cv.notify_all();
    }
};

// A client connection that can also send what the gateway's link has no
// sender for: extended 1002 (before or after login) and 2102, and that reads
// extended answers other than the crypto key.
class ProbeConn : public class_roip_conn
{
  public:
    using class_roip_conn::class_roip_conn;
    ~ProbeConn() override = default;

    bool disable_before_login = false;
    std::atomic<uint32_t> pre_login_answer{0};
    // After a failed connect the link only waits for its retry time-out, which
    // the destructor cuts short without calling an override again.
    std::atomic<int> failed_connects{0};

    int send_ext(uint32_t req, const std::vector<uint8_t> &payload)
    {
        auto m = proto::build_ext(req, payload.data(), payload.size());
        return write_all(m.data(), static_cast<int>(m.size()));
    }

    std::vector<std::vector<uint32_t>> ext_answers()
    {
        std::lock_guard<std::mutex> g(lock_);
        return answers_;
    }

  protected:
    int connect() override
    {
        int r = connect_and_probe();
        if (r < 0)
            failed_connects++;
        return r;
    }

    int connect_and_probe()
    {
        if (class_roip_conn::connect() < 0)
            return -1;
        if (!disable_before_login)
            return 0;
        // The version info comes first; keep it for login() to read.
        if (class_roip_conn::read_exact(version_, sizeof version_) < 0)
            return -1;
        replay_ = true;
        if (send_ext(proto::packettype_disable_async, {}) < 0)
            return -1;
        uint8_t w[4];
        if (class_roip_conn::read_exact(w, 4) < 0)
            return -1;
        pre_login_answer = bytes::get_le32(w);
        return 0;
    }

    int read_exact(void *buf, int len) override
    {
        if (replay_ && len == static_cast<int>(sizeof version_)) {
            replay_ = false;
            std::memcpy(buf, version_, sizeof version_);
            return len;
        }
        return class_roip_conn::read_exact(buf, len);
    }

    int on_extproto() override
    {
        uint8_t h[12];
        if (read_exact(h, 12) < 0)
            return -1;
        uint32_t len = bytes::get_le32(h);
        if (len > 4096)
            return -1;
        std::vector<uint8_t> p(len);
        if (len > 0 && read_exact(p.data(), static_cast<int>(len)) < 0)
            return -1;
        std::vector<uint32_t> words{bytes::get_le32(h + 4)};
        for (uint32_t i = 0; i + 4 <= len; i += 4)
            words.push_back(bytes::get_le32(p.data() + i));
        std::lock_guard<std::mutex> g(lock_);
        answers_.push_back(words);
        return 0;
    }

  private:
    uint8_t version_[20] = {};
    bool replay_ = false;
    std::mutex lock_;
    std::vector<std::vector<uint32_t>> answers_;
};

class Interop : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        for (int attempt = 0; attempt < 10; attempt++) {
            sim = libgatesim::create();
            sim->set_cb_info_ver([](libgatesim::s_info_ver &v) {
                v.proto_major = 1;
                v.proto_minor = 5;
                v.config_major = 1;
                v.config_minor = 2;
                v.fw_major = 2;
                v.fw_minor = 30;
                v.build = 77;
                return 0;
            });
            sim->set_cb_login_req([this](libgatesim::s_login_req &r, const std::string &user,
                                         const std::string &pw, const std::string &) {
                logins++;
                if (user != "user" || pw != "qzv")
                    return 7;
                r.priv_level = 1;
                r.codec_type = 1;
                r.rtype0 = 0x21;
                r.rtype1 = 0;
                r.device_name = "gatesim-interop";
                return 0;
            });
            sim->set_cb_set_ptt([this](int ptt) {
                std::lock_guard<std::mutex> g(host_lock);
                host_ptts.push_back(ptt);
                return 0;
            });
            sim->set_cb_xml_action([](unsigned &a, unsigned &b, const std::string &text) {
                if (text != "<Action/>")
                    return 6;
                a = a * 2;
                b = b + 1;
                return 0;
            });
            tcp_port = free_port(SOCK_STREAM);
            rtp_port = free_port(SOCK_DGRAM);
            if (sim->init("127.0.0.1", tcp_port, 16, rtp_port) == 0)
                return;
        }
        FAIL() << "libgatesim did not start";
    }

    // Listeners and connections live as long as the fixture: the links' threads
    // call both until the links are destroyed in TearDown.
    Listener &listener()
    {
        listeners.push_back(std::make_unique<Listener>());
        return *listeners.back();
    }

    ProbeConn *gateway(Listener &l, const char *user = "user", const char *pw = "qzv",
                       bool disable_first = false)
    {
        auto c = std::make_unique<ProbeConn>(&l, "127.0.0.1", tcp_port, user, pw, 8000, 0);
        c->disable_before_login = disable_first;
        c->start();
        c->go();
        conns.push_back(std::move(c));
        return conns.back().get();
    }

    void TearDown() override
    {
        // The server goes first; each link then fails to reconnect and waits
        // out its pause, the one place its destructor stops it without another
        // call into the overrides of ProbeConn.
        std::vector<int> before;
        for (auto &c : conns)
            before.push_back(c->failed_connects.load());
        sim.reset();
        for (size_t i = 0; i < conns.size(); i++)
            EXPECT_TRUE(wait_until([&] { return conns[i]->failed_connects.load() > before[i]; }, 20000));
        conns.clear();
        listeners.clear();
    }

    static bool logged_in(Listener &l)
    {
        return l.wait([&] { return l.connected > 0; });
    }

    std::shared_ptr<libgatesim> sim;
    int tcp_port = 0, rtp_port = 0;
    std::atomic<int> logins{0};
    std::mutex host_lock;
    std::vector<int> host_ptts;
    std::vector<std::unique_ptr<Listener>> listeners;
    std::vector<std::unique_ptr<ProbeConn>> conns;
};

TEST_F(Interop, LoginIsAcceptedWithTheHostsRecord)
{
    Listener &l = listener();
    ProbeConn *c = gateway(l);
    ASSERT_TRUE(logged_in(l));
    EXPECT_TRUE(c->is_logged_in());
    std::lock_guard<std::mutex> g(l.lock);
    EXPECT_EQ(proto::version_minor(l.last_version.ver_proto), 5u);
    EXPECT_EQ(proto::version_minor(l.last_version.ver_fw), 30u);
    EXPECT_EQ(l.last_version.build, 77u);
    EXPECT_EQ(l.last_login.priv_level, 1);
    EXPECT_EQ(l.last_login.priv_rctl, 1u);
    EXPECT_EQ(l.last_login.voip_port, rtp_port);
    EXPECT_GT(l.last_login.voip_sync_num, 0);
    EXPECT_EQ(l.last_login.codec_type, 1);
    EXPECT_STREQ(l.last_login.device_name, "gatesim-interop");
    EXPECT_EQ(l.last_login.rtype[0], 0x21);
}

TEST_F(Interop, RefusedLoginMakesTheGatewayGiveUpAndRetry)
{
    Listener &l = listener();
    ProbeConn *c = gateway(l, "user", "wrong");
    // The link pauses 3 s after a refusal, then tries again.
    ASSERT_TRUE(wait_until([&] { return logins.load() >= 2; }, 20000));
    EXPECT_FALSE(c->is_logged_in());
    std::lock_guard<std::mutex> g(l.lock);
    EXPECT_EQ(l.connected, 0);
}

TEST_F(Interop, PttRoundTripReachesEveryLoggedInGatewayTheKeyerIncluded)
{
    Listener &la = listener(), &lb = listener();
    ProbeConn *a = gateway(la);
    gateway(lb);
    ASSERT_TRUE(logged_in(la));
    ASSERT_TRUE(logged_in(lb));
    ASSERT_EQ(a->setptt(1), 0);
    ASSERT_TRUE(la.wait([&] { return !la.ptts.empty(); }));
    ASSERT_TRUE(lb.wait([&] { return !lb.ptts.empty(); }));
    EXPECT_EQ(la.ptts[0].ptt, 1);
    EXPECT_EQ(la.ptts[0].login, "user");
    EXPECT_EQ(lb.ptts[0].ptt, 1);
    ASSERT_EQ(a->setptt(0), 0);
    ASSERT_TRUE(lb.wait([&] { return lb.ptts.size() == 2; }));
    EXPECT_EQ(lb.ptts[1].ptt, 0);
    std::lock_guard<std::mutex> g(host_lock);
    EXPECT_EQ(host_ptts, (std::vector<int>{1, 0}));
}

TEST_F(Interop, XmlActionIsAnsweredWithTheChangedAAndB)
{
    Listener &l = listener();
    ProbeConn *c = gateway(l);
    ASSERT_TRUE(logged_in(l));
    ASSERT_EQ(c->send_ext(2102, proto::build_xml_text_payload(21, 41, "<Action/>")), 0);
    ASSERT_TRUE(wait_until([&] { return !c->ext_answers().empty(); }));
    EXPECT_EQ(c->ext_answers()[0], (std::vector<uint32_t>{2104, 42, 42, 0}));
}

TEST_F(Interop, EventsReachOnlyLoggedInGatewaysWithEventsOn)
{
    Listener &on = listener(), &off = listener(), &early_off = listener();
    ProbeConn *a = gateway(on);
    ProbeConn *b = gateway(off);
    ProbeConn *e = gateway(early_off, "user", "qzv", true);
    Fd fresh = tcp_connect(tcp_port); // connected, never logs in
    ASSERT_TRUE(logged_in(on));
    ASSERT_TRUE(logged_in(off));
    ASSERT_TRUE(logged_in(early_off));
    EXPECT_EQ(e->pre_login_answer.load(), 2u); // ACK before login

    // 1002 after login; the 2102 behind it proves the server has taken it.
    ASSERT_EQ(b->send_ext(1002, {}), 0);
    ASSERT_EQ(b->send_ext(2102, proto::build_xml_text_payload(1, 1, "<Action/>")), 0);
    ASSERT_TRUE(wait_until([&] { return !b->ext_answers().empty(); }));

    const uint8_t frame[4] = {0xF0, 0x01, 0x02, 0x03};
    const uint8_t status[3] = {0x51, 0x52, 0x53};
    auto dm = proto::build_dm_status_payload(9, 4, status, sizeof status);
    EXPECT_EQ(sim->async_unlock_sql(1), 0);
    EXPECT_EQ(sim->async_gpio_changed(0x1000, 0x1000), 0);
    EXPECT_EQ(sim->async_serial_data(0, frame, 4), 0);
    EXPECT_EQ(sim->async_ext_raw(2003, dm.data(), static_cast<int>(dm.size())), 0);
    EXPECT_EQ(sim->async_ext_xml_status("<Status/>"), 0); // tunnelled, skipped by the link
    EXPECT_EQ(sim->async_polar_status("CH1", "IDLE", 1, 2), 0);

    // Urgent events may overtake the GPIO and serial ones: wait for all of them.
    ASSERT_TRUE(on.wait(
        [&] { return !on.dm.empty() && !on.sqls.empty() && !on.gpios.empty() && !on.serial.empty(); }));
    {
        std::lock_guard<std::mutex> g(on.lock);
        EXPECT_EQ(on.sqls, std::vector<int>{1});
        ASSERT_EQ(on.gpios.size(), 1u);
        EXPECT_EQ(on.gpios[0], std::make_pair(0x1000u, 0x1000u));
        ASSERT_EQ(on.serial.size(), 1u);
        EXPECT_EQ(on.serial[0].id, 0);
        EXPECT_EQ(on.serial[0].kind, 0);
        EXPECT_EQ(on.serial[0].data, std::vector<uint8_t>(frame, frame + 4));
        EXPECT_EQ(on.dm[0].a, 9);
        EXPECT_EQ(on.dm[0].b, 4);
        EXPECT_EQ(on.dm[0].status, std::vector<uint8_t>(status, status + 3));
    }
    // The link survives the tunnelled messages it does not act on.
    ASSERT_EQ(a->setptt(1), 0);
    ASSERT_TRUE(on.wait([&] { return !on.ptts.empty(); }));
    {
        std::lock_guard<std::mutex> g(on.lock);
        EXPECT_EQ(on.disconnected, 0);
    }

    std::lock_guard<std::mutex> g1(off.lock);
    EXPECT_TRUE(off.sqls.empty());
    EXPECT_TRUE(off.dm.empty());
    EXPECT_TRUE(off.ptts.empty());
    std::lock_guard<std::mutex> g2(early_off.lock);
    EXPECT_TRUE(early_off.sqls.empty());
    EXPECT_TRUE(early_off.serial.empty());
    EXPECT_EQ(read_n(fresh.get(), 20).size(), 20u); // the version info and nothing more
    EXPECT_FALSE(readable(fresh.get(), 100));
}

} // namespace
