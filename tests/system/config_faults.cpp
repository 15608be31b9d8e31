// The gateway daemon started on a board whose "/config" is damaged: each file
// missing, truncated, oversized or a FIFO, and the whole directory a read-only
// mount. gwlinkd (gm360) runs inside the box against the server emulator on
// loopback, which announces protocol 1.6 so that the blocked list is uploaded
// at every login. The daemon must start (never hang), fall back to factory
// values where the record is unusable, and log in wherever the record points
// at the server. The results are collected in docs/faults.md.
#include "tests/system/site_test.h"

#include "gateway/config_record.h"

#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/stat.h>

#include <functional>

namespace
{

using namespace std::chrono_literals;
using site::Clock;
using site::ms;

// The server's port for the current test (each test takes new ones).
int g_port = 0;
constexpr const char *kMain = "/config/main.cfg";
constexpr const char *kCodec = "/config/codec.cfg";
constexpr const char *kBlocked = "/config/blocked.cfg";

void write_bytes(const char *path, const site::Bytes &b)
{
    site::write_file(path, b.data(), b.size());
}

site::Bytes read_bytes(const char *path)
{
    site::Bytes out;
    int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return out;
    uint8_t buf[4096];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0)
        out.insert(out.end(), buf, buf + n);
    ::close(fd);
    return out;
}

bool is_fifo(const char *path)
{
    struct stat st;
    return ::lstat(path, &st) == 0 && S_ISFIFO(st.st_mode);
}

void make_fifo(const char *path)
{
    ::unlink(path);
    ASSERT_EQ(::mkfifo(path, 0600), 0) << path;
}

// The record and codec file of a gateway that logs in to the test's server.
site::Bytes good_record()
{
    site::write_config(g_port, 0, 1);
    return read_bytes(kMain);
}

// A blocked-list item: four opaque bytes, then the name.
site::Bytes blocked_items(std::initializer_list<const char *> names)
{
    site::Bytes b;
    for (const char *n : names) {
        site::Bytes item(36, 0);
        std::memcpy(item.data() + 4, n, std::strlen(n));
        b.insert(b.end(), item.begin(), item.end());
    }
    return b;
}

// "/config" mounted read-only over itself for the life of the object (the
// box has a mount namespace of its own, so nothing leaves it).
class ReadOnlyConfig
{
  public:
    ReadOnlyConfig()
    {
        ok_ = ::mount("/config", "/config", nullptr, MS_BIND, nullptr) == 0;
        if (ok_ && ::mount(nullptr, "/config", nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0) {
            ::umount2("/config", MNT_DETACH);
            ok_ = false;
        }
    }
    ~ReadOnlyConfig()
    {
        if (ok_)
            ::umount2("/config", MNT_DETACH);
    }
    bool ok() const { return ok_; }

  private:
    bool ok_ = false;
};

void clear_config()
{
    for (const char *p : {kMain, kCodec, kBlocked})
        ::unlink(p);
}

struct Fault {
    const char *what;
    std::function<void()> prepare; // builds "/config" (before any read-only mount)
    bool read_only;
    bool logs_in;                      // the record still points at the server
    std::vector<const char *> printed; // lines (parts) the daemon prints at start or login
    std::function<void()> check_after; // "/config" once the daemon has gone
    int blocked_uploads = 0;           // names the server receives at each login (-1: no list)
};

class ConfigFaults : public site::SiteTest
{
  protected:
    void SetUp() override
    {
        site::SiteTest::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        start_server(1);
    }
    void TearDown() override
    {
        clear_config();
        site::SiteTest::TearDown();
    }
    // The emulator library announcing protocol 1.6, asking for `codec`.
    void start_server(int codec)
    {
        g_port = tcp_port();
        server_ = std::make_unique<site::Server>(tcp_port(), rtp_port(), codec, 6);
        ASSERT_TRUE(server_->ok());
    }

    // Starts the daemon on the prepared "/config" and checks what it does.
    void run(const Fault &f)
    {
        SCOPED_TRACE(f.what);
        clear_config();
        ASSERT_NO_FATAL_FAILURE(f.prepare());
        std::unique_ptr<ReadOnlyConfig> ro;
        if (f.read_only) {
            ro = std::make_unique<ReadOnlyConfig>();
            ASSERT_TRUE(ro->ok()) << "cannot mount /config read-only: " << std::strerror(errno);
        }
        int logins = 0;
        size_t lists = 0;
        server_->wait(0ms, [&](site::Server &s) {
            logins = s.logins_;
            lists = s.blocked_lists_.size();
            return true;
        });
        site::Child gw;
        ASSERT_EQ(gw.start({site::bin("gwlinkd")}), 0);
        EXPECT_TRUE(gw.wait_for_line("radio_type: gm360", 20s)) << "the daemon did not get through its start";
        if (f.logs_in) {
            EXPECT_TRUE(server_->wait(20s, [&](site::Server &s) { return s.logins_ > logins; }))
                << "no login";
            EXPECT_TRUE(gw.wait_for_line("event\t: cb_conn_connected", 10s));
        } else {
            EXPECT_TRUE(gw.wait_for_line("conn    : connecting", 20s));
        }
        for (const char *line : f.printed)
            EXPECT_TRUE(gw.wait_for_line(line, 10s)) << "expected \"" << line << "\"";
        if (f.logs_in) {
            if (f.blocked_uploads >= 0) {
                EXPECT_TRUE(server_->wait(10s, [&](site::Server &s) {
                    return s.blocked_lists_.size() > lists &&
                           s.blocked_lists_.back().size() == static_cast<size_t>(f.blocked_uploads);
                })) << "blocked list";
            } else {
                EXPECT_TRUE(server_->wait(0ms, [&](site::Server &s) {
                    return s.blocked_lists_.size() == lists;
                })) << "a list was uploaded";
            }
        }
        EXPECT_TRUE(gw.running()) << "the daemon ended";
        gw.stop();
        ro.reset();
        if (f.check_after)
            f.check_after();
        if (HasFailure())
            std::printf("---- gwlinkd output (tail) ----\n%s", gw.tail(60).c_str());
    }

    std::unique_ptr<site::Server> server_;
};

void expect_factory_record_file()
{
    site::Bytes b = read_bytes(kMain);
    ASSERT_EQ(b.size(), config_format::record_size);
    uint8_t factory[config_format::record_size];
    config_format::encode(config_format::default_record(), factory);
    EXPECT_TRUE(std::equal(b.begin(), b.end(), factory)) << "main.cfg is not the factory record";
}

void expect_codec_file(int codec)
{
    EXPECT_EQ(site::read_codec_file(), codec);
}

const char *const kFactoryLines[] = {"remote_ip:172.16.0.189", "remote_port:5555", "remote_user:user"};

std::vector<const char *> factory_lines(std::initializer_list<const char *> more = {})
{
    std::vector<const char *> v(std::begin(kFactoryLines), std::end(kFactoryLines));
    v.insert(v.end(), more);
    return v;
}

// Each file of "/config" missing, truncated, oversized or a FIFO.
TEST_F(ConfigFaults, EveryFileMissingTruncatedOversizedOrAFifo)
{
    const std::string port_line = "remote_port:" + std::to_string(g_port);
    const std::vector<Fault> faults = {
        {"main.cfg missing", [] {}, false, false, factory_lines(),
         [] {
             expect_factory_record_file();
             expect_codec_file(1);
         }},
        {"main.cfg truncated to 100 bytes",
         [] {
             site::Bytes r = good_record();
             r.resize(100);
             write_bytes(kMain, r);
         },
         false, false, factory_lines(), expect_factory_record_file},
        {"main.cfg oversized (the record and 1 MiB more)",
         [] {
             site::Bytes r = good_record();
             r.resize(r.size() + (1 << 20), 0x5A);
             write_bytes(kMain, r);
         },
         false, false, factory_lines(), expect_factory_record_file},
        {"main.cfg a FIFO",
         [] {
             good_record();
             make_fifo(kMain);
         },
         false, false, factory_lines(), [] { EXPECT_TRUE(is_fifo(kMain)) << "the FIFO was replaced"; }},
        {"codec.cfg missing",
         [] {
             good_record();
             ::unlink(kCodec);
         },
         false,
         true,
         {port_line.c_str()},
         [] { expect_codec_file(1); },
         -1},
        {"codec.cfg truncated to 2 bytes",
         [] {
             good_record();
             write_bytes(kCodec, {3, 0});
         },
         false,
         true,
         {port_line.c_str()},
         [] { expect_codec_file(1); },
         -1},
        {"codec.cfg oversized (A-law and 64 KiB more): its first word counts",
         [] {
             good_record();
             site::Bytes c(4 + 65536, 0x33);
             c[0] = 1;
             c[1] = c[2] = c[3] = 0;
             write_bytes(kCodec, c);
         },
         false,
         true,
         {port_line.c_str()},
         [] { EXPECT_EQ(read_bytes(kCodec).size(), 4u + 65536); },
         -1},
        {"codec.cfg a FIFO",
         [] {
             good_record();
             make_fifo(kCodec);
         },
         false,
         true,
         {port_line.c_str()},
         [] { EXPECT_TRUE(is_fifo(kCodec)) << "the FIFO was replaced"; },
         -1},
        {"blocked.cfg missing",
         [] { good_record(); },
         false,
         true,
         {"conn : sbl : cannot open config file"},
         nullptr,
         -1},
        {"blocked.cfg truncated to 40 bytes",
         [] {
             good_record();
             site::Bytes b = blocked_items({"alice", "bob"});
             b.resize(40);
             write_bytes(kBlocked, b);
         },
         false,
         true,
         {"conn : sbl : invalid config file size (40)"},
         nullptr,
         -1},
        {"blocked.cfg oversized (129 items)",
         [] {
             good_record();
             site::Bytes b;
             for (int i = 0; i < 129; ++i) {
                 site::Bytes one = blocked_items({"x"});
                 b.insert(b.end(), one.begin(), one.end());
             }
             write_bytes(kBlocked, b);
         },
         false,
         true,
         {"conn : sbl : invalid config file size (4644)"},
         nullptr,
         -1},
        {"blocked.cfg a FIFO",
         [] {
             good_record();
             make_fifo(kBlocked);
         },
         false,
         true,
         {"conn : sbl : cannot open config file"},
         [] { EXPECT_TRUE(is_fifo(kBlocked)) << "the FIFO was replaced"; },
         -1},
        {"blocked.cfg of two items (uploaded)",
         [] {
             good_record();
             write_bytes(kBlocked, blocked_items({"alice", "bob"}));
         },
         false,
         true,
         {"conn : sbl : sending item : alice", "conn : sbl : sending item : bob"},
         nullptr,
         2},
    };
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        for (const Fault &f : faults)
            ASSERT_NO_FATAL_FAILURE(run(f));
    }
}

// "/config" a read-only mount: the daemon starts with what it can read, uses
// factory values in memory when the record is missing, and never restarts
// itself for a codec it cannot store.
TEST_F(ConfigFaults, ReadOnlyConfigDirectory)
{
    const std::string port_line = "remote_port:" + std::to_string(g_port);
    const std::vector<Fault> faults = {
        {"read-only with good files",
         [] {
             good_record();
             write_bytes(kBlocked, blocked_items({"alice"}));
         },
         true,
         true,
         {port_line.c_str()},
         [] { expect_codec_file(1); },
         1},
        {"read-only and empty", [] {}, true, false, factory_lines(),
         [] { EXPECT_TRUE(read_bytes(kMain).empty()) << "main.cfg appeared on a read-only /config"; }},
        {"read-only without codec.cfg",
         [] {
             good_record();
             ::unlink(kCodec);
         },
         true,
         true,
         {port_line.c_str()},
         [] { expect_codec_file(-1); },
         -1},
        {"read-only with a truncated record", [] { write_bytes(kMain, site::Bytes(50, 0x32)); }, true, false,
         factory_lines(), [] { EXPECT_EQ(read_bytes(kMain).size(), 50u); }},
    };
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        for (const Fault &f : faults)
            ASSERT_NO_FATAL_FAILURE(run(f));
    }
}

// A server that demands another codec while "/config" is read-only: the codec
// cannot be stored, so the daemon says so and stays up with its own.
TEST_F(ConfigFaults, ReadOnlyConfigAndAServerDemandingAnotherCodec)
{
    server_.reset();
    new_ports();
    start_server(3);
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        clear_config();
        site::write_config(g_port, 0, 1);
        ReadOnlyConfig ro;
        ASSERT_TRUE(ro.ok());
        site::Child gw;
        ASSERT_EQ(gw.start({site::bin("gwlinkd")}), 0);
        EXPECT_TRUE(gw.wait_for_line("cannot store codec type 3, going on with codec 1", 30s));
        // A restart would end this process ("killall gwlinkd") within moments.
        EXPECT_EQ(gw.wait_exit(3s), -1) << "the daemon ended";
        EXPECT_TRUE(gw.running());
        gw.stop();
        if (HasFailure())
            std::printf("---- gwlinkd output (tail) ----\n%s", gw.tail(60).c_str());
    }
}

// The one-shot commands on a read-only "/config": --getconfig prints the
// factory values and succeeds, --createconfig reports the failure.
TEST_F(ConfigFaults, OneShotCommandsOnAReadOnlyConfig)
{
    clear_config();
    ReadOnlyConfig ro;
    ASSERT_TRUE(ro.ok());
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        site::Child get;
        ASSERT_EQ(get.start({site::bin("gwlinkd"), "--getconfig"}), 0);
        EXPECT_EQ(get.wait_exit(20s), 0);
        EXPECT_GE(get.find("remote_port:5555"), 0) << get.tail();
        site::Child create;
        ASSERT_EQ(create.start({site::bin("gwlinkd"), "--createconfig"}), 0);
        EXPECT_EQ(create.wait_exit(20s), 255);
    }
}

} // namespace
