// class_control_xcmp from construction to destruction, in a box: panel bytes
// that arrive while init runs, and the control destroyed while the panel's
// reset sequence is pausing on the serial reader's thread (run this one under
// AddressSanitizer too). Each test builds its own control, line and server.
#include "tests/control/xml_control_site.h"

namespace
{

using namespace xmlsite;

const Bytes kPttPressed = panel_frame({0x80, 0x00, 0x00, 0x00, 0xC0});
const Bytes kBackReleased = panel_key(0x8C, false);

// The panel sends while init is still running: once the serial reader has
// handed the bytes to the control, init goes on.
class XcmpFedDuringInit : public class_control_xcmp
{
  public:
    XcmpFedDuringInit(class_voip *voip, const Pty &pty) : class_control_xcmp(voip), pty_(pty) {}

    void cb_serialread(int serial_id, const uint8_t *data, uint16_t length) override
    {
        {
            std::lock_guard<std::mutex> l(mu_);
            delivered_ = true;
        }
        cv_.notify_all();
        class_control_xcmp::cb_serialread(serial_id, data, length);
    }
    bool reader_called_during_init = false;

  protected:
    int init_model() override
    {
        const int rc = class_control_xcmp::init_model();
        pty_.write(kPttPressed);
        std::unique_lock<std::mutex> l(mu_);
        reader_called_during_init = cv_.wait_for(l, generous, [this] { return delivered_; });
        return rc;
    }

  private:
    const Pty &pty_;
    std::mutex mu_;
    std::condition_variable cv_;
    bool delivered_ = false;
};

TEST(ControlXcmpLifetimeInBox, PanelBytesReadWhileInitRunsAreDeliveredAfterIt)
{
    logs();
    Pty pty;
    linktest::FakeServer srv;
    FakeVoip voip;
    configure(3, srv.port());
    pty.install();
    auto ctl = std::make_unique<XcmpFedDuringInit>(&voip, pty);
    ASSERT_EQ(ctl->init(), 0);
    ASSERT_TRUE(ctl->reader_called_during_init);
    // The panel's PTT reached the control once init had finished.
    EXPECT_TRUE(voip.wait("setTransmit 1", 1));
    ctl.reset();
}

TEST(ControlXcmpLifetimeInBox, DestroyedDuringTheResetSequenceItClearsTheBitAndStops)
{
    logs();
    Pty pty;
    linktest::FakeServer srv;
    FakeVoip voip;
    configure(3, srv.port());
    pty.install();
    auto ctl = std::make_unique<class_control_xcmp>(&voip);
    ASSERT_EQ(ctl->init(), 0);
    auto peer = srv.accept();
    ASSERT_TRUE(peer);
    ASSERT_EQ(xmltest::read_frame(*peer).value_or(""), xmltest::login_text);
    auto next = [&] { return xmltest::read_frame(*peer).value_or("<nothing>"); };

    // A BACK release with no press remembered: the reader thread sends the
    // key, sets the server's bit and pauses before clearing it.
    pty.write(kBackReleased);
    EXPECT_EQ(next(), xml_text::XCMPAction(0x8C, 0, 0));
    ASSERT_EQ(next(), xml_text::GpioSetReq(8));
    ctl.reset();
    // The pause was cut short, the bit cleared over the link that still
    // existed, and then the link went.
    EXPECT_EQ(next(), xml_text::GpioClrReq(8));
    EXPECT_TRUE(peer->wait_closed());
}

} // namespace
