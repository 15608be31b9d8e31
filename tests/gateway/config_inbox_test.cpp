// class_config against the real "/config" files. The whole program runs inside
// a box, whose /config is a private tmpfs.
#include "gateway/config.h"
#include "tests/gateway/factory_image.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <poll.h>
#include <string>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace
{

const char main_cfg[] = "/config/main.cfg";
const char codec_cfg[] = "/config/codec.cfg";
const char blocked_cfg[] = "/config/blocked.cfg";

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

bool exists(const char *path)
{
    struct stat st;
    return ::lstat(path, &st) == 0;
}

mode_t permissions(const char *path)
{
    struct stat st;
    if (::stat(path, &st) != 0)
        return 0;
    return st.st_mode & 07777;
}

// A blocked-list item: four opaque bytes, then the name field.
std::vector<uint8_t> item(const std::string &name, uint8_t tag = 0xAB)
{
    std::vector<uint8_t> it(36, 0);
    it[0] = tag;
    std::memcpy(it.data() + 4, name.data(), name.size() < 32 ? name.size() : 32);
    return it;
}

std::vector<uint8_t> items(int count)
{
    std::vector<uint8_t> all;
    for (int i = 0; i < count; ++i) {
        std::vector<uint8_t> it = item("user" + std::to_string(i));
        all.insert(all.end(), it.begin(), it.end());
    }
    return all;
}

// Runs `call` in a child process and returns its result, or "hung" when it
// has not finished within ten seconds (the child is then killed).
template <typename Call> std::string result_within_deadline(Call call)
{
    std::fflush(stdout);
    pid_t pid = ::fork();
    if (pid == 0)
        _exit((call() + 1) & 0xFF);
    if (pid < 0)
        return "fork failed";
    int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    struct pollfd p = {pidfd, POLLIN, 0};
    bool ended = pidfd >= 0 && ::poll(&p, 1, 10000) == 1;
    if (!ended)
        ::kill(pid, SIGKILL);
    int st = 0;
    ::waitpid(pid, &st, 0);
    if (pidfd >= 0)
        ::close(pidfd);
    if (!ended)
        return "hung";
    return WIFEXITED(st) ? std::to_string(WEXITSTATUS(st) - 1) : "crashed";
}

bool is_fifo(const char *path)
{
    struct stat st;
    return ::lstat(path, &st) == 0 && S_ISFIFO(st.st_mode);
}

class ConfigFiles : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        // Only ever touch a box's private /config.
        if (std::getenv("BOARDBOX_CONTROL") == nullptr)
            GTEST_SKIP() << "runs only inside boardbox";
        for (const char *p : {main_cfg, codec_cfg, blocked_cfg})
            ::unlink(p);
    }

    std::string print_of(class_config &cfg)
    {
        ::testing::internal::CaptureStdout();
        EXPECT_EQ(cfg.print(), 0);
        std::fflush(stdout);
        return ::testing::internal::GetCapturedStdout();
    }

    std::string blocked_load(class_config &cfg, int &rc)
    {
        ::testing::internal::CaptureStdout();
        rc = cfg.setblockedlist_load();
        std::fflush(stdout);
        return ::testing::internal::GetCapturedStdout();
    }
};

} // namespace

TEST_F(ConfigFiles, ConstructorTouchesNoFileAndStartsZeroed)
{
    class_config cfg;
    EXPECT_FALSE(exists(main_cfg));
    EXPECT_EQ(std::vector<uint8_t>(cfg.record(), cfg.record() + 136), std::vector<uint8_t>(136, 0));
    EXPECT_EQ(cfg.codec(), 0);
    EXPECT_FALSE(cfg.is_blocked(""));
}

TEST_F(ConfigFiles, LoadWithoutFileFails)
{
    class_config cfg;
    EXPECT_EQ(cfg.load(), -1);
    EXPECT_FALSE(exists(codec_cfg)) << "nothing is written when the record is missing";
}

TEST_F(ConfigFiles, LoadAcceptsTheCurrentRecord)
{
    std::vector<uint8_t> img = factory_image;
    img[20] = 0xC8, img[21] = 0x00; // port 200
    write_file(main_cfg, img);
    write_file(codec_cfg, {3, 0, 0, 0});
    class_config cfg;
    ASSERT_EQ(cfg.load(), 0);
    EXPECT_EQ(std::vector<uint8_t>(cfg.record(), cfg.record() + 136), img);
    EXPECT_EQ(cfg.fields().remote_port, 200);
    EXPECT_EQ(cfg.codec(), 3);
}

TEST_F(ConfigFiles, LoadRefusesEveryWrongSizeAndKeepsTheRecord)
{
    class_config cfg;
    write_file(main_cfg, factory_image);
    ASSERT_EQ(cfg.load(), 0);
    for (size_t size : {0, 1, 100, 131, 133, 134, 135, 137, 138, 1000}) {
        std::vector<uint8_t> img = factory_image;
        img.resize(size, '2');
        if (size > 0)
            img[0] = '1';
        write_file(main_cfg, img);
        EXPECT_EQ(cfg.load(), -1) << size;
        EXPECT_EQ(std::vector<uint8_t>(cfg.record(), cfg.record() + 136), factory_image) << size;
    }
}

TEST_F(ConfigFiles, LoadRefusesAnUnknownVersion)
{
    for (char ver : {'0', '1', '3', '9', 'x', '\0'}) {
        std::vector<uint8_t> img = factory_image;
        img[0] = static_cast<uint8_t>(ver);
        write_file(main_cfg, img);
        class_config cfg;
        EXPECT_EQ(cfg.load(), -1) << int(ver);
    }
    for (char ver : {'2', '3', 'x'}) {
        std::vector<uint8_t> img = factory_image;
        img.resize(132);
        img[0] = static_cast<uint8_t>(ver);
        write_file(main_cfg, img);
        class_config cfg;
        EXPECT_EQ(cfg.load(), -1) << int(ver);
    }
}

TEST_F(ConfigFiles, OlderRecordIsUpgradedInMemoryOnly)
{
    std::vector<uint8_t> v0 = factory_image;
    v0.resize(132);
    v0[0] = '0';
    v0[124] = 4;
    v0[128] = 1;
    write_file(main_cfg, v0);
    class_config cfg;
    ASSERT_EQ(cfg.load(), 0);
    config_format::config_record rec = cfg.fields();
    EXPECT_EQ(rec.ver, '2');
    EXPECT_EQ(rec.radio_type, 1);
    EXPECT_EQ(rec.crypto_mode, 0);
    EXPECT_EQ(rec.mask, 0u);
    EXPECT_EQ(read_file(main_cfg), v0);
}

TEST_F(ConfigFiles, ZeroBuffersLoadAsFour)
{
    std::vector<uint8_t> img = factory_image;
    img[88] = 0;
    write_file(main_cfg, img);
    class_config cfg;
    ASSERT_EQ(cfg.load(), 0);
    EXPECT_EQ(cfg.fields().buffers, 4);
}

TEST_F(ConfigFiles, MissingOrBrokenCodecFileIsRepairedWithAlaw)
{
    const std::vector<std::vector<uint8_t>> broken = {{}, {2}, {2, 0, 0}, {0xFE, 0xFF, 0xFF, 0xFF}};
    for (bool present : {false, true}) {
        for (const std::vector<uint8_t> &codec : broken) {
            write_file(main_cfg, factory_image);
            ::unlink(codec_cfg);
            if (present)
                write_file(codec_cfg, codec);
            class_config cfg;
            ASSERT_EQ(cfg.load(), 0);
            EXPECT_EQ(cfg.codec(), 1);
            EXPECT_EQ(read_file(codec_cfg), (std::vector<uint8_t>{1, 0, 0, 0}));
            if (!present)
                break;
        }
    }
}

TEST_F(ConfigFiles, CodecValueIsNotRangeCheckedHere)
{
    write_file(main_cfg, factory_image);
    write_file(codec_cfg, {4, 0, 0, 0, 9, 9});
    class_config cfg;
    ASSERT_EQ(cfg.load(), 0);
    EXPECT_EQ(cfg.codec(), 4);
    EXPECT_EQ(cfg.load_codec(), 4);
}

TEST_F(ConfigFiles, SaveCodecWritesTheFileButNotTheMemory)
{
    write_file(main_cfg, factory_image);
    write_file(codec_cfg, {1, 0, 0, 0});
    class_config cfg;
    ASSERT_EQ(cfg.load(), 0);
    ASSERT_EQ(cfg.save_codec(0x01020302), 0);
    EXPECT_EQ(read_file(codec_cfg), (std::vector<uint8_t>{2, 3, 2, 1}));
    EXPECT_EQ(cfg.codec(), 1);
    EXPECT_EQ(cfg.load_codec(), 0x01020302);
}

TEST_F(ConfigFiles, NewFilesAreOwnerOnly)
{
    class_config cfg;
    ASSERT_EQ(cfg.create_default(), 0);
    EXPECT_EQ(permissions(main_cfg), 0600u);
    EXPECT_EQ(permissions(codec_cfg), 0600u);
    ::unlink(codec_cfg);
    ASSERT_EQ(cfg.save_codec(2), 0);
    EXPECT_EQ(permissions(codec_cfg), 0600u);
}

TEST_F(ConfigFiles, CreateDefaultWritesFactoryFilesAndDropsTheBlockedList)
{
    write_file(codec_cfg, {3, 0, 0, 0});
    write_file(blocked_cfg, items(2));
    class_config cfg;
    ASSERT_EQ(cfg.create_default(), 0);
    EXPECT_EQ(read_file(main_cfg), factory_image);
    EXPECT_EQ(std::vector<uint8_t>(cfg.record(), cfg.record() + 136), factory_image);
    EXPECT_EQ(read_file(codec_cfg), (std::vector<uint8_t>{1, 0, 0, 0}));
    EXPECT_EQ(cfg.codec(), 1);
    EXPECT_FALSE(exists(blocked_cfg));
    // And again, with no blocked list left to delete.
    EXPECT_EQ(cfg.create_default(), 0);
}

TEST_F(ConfigFiles, CreateDefaultFailsWhenTheRecordCannotBeWritten)
{
    ASSERT_EQ(::mkdir(main_cfg, 0700), 0);
    write_file(codec_cfg, {3, 0, 0, 0});
    class_config cfg;
    EXPECT_EQ(cfg.create_default(), -1);
    EXPECT_EQ(read_file(codec_cfg), (std::vector<uint8_t>{3, 0, 0, 0})) << "nothing else changes";
    // In memory the factory values are complete, codec included, so that the
    // daemon can still start on them.
    EXPECT_EQ(config_format::decode(cfg.record()).remote_port, 5555);
    EXPECT_EQ(cfg.codec(), 1);
    EXPECT_EQ(cfg.load(), -1);
    ::rmdir(main_cfg);
}

TEST_F(ConfigFiles, SpecialFilesAreNotReadAsConfiguration)
{
    ASSERT_EQ(::mkfifo(main_cfg, 0600), 0);
    ASSERT_EQ(::mkfifo(codec_cfg, 0600), 0);
    class_config cfg;
    EXPECT_EQ(cfg.load(), -1) << "a FIFO must neither block nor count";
    EXPECT_EQ(cfg.load_codec(), -1);
    ::unlink(main_cfg);
    ::unlink(codec_cfg);
}

// Writing must not wait for a reader that never comes, and must not replace
// what someone put there on purpose either.
TEST_F(ConfigFiles, SpecialFilesAreNeitherWrittenNorReplaced)
{
    ASSERT_EQ(::mkfifo(codec_cfg, 0600), 0);
    EXPECT_EQ(result_within_deadline([] { return class_config().save_codec(2); }), "-1");
    EXPECT_TRUE(is_fifo(codec_cfg));

    // A valid record with a FIFO for the codec: the load still succeeds with
    // A-law, as with a missing codec file.
    write_file(main_cfg, factory_image);
    EXPECT_EQ(result_within_deadline([] {
                  class_config cfg;
                  return cfg.load() == 0 ? cfg.codec() : -1;
              }),
              "1");
    EXPECT_TRUE(is_fifo(codec_cfg));

    ::unlink(main_cfg);
    ASSERT_EQ(::mkfifo(main_cfg, 0600), 0);
    EXPECT_EQ(result_within_deadline([] { return class_config().create_default(); }), "-1");
    EXPECT_TRUE(is_fifo(main_cfg));
    ::unlink(main_cfg);
    ::unlink(codec_cfg);
}

TEST_F(ConfigFiles, PrintShowsTheLoadedRecord)
{
    std::vector<uint8_t> img = factory_image;
    img[132] = 255, img[133] = 255, img[134] = 255;
    write_file(main_cfg, img);
    class_config cfg;
    ASSERT_EQ(cfg.load(), 0);
    EXPECT_EQ(print_of(cfg), "ver:2\nip:172.16.0.188\ngw:172.16.0.1\ndns:0.0.0.0\nremote_ip:172.16.0.189\n"
                             "remote_port:5555\nremote_user:user\nremote_passwd:qzv\nbuffers:4\npasswd:qzv\n"
                             "radio_type:1\ncrypto_mode:0\nmask:255.255.255.0\n\n");
}

TEST_F(ConfigFiles, BlockedListMissingIsReported)
{
    class_config cfg;
    int rc = 0;
    EXPECT_EQ(blocked_load(cfg, rc), "cfg : load_setblockedlist : cannot open config file\n");
    EXPECT_EQ(rc, -1);
}

TEST_F(ConfigFiles, BlockedListOfWrongSizeIsRejectedAndLeftEmpty)
{
    class_config cfg;
    write_file(blocked_cfg, items(1));
    int rc = 0;
    blocked_load(cfg, rc);
    ASSERT_EQ(rc, 0);
    ASSERT_TRUE(cfg.is_blocked("user0"));

    for (size_t size : {0, 35, 40, 4644, 4610, 9216}) {
        std::vector<uint8_t> data = items(129);
        data.resize(size, 0);
        write_file(blocked_cfg, data);
        EXPECT_EQ(blocked_load(cfg, rc),
                  "cfg : load_setblockedlist : invalid config file size (" + std::to_string(size) + ")\n");
        EXPECT_EQ(rc, -1);
        EXPECT_FALSE(cfg.is_blocked("user0")) << size;
        EXPECT_FALSE(cfg.is_blocked("")) << size;
    }
}

TEST_F(ConfigFiles, BlockedListItemsAreLoadedInOrder)
{
    std::vector<uint8_t> data = item("alice");
    std::vector<uint8_t> second = item("Bob", 0x00);
    data.insert(data.end(), second.begin(), second.end());
    write_file(blocked_cfg, data);
    class_config cfg;
    int rc = 0;
    EXPECT_EQ(blocked_load(cfg, rc), "cfg : load_setblockedlist : item : [alice]\n"
                                     "cfg : load_setblockedlist : item : [Bob]\n");
    EXPECT_EQ(rc, 0);
    EXPECT_TRUE(cfg.is_blocked("alice"));
    EXPECT_TRUE(cfg.is_blocked("Bob"));
    EXPECT_FALSE(cfg.is_blocked("bob")) << "exact, case-sensitive";
    EXPECT_FALSE(cfg.is_blocked("alic"));
    EXPECT_FALSE(cfg.is_blocked("alice "));
    EXPECT_FALSE(cfg.is_blocked(""));
}

TEST_F(ConfigFiles, BlockedListTakesOneHundredTwentyEightItems)
{
    write_file(blocked_cfg, items(128));
    class_config cfg;
    int rc = 0;
    std::string out = blocked_load(cfg, rc);
    EXPECT_EQ(rc, 0);
    EXPECT_TRUE(cfg.is_blocked("user0"));
    EXPECT_TRUE(cfg.is_blocked("user127"));
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 128);
}

TEST_F(ConfigFiles, BlockedNameWithoutNulStaysInsideItsItem)
{
    std::vector<uint8_t> data(72, 'z');
    write_file(blocked_cfg, data);
    class_config cfg;
    int rc = 0;
    std::string name(32, 'z');
    EXPECT_EQ(blocked_load(cfg, rc), "cfg : load_setblockedlist : item : [" + name +
                                         "]\ncfg : load_setblockedlist : item : [" + name + "]\n");
    EXPECT_EQ(rc, 0);
    EXPECT_TRUE(cfg.is_blocked(name));
    EXPECT_FALSE(cfg.is_blocked(std::string(33, 'z')));
}

TEST_F(ConfigFiles, EmptyNameIsBlockedOnlyWhenListed)
{
    write_file(blocked_cfg, item(""));
    class_config cfg;
    int rc = 0;
    EXPECT_EQ(blocked_load(cfg, rc), "cfg : load_setblockedlist : item : []\n");
    EXPECT_TRUE(cfg.is_blocked(""));
    EXPECT_FALSE(cfg.is_blocked("x"));
}
