// class_control_dm logged in to a scripted binary server, in a box, with the
// head's line held by the test: what a login does (the codec check, the voice
// stream, then the request for the head's display, in that order), an upgrade
// status ending the voice stream and PTT, and a lost server ending the voice
// stream and putting the start-up picture back on the head.
#include "control/control_dm.h"

#include "fronts/dm3000_logo.h"
#include "fronts/dmframe.h"
#include "wire/roip_proto.h"

#include "tests/control/xml_control_site.h"

#include <sys/ioctl.h>

namespace
{

using namespace xmlsite;

// Records, with each setRemote, how many bytes the server had already been
// sent: a request sent before the voice stream started would show there.
class OrderVoip : public FakeVoip
{
  public:
    int setRemote(uint32_t address, uint16_t port, uint32_t sync) override
    {
        int waiting = -1;
        if (server_fd >= 0)
            ::ioctl(server_fd, FIONREAD, &waiting);
        waiting_at_set_remote.push_back(waiting);
        return FakeVoip::setRemote(address, port, sync);
    }
    std::atomic<int> server_fd{-1};
    std::vector<int> waiting_at_set_remote;
};

Bytes frame_of(const uint8_t *packed, uint8_t flags)
{
    Bytes f(dmframe::FRAME_SIZE);
    dmframe::make_frame(packed, flags, f.data());
    return f;
}

Bytes logo_frame()
{
    uint8_t packed[dmframe::PACKED_IMAGE_SIZE];
    dmframe::pack_pixels(dm3000_logo, packed);
    return frame_of(packed, 0);
}

// One control for the whole program, as in the daemon.
class ControlDmLinkInBox : public testing::Test
{
  protected:
    static void SetUpTestSuite()
    {
        logs();
        pty_ = new Pty;
        srv_ = new linktest::FakeServer;
        voip_ = new OrderVoip;
        configure(2, srv_->port());
        pty_->install();
        control_ = new class_control_dm(voip_);
        init_result_ = control_->init();
    }

    Bytes server_reads(size_t n)
    {
        auto b = peer_->recv(n);
        return b ? *b : Bytes{};
    }

    static Pty *pty_;
    static linktest::FakeServer *srv_;
    static OrderVoip *voip_;
    static class_control_dm *control_;
    static int init_result_;
    static std::unique_ptr<linktest::Peer> peer_;
};

Pty *ControlDmLinkInBox::pty_ = nullptr;
linktest::FakeServer *ControlDmLinkInBox::srv_ = nullptr;
OrderVoip *ControlDmLinkInBox::voip_ = nullptr;
class_control_dm *ControlDmLinkInBox::control_ = nullptr;
int ControlDmLinkInBox::init_result_ = -1;
std::unique_ptr<linktest::Peer> ControlDmLinkInBox::peer_;

TEST_F(ControlDmLinkInBox, ALoginChecksTheCodecStartsTheVoiceAndThenAsksForTheDisplay)
{
    ASSERT_EQ(init_result_, 0);
    EXPECT_EQ(pty_->read(dmframe::FRAME_SIZE), logo_frame()) << "the start-up picture";
    ASSERT_EQ(g_config.codec(), 1);
    peer_ = linktest::accept_until_login_request(*srv_, linktest::version(1, 5));
    ASSERT_TRUE(peer_);
    voip_->server_fd = peer_->fd();
    // The server asks for GSM (codec type 2), voice port 8000, sync 40001.
    ASSERT_TRUE(peer_->send(proto::build_login_result(linktest::login_result())));
    const Bytes request = proto::build_dm_status_request();
    EXPECT_EQ(server_reads(request.size()), request);
    ASSERT_TRUE(voip_->wait("setRemote 127.0.0.1 8000 40001", 1));
    EXPECT_EQ(voip_->waiting_at_set_remote, std::vector<int>{0})
        << "the request went before the voice stream";
    EXPECT_EQ(site::read_codec_file(), 2);
}

TEST_F(ControlDmLinkInBox, AnUpgradeStatusEndsTheVoiceStreamAndPtt)
{
    ASSERT_TRUE(peer_);
    const int cleared = voip_->count("setRemote 0.0.0.0 0 0");
    ASSERT_TRUE(peer_->send(proto::build_upgradestatus(1, 0, 0)));
    const Bytes ptt_off = proto::build_setptt(0);
    EXPECT_EQ(server_reads(ptt_off.size()), ptt_off);
    EXPECT_TRUE(voip_->wait("setRemote 0.0.0.0 0 0", cleared + 1));
    EXPECT_EQ(lines("event\t: packettype_upgradestatus [status:1]"), 1);
}

TEST_F(ControlDmLinkInBox, ALostServerEndsTheVoiceStreamAndShowsTheStartUpPictureAgain)
{
    ASSERT_TRUE(peer_);
    // The server's picture first, so that the start-up picture is news.
    uint8_t packed[dmframe::PACKED_IMAGE_SIZE];
    for (size_t i = 0; i < sizeof packed; ++i)
        packed[i] = static_cast<uint8_t>(i % 3 ? 0x55 : 0xAA);
    const Bytes status = proto::build_dm_status_payload(7, 2, packed, sizeof packed);
    ASSERT_TRUE(peer_->send(proto::build_tunnel_ext(proto::ext_dm_status, status.data(), status.size())));
    EXPECT_EQ(pty_->read(dmframe::FRAME_SIZE), frame_of(packed, 2));

    const int cleared = voip_->count("setRemote 0.0.0.0 0 0");
    const int stopped = voip_->count("setTransmit 0");
    peer_.reset();
    EXPECT_TRUE(voip_->wait("setRemote 0.0.0.0 0 0", cleared + 1));
    EXPECT_EQ(voip_->count("setTransmit 0"), stopped + 1);
    EXPECT_EQ(pty_->read(dmframe::FRAME_SIZE), logo_frame());
}

} // namespace
