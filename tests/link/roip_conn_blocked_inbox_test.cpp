// The blocked-list upload at login, with "/config/blocked.cfg" in place. The
// whole program runs inside a box: /config is the box's own.
#include "link/roip_conn.h"

#include "link_test_support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

using namespace linktest;

namespace
{

const char *const path = "/config/blocked.cfg";

bool inside_box()
{
    struct stat st {
    };
    return std::getenv("BOARDBOX_CONTROL") != nullptr && stat("/config", &st) == 0 && S_ISDIR(st.st_mode);
}

Bytes item(uint32_t first, const std::string &name)
{
    Bytes b(36, 0);
    bytes::put_le32(b.data(), first);
    std::memcpy(b.data() + 4, name.data(), std::min<size_t>(name.size(), 32));
    return b;
}

void write_file(const Bytes &content)
{
    int fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
    ::close(fd);
}

class BlockedList : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        if (!inside_box())
            GTEST_SKIP() << "runs only inside a box";
        ::unlink(path);
    }
    void TearDown() override
    {
        conn.reset();
        if (inside_box())
            ::unlink(path);
    }

    void start()
    {
        conn = std::make_unique<class_roip_conn>(&rec, "127.0.0.1", srv.port(), "user", "qzv", 8000, 0);
        ASSERT_EQ(conn->start(), 0);
        conn->go();
    }

    LogCapture log;
    Recorder rec;
    FakeServer srv;
    std::unique_ptr<class_roip_conn> conn;
};

const Bytes setptt1 = {5, 0, 0, 0, 1, 0, 0, 0};

} // namespace

TEST_F(BlockedList, UploadedAtProtocolSixAfterTheLoginResult)
{
    Bytes file = cat({item(0x01020304, "alice"), item(7, std::string(32, 'z'))});
    write_file(file);
    start();
    auto peer = accept_login(srv, version(1, 6));
    ASSERT_TRUE(peer);
    Bytes head = {0xBE, 0xBA, 0xAD, 0xDE, 72, 0, 0, 0, 0xE9, 0x03, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(peer->recv(16), head);
    EXPECT_EQ(peer->recv(72), file);
    EXPECT_EQ(rec.count("connected"), 0); // waits for the answer
    ASSERT_TRUE(peer->send(proto::build_ack()));
    ASSERT_TRUE(rec.wait("connected"));
    EXPECT_EQ(log.count("conn : sbl : sending item : alice"), 1);
    EXPECT_EQ(log.count("conn : sbl : sending item : " + std::string(32, 'z')), 1);
    ASSERT_EQ(conn->setptt(1), 0);
    EXPECT_EQ(peer->recv(8), setptt1);
}

TEST_F(BlockedList, LargestFileGoesWhole)
{
    Bytes file;
    for (int i = 0; i < 128; ++i)
        file = cat({file, item(static_cast<uint32_t>(i), "user" + std::to_string(i))});
    write_file(file);
    start();
    auto peer = accept_login(srv, version(2, 7));
    ASSERT_TRUE(peer);
    auto head = peer->recv(16);
    ASSERT_TRUE(head);
    EXPECT_EQ(bytes::get_le32(head->data() + 4), 4608u);
    EXPECT_EQ(peer->recv(4608), file);
    ASSERT_TRUE(peer->send(proto::build_ack()));
    EXPECT_TRUE(rec.wait("connected"));
}

TEST_F(BlockedList, AnswerOtherThanAckFailsTheLogin)
{
    write_file(item(1, "bob"));
    start();
    auto peer = accept_login(srv, version(1, 6));
    ASSERT_TRUE(peer);
    ASSERT_TRUE(peer->recv(16 + 36));
    ASSERT_TRUE(peer->send(proto::build_deny(2)));
    ASSERT_TRUE(log.wait_line("conn    : failed."));
    EXPECT_EQ(rec.count("connected"), 0);
}

TEST_F(BlockedList, InvalidSizesSendNothing)
{
    struct Case {
        Bytes content;
        const char *line;
    };
    Bytes big;
    for (int i = 0; i < 129; ++i)
        big = cat({big, item(0, "x")});
    const Case cases[] = {
        {Bytes{}, "conn : sbl : invalid config file size (0)"},
        {Bytes(40, 'a'), "conn : sbl : invalid config file size (40)"},
        {big, "conn : sbl : invalid config file size (4644)"},
    };
    for (const Case &c : cases) {
        write_file(c.content);
        start();
        auto peer = accept_login(srv, version(1, 6));
        ASSERT_TRUE(peer);
        ASSERT_TRUE(rec.wait("connected", 1));
        EXPECT_EQ(log.count(c.line), 1) << log.dump();
        ASSERT_EQ(conn->setptt(1), 0);
        EXPECT_EQ(peer->recv(8), setptt1);
        conn.reset();
        rec.clear();
    }
}

TEST_F(BlockedList, NotUploadedBelowProtocolSix)
{
    write_file(item(1, "carol"));
    start();
    auto peer = accept_login(srv, version(1, 5));
    ASSERT_TRUE(peer);
    ASSERT_TRUE(rec.wait("connected"));
    ASSERT_EQ(conn->setptt(1), 0);
    EXPECT_EQ(peer->recv(8), setptt1);
    EXPECT_EQ(log.count("conn : sbl : sending item : carol"), 0);
}

TEST_F(BlockedList, MissingFileIsNoFailure)
{
    start();
    auto peer = accept_login(srv, version(1, 6));
    ASSERT_TRUE(peer);
    ASSERT_TRUE(rec.wait("connected"));
    EXPECT_EQ(log.count("conn : sbl : cannot open config file"), 1);
    ASSERT_EQ(conn->setptt(1), 0);
    EXPECT_EQ(peer->recv(8), setptt1);
}
