#include "tools/gatesimd/control_socket.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace
{

class Control : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        path = "/tmp/gatesimd_ctl_" + std::to_string(getpid()) + "_" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name();
        unlink(path.c_str());
    }
    void TearDown() override { unlink(path.c_str()); }

    int connect_client()
    {
        int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
        if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
            close(fd);
            return -1;
        }
        return fd;
    }

    // Serves the socket until the client has `n` reply bytes or the time-out.
    std::string pump(int client, size_t n)
    {
        std::string got;
        for (int round = 0; round < 1000 && got.size() < n; round++) {
            std::vector<pollfd> p;
            for (int fd : ctl.fds())
                p.push_back({fd, POLLIN, 0});
            p.push_back({client, POLLIN, 0});
            if (poll(p.data(), p.size(), 10000) <= 0)
                break;
            for (size_t i = 0; i + 1 < p.size(); i++)
                if (p[i].revents)
                    ctl.on_readable(p[i].fd, [this](const std::string &l) {
                        lines.push_back(l);
                        return "ok " + l;
                    });
            if (p.back().revents) {
                char buf[256];
                ssize_t r = recv(client, buf, sizeof buf, 0);
                if (r <= 0)
                    break;
                got.append(buf, static_cast<size_t>(r));
            }
        }
        return got;
    }

    std::string path;
    ControlSocket ctl;
    std::vector<std::string> lines;
};

TEST_F(Control, AnswersEachLine)
{
    std::string err;
    ASSERT_TRUE(ctl.open(path, err)) << err;
    int c = connect_client();
    ASSERT_GE(c, 0);
    std::string req = "sql 1\ngpio 1 1\npartial";
    ASSERT_EQ(send(c, req.data(), req.size(), 0), static_cast<ssize_t>(req.size()));
    EXPECT_EQ(pump(c, 22), "ok sql 1\nok gpio 1 1\n");
    EXPECT_EQ(lines, (std::vector<std::string>{"sql 1", "gpio 1 1"}));
    close(c);
}

TEST_F(Control, ReplacesAStaleSocketButNotAFile)
{
    std::string err;
    {
        ControlSocket first;
        ASSERT_TRUE(first.open(path, err));
    }
    ASSERT_TRUE(ctl.open(path, err)) << err; // the first one removed its file, or left a stale one
    ControlSocket other;
    std::string file = path + ".file";
    int fd = open(file.c_str(), O_CREAT | O_WRONLY, 0600);
    close(fd);
    EXPECT_FALSE(other.open(file, err));
    EXPECT_NE(err.find("not a socket"), std::string::npos);
    unlink(file.c_str());
}

TEST_F(Control, RefusesAPathTooLongForASocket)
{
    std::string err;
    EXPECT_FALSE(ctl.open("/tmp/" + std::string(200, 'x'), err));
    EXPECT_FALSE(ctl.open("", err));
}

TEST_F(Control, ClosedClientsAreDropped)
{
    std::string err;
    ASSERT_TRUE(ctl.open(path, err));
    int c = connect_client();
    pump(c, 0);
    close(c);
    for (int i = 0; i < 100 && ctl.fds().size() > 1; i++) {
        std::vector<pollfd> p;
        for (int fd : ctl.fds())
            p.push_back({fd, POLLIN, 0});
        poll(p.data(), p.size(), 100);
        for (auto &x : p)
            if (x.revents)
                ctl.on_readable(x.fd, [](const std::string &) { return std::string(); });
    }
    EXPECT_EQ(ctl.fds().size(), 1u);
}

} // namespace
