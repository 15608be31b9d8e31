// gwcfg run as a program on configuration folders of the host.
#include "gateway/config_record.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

namespace
{

const std::string gwcfg = GW_BUILD_DIR "/bin/gwcfg";

class TempDir
{
  public:
    TempDir()
    {
        char tmpl[] = "/tmp/gwcfg-test-XXXXXX";
        const char *p = ::mkdtemp(tmpl);
        path_ = p ? p : "";
    }
    ~TempDir() { std::system(("rm -rf '" + path_ + "'").c_str()); }
    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

std::vector<uint8_t> read_file(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

struct Outcome {
    int status;
    std::string out;
};

Outcome run(const std::string &dir, const std::vector<std::string> &args)
{
    std::string cmd = "'" + gwcfg + "' --dir '" + dir + "'";
    for (const std::string &a : args)
        cmd += " '" + a + "'";
    cmd += " 2>&1";
    Outcome r{-1, ""};
    FILE *p = ::popen(cmd.c_str(), "r");
    if (!p)
        return r;
    char buf[512];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0)
        r.out.append(buf, n);
    int st = ::pclose(p);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
}

std::vector<std::string> files_of(const std::string &dir)
{
    std::vector<std::string> names;
    std::string cmd = "ls -A '" + dir + "'";
    FILE *p = ::popen(cmd.c_str(), "r");
    char line[256];
    while (p && std::fgets(line, sizeof line, p)) {
        std::string s(line);
        s.pop_back();
        names.push_back(s);
    }
    if (p)
        ::pclose(p);
    return names;
}

mode_t mode_of(const std::string &path)
{
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

} // namespace

TEST(Gwcfg, SetsEveryFieldAndShowsItAsTheGatewayPrintsIt)
{
    TempDir dir;
    ASSERT_EQ(run(dir.path(), {"reset"}).status, 0);
    Outcome r = run(dir.path(), {"set",
                             "ip",
                             "10.1.2.3",
                             "gw",
                             "10.1.2.1",
                             "dns",
                             "10.1.2.53",
                             "mask",
                             "255.255.255.0",
                             "remote_ip",
                             "127.0.0.1",
                             "remote_port",
                             "5556",
                             "remote_user",
                             "operator-with-31-byte-long-name",
                             "remote_passwd",
                             "s3cret",
                             "passwd",
                             "local",
                             "buffers",
                             "7",
                             "radio_type",
                             "nx700",
                             "crypto_mode",
                             "2",
                             "codec",
                             "speex"});
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(run(dir.path(), {"blocked", "add", "mallory"}).status, 0);
    EXPECT_EQ(run(dir.path(), {"blocked", "add", "eve"}).status, 0);
    EXPECT_EQ(run(dir.path(), {"blocked", "remove", "mallory"}).status, 0);

    r = run(dir.path(), {"show"});
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out, "ver:2\nip:10.1.2.3\ngw:10.1.2.1\ndns:10.1.2.53\nremote_ip:127.0.0.1\nremote_port:5556\n"
                     "remote_user:operator-with-31-byte-long-name\nremote_passwd:s3cret\nbuffers:7\n"
                     "passwd:local\nradio_type:6\ncrypto_mode:2\nmask:255.255.255.0\n\ncodec:speex\n"
                     "blocked:eve\n");
    EXPECT_EQ(read_file(dir.file("codec.cfg")), (std::vector<uint8_t>{3, 0, 0, 0}));
    std::vector<uint8_t> blocked = read_file(dir.file("blocked.cfg"));
    ASSERT_EQ(blocked.size(), 36u);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(&blocked[4])), "eve");
    for (const char *f : {"main.cfg", "codec.cfg", "blocked.cfg"})
        EXPECT_EQ(mode_of(dir.file(f)), 0600u) << f;
    // Radio types by number too; the record keeps its version byte.
    ASSERT_EQ(run(dir.path(), {"set", "radio_type", "3"}).status, 0);
    EXPECT_EQ(read_file(dir.file("main.cfg"))[config_format::off_radio_type], 3);
    EXPECT_EQ(read_file(dir.file("main.cfg"))[config_format::off_ver], '2');
}

TEST(Gwcfg, RefusedValuesChangeNoByte)
{
    TempDir dir;
    ASSERT_EQ(run(dir.path(), {"reset"}).status, 0);
    ASSERT_EQ(run(dir.path(), {"blocked", "add", "eve"}).status, 0);
    const std::vector<uint8_t> main_before = read_file(dir.file("main.cfg"));
    const std::vector<uint8_t> codec_before = read_file(dir.file("codec.cfg"));
    const std::vector<uint8_t> blocked_before = read_file(dir.file("blocked.cfg"));

    const std::vector<std::vector<std::string>> refused = {
        {"set", "remote_user", "this-name-is-thirty-two-bytes-xx"},
        {"set", "passwd", std::string(40, 'p')},
        {"set", "ip", "10.1.2"},
        {"set", "remote_ip", "300.1.1.1"},
        {"set", "mask", "host.example"},
        {"set", "remote_port", "0"},
        {"set", "remote_port", "65536"},
        {"set", "remote_port", "55x"},
        {"set", "buffers", "0"},
        {"set", "buffers", "251"},
        {"set", "buffers", "2147483647"},
        {"set", "radio_type", "7"},
        {"set", "radio_type", "gm361"},
        {"set", "crypto_mode", "3"},
        {"set", "codec", "opus"},
        {"set", "colour", "blue"},
        // A good pair before a bad one changes nothing either.
        {"set", "remote_port", "6000", "buffers", "-1"},
        {"set", "codec", "gsm", "ip", "1.2.3.4.5"},
        {"set", "remote_port"},
        {"blocked", "add", std::string(32, 'n')},
        {"blocked", "remove", "mallory"},
        {"blocked", "frobnicate", "eve"},
    };
    for (const auto &args : refused) {
        Outcome r = run(dir.path(), args);
        std::string what = args[0] + " " + (args.size() > 1 ? args[1] : "");
        EXPECT_NE(r.status, 0) << what;
        EXPECT_FALSE(r.out.empty()) << what;
        EXPECT_EQ(read_file(dir.file("main.cfg")), main_before) << what;
        EXPECT_EQ(read_file(dir.file("codec.cfg")), codec_before) << what;
        EXPECT_EQ(read_file(dir.file("blocked.cfg")), blocked_before) << what;
    }
    EXPECT_EQ(files_of(dir.path()), (std::vector<std::string>{"blocked.cfg", "codec.cfg", "main.cfg"}));
}

TEST(Gwcfg, NonRegularFilesAreNeitherReadNorReplaced)
{
    TempDir dir;
    ASSERT_EQ(::mkfifo(dir.file("main.cfg").c_str(), 0600), 0);
    Outcome r = run(dir.path(), {"show"});
    EXPECT_EQ(r.status, 1) << r.out;
    r = run(dir.path(), {"set", "remote_port", "6000"});
    EXPECT_EQ(r.status, 1) << r.out;
    struct stat st;
    ASSERT_EQ(::lstat(dir.file("main.cfg").c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
}

TEST(Gwcfg, KilledAtAnyPointLeavesALoadableRecord)
{
    TempDir dir;
    ASSERT_EQ(run(dir.path(), {"reset"}).status, 0);
    std::mt19937 rng(1234);
    std::uniform_int_distribution<int> delay_us(0, 3000);
    int killed = 0;
    for (int i = 0; i < 1000; ++i) {
        std::string port = std::to_string(1000 + i);
        pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            int null = ::open("/dev/null", O_WRONLY);
            ::dup2(null, 1);
            ::dup2(null, 2);
            ::execl(gwcfg.c_str(), gwcfg.c_str(), "--dir", dir.path().c_str(), "set", "remote_port",
                    port.c_str(), "codec", (i % 2) ? "gsm" : "alaw", static_cast<char *>(nullptr));
            ::_exit(127);
        }
        ::usleep(static_cast<useconds_t>(delay_us(rng)));
        ::kill(pid, SIGKILL);
        int st;
        ::waitpid(pid, &st, 0);
        if (WIFSIGNALED(st))
            ++killed;
        std::vector<uint8_t> data = read_file(dir.file("main.cfg"));
        uint8_t rec[config_format::record_size];
        ASSERT_EQ(config_format::upgrade(data.data(), data.size(), rec), 0) << "after run " << i;
        std::vector<uint8_t> codec = read_file(dir.file("codec.cfg"));
        ASSERT_EQ(codec.size(), 4u) << "after run " << i;
        ASSERT_TRUE(codec[0] == 1 || codec[0] == 2) << "after run " << i;
    }
    EXPECT_GT(killed, 0);
    // The next run sweeps what interrupted runs left behind.
    ASSERT_EQ(run(dir.path(), {"show"}).status, 0);
    EXPECT_EQ(files_of(dir.path()), (std::vector<std::string>{"codec.cfg", "main.cfg"}));
}

// The extra settings: set by name with the record's ranges, shown after the
// rest, written atomically and owner-only; a file gwlinkd would not use is
// reported and never replaced by a set, and reset removes it.
TEST(Gwcfg, ExtraSettingsAreCheckedShownAndReplacedLikeTheRest)
{
    TempDir dir;
    ASSERT_EQ(run(dir.path(), {"reset"}).status, 0);
    const std::string classic = run(dir.path(), {"show"}).out;
    Outcome r = run(dir.path(), {"set", "backup_ip", "10.0.0.7", "backup_port", "5557", "tx_timeout", "45"});
    ASSERT_EQ(r.status, 0) << r.out;
    ASSERT_EQ(run(dir.path(), {"set", "voice_alarm", "10", "backup_after", "2", "main_retry", "30"}).status,
              0);
    EXPECT_EQ(read_file(dir.file("extra.cfg")),
              (std::vector<uint8_t>{'G', 'W', 'X', 'C', 1,  0, 0, 0, 10, 0, 0, 7, 0xB5, 0x15, 0, 0,
                                    2,   0,   0,   0,   30, 0, 0, 0, 45, 0, 0, 0, 10,   0,    0, 0}));
    EXPECT_EQ(mode_of(dir.file("extra.cfg")), 0600u);
    r = run(dir.path(), {"show"});
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out, classic + "backup_ip:10.0.0.7\nbackup_port:5557\nbackup_after:2\nmain_retry:30\n"
                               "tx_timeout:45\nvoice_alarm:10\n");

    const std::vector<uint8_t> before = read_file(dir.file("extra.cfg"));
    const std::vector<uint8_t> main_before = read_file(dir.file("main.cfg"));
    const std::vector<std::vector<std::string>> refused = {
        {"set", "backup_ip", "10.0.0"},
        {"set", "backup_port", "65536"},
        {"set", "backup_port", "-1"},
        {"set", "backup_after", "0"},
        {"set", "backup_after", "101"},
        {"set", "main_retry", "4"},
        {"set", "tx_timeout", "3601"},
        {"set", "voice_alarm", "10s"},
        {"set", "tx_timeout", ""},
        {"set", "remote_port", "6000", "tx_timeout", "x"},
        {"set", "tx_timeout", "5", "buffers", "0"},
    };
    for (const auto &args : refused) {
        Outcome o = run(dir.path(), args);
        EXPECT_EQ(o.status, 1) << args[1] << " " << args[2];
        EXPECT_NE(o.out.find("nothing changed"), std::string::npos) << o.out;
        EXPECT_EQ(read_file(dir.file("extra.cfg")), before) << args[1];
        EXPECT_EQ(read_file(dir.file("main.cfg")), main_before) << args[1];
    }

    // Garbage, a short file, a FIFO: shown as unusable, not replaced by set.
    struct Bad {
        const char *name;
        std::vector<uint8_t> bytes; // empty: a FIFO
        const char *why;
    };
    const Bad bad[] = {
        {"truncated", std::vector<uint8_t>(before.begin(), before.end() - 4), "invalid size (28 bytes)"},
        {"garbage", std::vector<uint8_t>(32, 0x5A), "not a settings record"},
        {"fifo", {}, "not a regular file"},
    };
    for (const Bad &b : bad) {
        SCOPED_TRACE(b.name);
        ::unlink(dir.file("extra.cfg").c_str());
        if (b.bytes.empty()) {
            ASSERT_EQ(::mkfifo(dir.file("extra.cfg").c_str(), 0600), 0);
        } else {
            std::ofstream(dir.file("extra.cfg"), std::ios::binary)
                .write(reinterpret_cast<const char *>(b.bytes.data()),
                       static_cast<std::streamsize>(b.bytes.size()));
        }
        Outcome o = run(dir.path(), {"show"});
        EXPECT_EQ(o.status, 1);
        EXPECT_NE(o.out.find(b.why), std::string::npos) << o.out;
        EXPECT_NE(o.out.find("every extension off"), std::string::npos) << o.out;
        EXPECT_EQ(run(dir.path(), {"set", "tx_timeout", "5"}).status, 1);
        if (!b.bytes.empty()) {
            EXPECT_EQ(read_file(dir.file("extra.cfg")), b.bytes);
        }
    }
    // reset leaves a FIFO alone, as for the other files; a regular file goes.
    EXPECT_EQ(run(dir.path(), {"reset"}).status, 1);
    ::unlink(dir.file("extra.cfg").c_str());
    ASSERT_EQ(run(dir.path(), {"set", "tx_timeout", "5"}).status, 0);
    ASSERT_EQ(run(dir.path(), {"reset"}).status, 0);
    EXPECT_EQ(files_of(dir.path()), (std::vector<std::string>{"codec.cfg", "main.cfg"}));
    EXPECT_EQ(run(dir.path(), {"show"}).out, classic);
}
