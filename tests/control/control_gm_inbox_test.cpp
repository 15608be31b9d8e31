// class_control_gm after init, inside a box: the real GPIO window, serial port
// and server link (with no server to reach), and a voice engine that was never
// started, so its operations only change its state.
#include "control/control_gm.h"

#include "base/byteorder.h"
#include "board/gpio.h"
#include "board/serial_control.h"
#include "fronts/gmfront.h"
#include "gateway/config.h"
#include "sim/box_client.h"
#include "voice/voip.h"
#include "wire/roip_proto.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

namespace
{

using namespace std::chrono_literals;

int codec_file()
{
    int fd = ::open("/config/codec.cfg", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    uint8_t b[4] = {};
    ssize_t n = ::read(fd, b, sizeof b);
    ::close(fd);
    return n == 4 ? static_cast<int>(bytes::get_le32(b)) : -1;
}

// One control for the whole program: its objects' threads run for good, as in
// the daemon.
class ControlGmInBox : public testing::Test
{
  protected:
    static void SetUpTestSuite()
    {
        // The record is never loaded: the link aims at 0.0.0.0:0, which the
        // box's loopback-only network refuses at once.
        voip_ = new class_voip(160, nullptr, nullptr, 8, 4);
        control_ = new class_control_gm(voip_);
        init_result_ = control_->init();
    }

    static class_voip *voip_;
    static class_control_gm *control_;
    static int init_result_;
};

class_voip *ControlGmInBox::voip_ = nullptr;
class_control_gm *ControlGmInBox::control_ = nullptr;
int ControlGmInBox::init_result_ = -1;

TEST_F(ControlGmInBox, InitBuildsEverythingOnce)
{
    ASSERT_EQ(init_result_, 0);
    ASSERT_NE(control_->get_gpio(), nullptr);
    ASSERT_NE(control_->get_serial(), nullptr);
    EXPECT_EQ(control_->get_serial()->is_open(), 1u);
    SerialSettings s;
    ASSERT_EQ(control_->get_serial()->get_settings(&s), 0);
    EXPECT_EQ(s.baud, 9600u);
    EXPECT_EQ(s.parity, 'n');
    EXPECT_EQ(s.stop_bits, 1);
    EXPECT_NE(control_->front(), nullptr);
    EXPECT_EQ(control_->init(), -1);
}

TEST_F(ControlGmInBox, GpioLinesAreSetUpAndTheResetLineWasReleased)
{
    ASSERT_EQ(init_result_, 0);
    boardbox::Client box;
    ASSERT_EQ(box.connect_inside(), 0);
    boardbox::GpioState st;
    ASSERT_EQ(box.read_gpio(st), 0);
    EXPECT_EQ(st.directions & 0x1FFFFFF, 0x11C1FEu);
    // Bit 3 is high only during the relay's first second.
    EXPECT_EQ(st.outputs & 0x8, 0u);
    uint32_t dir = 0;
    control_->get_gpio()->get_direction(&dir);
    EXPECT_EQ(dir, 0x11C1FEu);
}

TEST_F(ControlGmInBox, StatusLedChangeIsIgnored)
{
    ASSERT_EQ(init_result_, 0);
    testing::internal::CaptureStdout();
    control_->cb_gpio_changed(0xFFFFFFFF, 0x4000);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("cb_gpio_changed\n"), std::string::npos);
    EXPECT_EQ(out.find("gpio    : changed"), std::string::npos);
    EXPECT_EQ(out.find("cb_front_ptt"), std::string::npos);
}

TEST_F(ControlGmInBox, PttLineChangeWithTheLedDrivesPtt)
{
    ASSERT_EQ(init_result_, 0);
    testing::internal::CaptureStdout();
    control_->cb_gpio_changed(0x00000000, 0x5000);
    control_->cb_gpio_changed(0x00001000, 0x1000);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("gpio    : changed [bitmap:00000000,mask:00005000]\n"), std::string::npos) << out;
    EXPECT_NE(out.find("event\t: cb_front_ptt(1)\n"), std::string::npos) << out;
    EXPECT_NE(out.find("conn    : setptt(1)\n"), std::string::npos) << out;
    EXPECT_NE(out.find("gpio    : changed [bitmap:00001000,mask:00001000]\n"), std::string::npos) << out;
    EXPECT_NE(out.find("event\t: cb_front_ptt(0)\n"), std::string::npos) << out;
}

TEST_F(ControlGmInBox, EventLinesOnceInitialised)
{
    ASSERT_EQ(init_result_, 0);
    testing::internal::CaptureStdout();
    control_->cb_async_setptt(1, "op1");
    control_->cb_async_unlocksql(2);
    control_->cb_async_gpiochanged(0x12345678, 0x4000);
    control_->cb_async_gpiochanged(0x12345678, 0x00FF);
    const uint8_t key[16] = {1};
    control_->cb_update_crypto(key, 16, 1);
    control_->cb_update_crypto(nullptr, 0, 0);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("cb_async_setptt\nevent\t: packettype_async_setptt [ptt:1,login:op1]\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("cb_async_unlocksql (2)\nevent\t: packettype_async_unlocksql [sql:2]\n"),
              std::string::npos);
    EXPECT_EQ(out.find("[bitmap:12345678,mask:00004000]"), std::string::npos);
    EXPECT_NE(out.find("event\t: packettype_async_gpiochanged [bitmap:12345678,mask:000000FF]\n"),
              std::string::npos);
    EXPECT_NE(out.find("event\t: cb_update_crypto: mode: 1, key_len: 16\n"), std::string::npos);
    EXPECT_NE(out.find("event\t: cb_update_crypto: mode: 0, key_len: 0\n"), std::string::npos);
}

TEST_F(ControlGmInBox, SerialDataForAnotherLineOrKindIsOnlyLogged)
{
    ASSERT_EQ(init_result_, 0);
    const uint8_t frame[] = {0xF1, 0x33, 0xDB};
    testing::internal::CaptureStdout();
    control_->cb_async_serial_senddata(1, frame, 3, 0);
    control_->cb_async_serial_senddata(0, frame, 3, 1);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("event\t: packettype_serial_senddata [serial_id:1,data_len:3]\n"), std::string::npos);
    EXPECT_NE(out.find("event\t: packettype_serial_senddata [serial_id:0,data_len:3]\n"), std::string::npos);
    // Nothing reached the relay.
    EXPECT_EQ(out.find("f <- r"), std::string::npos) << out;
    testing::internal::CaptureStdout();
    control_->cb_async_serial_senddata(0, frame, 3, 0);
    out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("f <- r  : [ F1 33 DB ]\n"), std::string::npos) << out;
}

TEST_F(ControlGmInBox, ServerCodecIsStoredOnlyWhenItDiffersAndIsKnown)
{
    ASSERT_EQ(init_result_, 0);
    // The configuration was never loaded: its codec in memory is 0.
    ASSERT_EQ(g_config.codec(), 0);
    ::unlink("/config/codec.cfg");
    proto::LoginResult login;
    login.voip_port = 5004;
    login.voip_sync_num = 1234;

    login.codec_type = 7;
    control_->cb_conn_connected(inet_addr("127.0.0.1"), nullptr, &login);
    EXPECT_EQ(codec_file(), -1) << "an unknown codec type must not be stored";

    login.codec_type = 0;
    control_->cb_conn_connected(inet_addr("127.0.0.1"), nullptr, &login);
    EXPECT_EQ(codec_file(), -1) << "the same codec must not be stored";

    // A different known codec is stored; the restart command finds no
    // gwlinkd in this box and this program goes on.
    login.codec_type = 2;
    control_->cb_conn_connected(inet_addr("127.0.0.1"), nullptr, &login);
    EXPECT_EQ(codec_file(), 2);
    control_->cb_conn_disconnected();
}

// A process named "gwlinkd" for the restart command to find; ended by it.
class StandInDaemon
{
  public:
    StandInDaemon()
    {
        char dir[] = "/tmp/standinXXXXXX";
        if (::mkdtemp(dir) == nullptr)
            return;
        path_ = std::string(dir) + "/gwlinkd";
        if (::symlink("/bin/sleep", path_.c_str()) != 0)
            return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::execl(path_.c_str(), "gwlinkd", "300", static_cast<char *>(nullptr));
            _exit(127);
        }
        pidfd_ = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
    }
    ~StandInDaemon()
    {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        if (pidfd_ >= 0)
            ::close(pidfd_);
        ::unlink(path_.c_str());
        ::rmdir(path_.substr(0, path_.rfind('/')).c_str());
    }
    bool running() const { return pidfd_ >= 0; }
    bool ends_within(int ms)
    {
        struct pollfd p = {pidfd_, POLLIN, 0};
        if (::poll(&p, 1, ms) != 1)
            return false;
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
        return true;
    }

  private:
    std::string path_;
    pid_t pid_ = -1;
    int pidfd_ = -1;
};

// A codec that cannot be stored must not restart the daemon: it would come
// back with the old codec and restart again for ever.
TEST_F(ControlGmInBox, NoRestartWhenTheServerCodecCannotBeStored)
{
    ASSERT_EQ(init_result_, 0);
    ASSERT_EQ(g_config.codec(), 0);
    ::unlink("/config/codec.cfg");
    ASSERT_EQ(::mkdir("/config/codec.cfg", 0700), 0) << "a path no file can be written to";
    StandInDaemon daemon;
    ASSERT_TRUE(daemon.running());
    proto::LoginResult login;
    login.voip_port = 5004;
    login.voip_sync_num = 1234;
    login.codec_type = 3;
    testing::internal::CaptureStdout();
    control_->cb_conn_connected(inet_addr("127.0.0.1"), nullptr, &login);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_FALSE(daemon.ends_within(2000)) << "restarted without the new codec stored";
    EXPECT_NE(out.find("cannot store codec type 3"), std::string::npos) << out;
    control_->cb_conn_disconnected();

    // Once the codec can be stored, the restart command runs.
    ::rmdir("/config/codec.cfg");
    control_->cb_conn_connected(inet_addr("127.0.0.1"), nullptr, &login);
    EXPECT_EQ(codec_file(), 3);
    EXPECT_TRUE(daemon.ends_within(30000));
    control_->cb_conn_disconnected();
    ::unlink("/config/codec.cfg");
}

} // namespace
