// gwlinkd with a board device missing. The whole program runs inside a box and
// starts gwlinkd there after moving a device node out of the way.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace
{

const std::string gwlinkd = GW_BUILD_DIR "/bin/gwlinkd";

struct Result {
    int status = -1;
    std::string out;
};

// Runs gwlinkd with `args`, collecting its standard output.
Result run_gwlinkd(const std::vector<std::string> &args)
{
    Result r;
    int fds[2];
    if (::pipe(fds) != 0)
        return r;
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(fds[1], 1);
        ::close(fds[0]);
        ::close(fds[1]);
        std::vector<char *> argv;
        argv.push_back(const_cast<char *>(gwlinkd.c_str()));
        for (const std::string &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        _exit(127);
    }
    ::close(fds[1]);
    char buf[4096];
    ssize_t n;
    while ((n = ::read(fds[0], buf, sizeof buf)) > 0)
        r.out.append(buf, static_cast<size_t>(n));
    ::close(fds[0]);
    int st = 0;
    if (pid > 0 && ::waitpid(pid, &st, 0) == pid && WIFEXITED(st))
        r.status = WEXITSTATUS(st);
    return r;
}

// Moves a device node away for the life of the object.
class Hidden
{
  public:
    explicit Hidden(std::string path) : path_(std::move(path))
    {
        ok_ = std::rename(path_.c_str(), (path_ + ".away").c_str()) == 0;
    }
    ~Hidden()
    {
        if (ok_)
            std::rename((path_ + ".away").c_str(), path_.c_str());
    }
    bool ok() const { return ok_; }

  private:
    std::string path_;
    bool ok_ = false;
};

void write_file(const char *path, const std::vector<uint8_t> &data)
{
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char *>(data.data()), static_cast<std::streamsize>(data.size()));
}

std::vector<uint8_t> read_file(const char *path)
{
    std::ifstream f(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

const char defaults[] = "ver:2\nip:172.16.0.188\ngw:172.16.0.1\ndns:0.0.0.0\nremote_ip:172.16.0.189\n"
                        "remote_port:5555\nremote_user:user\nremote_passwd:qzv\nbuffers:4\npasswd:qzv\n"
                        "radio_type:1\ncrypto_mode:0\n\n";

class GwlinkdInBox : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        if (std::getenv("BOARDBOX_CONTROL") == nullptr)
            GTEST_SKIP() << "runs only inside boardbox";
    }
};

} // namespace

TEST_F(GwlinkdInBox, RecoverWithoutGpioDeviceIsFatal)
{
    Hidden uio("/dev/uio0");
    ASSERT_TRUE(uio.ok());
    Result r = run_gwlinkd({"--recover"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "error : cannot initialize gpio\n\n");
}

TEST_F(GwlinkdInBox, UpgblinkWithoutGpioDeviceIsFatalBeforeDetaching)
{
    Hidden uio("/dev/uio0");
    ASSERT_TRUE(uio.ok());
    Result r = run_gwlinkd({"--upgblink"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "error : cannot initialize gpio\n\n");
}

TEST_F(GwlinkdInBox, StartWithoutAmplifierIsFatalAfterTheConfiguration)
{
    Hidden i2c("/dev/i2c-0");
    ASSERT_TRUE(i2c.ok());
    ::unlink("/config/main.cfg");
    write_file("/config/codec.cfg", {3, 0, 0, 0});
    Result r = run_gwlinkd({});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, std::string(defaults) + "\nerror : cannot initialize i2c_max9768\n");
    // The missing configuration was written with its defaults.
    EXPECT_EQ(read_file("/config/main.cfg").size(), 136u);
    EXPECT_EQ(read_file("/config/codec.cfg"), (std::vector<uint8_t>{1, 0, 0, 0}));
}

TEST_F(GwlinkdInBox, GetconfigNeedsNoBoardDevice)
{
    Hidden uio("/dev/uio0");
    Hidden i2c("/dev/i2c-0");
    ASSERT_TRUE(uio.ok() && i2c.ok());
    ::unlink("/config/main.cfg");
    Result r = run_gwlinkd({"--getconfig"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, defaults);
}
