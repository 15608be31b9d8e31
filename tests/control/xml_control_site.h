// Test support for the XML-linked radio controls inside a box: the real GPIO
// window, a serial port on a pty the test holds the other end of (so it plays
// the radio or panel), the real XML link to a scripted server on loopback, and
// a voice engine that records what it is told. One control per program: the
// serial port reopens "/dev/ttyS1" by name after a silence.
#pragma once
#include "control/control_mtetra.h"
#include "control/control_nx5.h"
#include "control/control_nx700.h"
#include "control/control_xcmp.h"

#include "base/base64.h"
#include "base/byteorder.h"
#include "base/crc16_xmodem.h"
#include "board/gpio.h"
#include "board/serial_control.h"
#include "control/xml_messages.h"
#include "gateway/config.h"
#include "gateway/config_files.h"
#include "gateway/config_record.h"
#include "sim/box_client.h"
#include "voice/voip.h"

#include "tests/control/xml_link_test_support.h"
#include "tests/system/site.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>
#include <zlib.h>

#include <atomic>
#include <cstring>
#include <map>
#include <thread>

namespace xmlsite
{

using namespace std::chrono_literals;
using linktest::Bytes;
using linktest::Clock;
using linktest::generous;

// ---- the voice engine as the controls see it ----

class FakeVoip : public class_voip
{
  public:
    FakeVoip() : class_voip(160, nullptr, nullptr, 8, 4) {}

    int setRemote(uint32_t address, uint16_t port, uint32_t sync) override
    {
        char a[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &address, a, sizeof a);
        record("setRemote " + std::string(a) + " " + std::to_string(port) + " " + std::to_string(sync));
        return 0;
    }
    void setTransmit(int flag) override { record("setTransmit " + std::to_string(flag)); }
    void setCryptoKey(const uint8_t *, int length, int mode) override
    {
        record("setCryptoKey " + std::to_string(length) + " " + std::to_string(mode));
    }
    void setPassphrase(const char *text) override { record("setPassphrase [" + std::string(text) + "]"); }
    void setMuted(int flag) override { record("setMuted " + std::to_string(flag)); }
    int setVolume(int level) override
    {
        record("setVolume " + std::to_string(level));
        return 0;
    }
    void playTone(int n) override { record("playTone " + std::to_string(n)); }

    int count(const std::string &call)
    {
        std::lock_guard<std::mutex> l(mu);
        return static_cast<int>(std::count(calls.begin(), calls.end(), call));
    }
    // Waits until `call` was made `n` times in all.
    bool wait(const std::string &call, int n)
    {
        std::unique_lock<std::mutex> l(mu);
        return cv.wait_for(l, generous, [&] { return std::count(calls.begin(), calls.end(), call) >= n; });
    }
    std::string last(const std::string &prefix)
    {
        std::lock_guard<std::mutex> l(mu);
        for (auto it = calls.rbegin(); it != calls.rend(); ++it)
            if (it->compare(0, prefix.size(), prefix) == 0)
                return *it;
        return "";
    }

  private:
    void record(const std::string &c)
    {
        {
            std::lock_guard<std::mutex> l(mu);
            calls.push_back(c);
        }
        cv.notify_all();
    }
    std::mutex mu;
    std::condition_variable cv;
    std::vector<std::string> calls;
};

// ---- the radio's (or panel's) end of "/dev/ttyS1" ----

class Pty
{
  public:
    Pty()
    {
        master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
            std::abort();
        slave_path = ptsname(master);
        // Keeps the line open between the control's reopenings.
        slave = ::open(slave_path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    }
    // The next control's "/dev/ttyS1" is this line.
    void install() const
    {
        ::unlink("/dev/ttyS1");
        if (::symlink(slave_path.c_str(), "/dev/ttyS1") != 0)
            std::abort();
    }
    void write(const Bytes &b) const
    {
        if (::write(master, b.data(), b.size()) != static_cast<ssize_t>(b.size()))
            std::abort();
    }
    // Exactly n bytes, or fewer when nothing more came in time. Whole copies
    // of `noise` (a frame the far end repeats on its own) are left out.
    Bytes read(size_t n, const Bytes &noise = {}) const
    {
        Bytes out;
        auto deadline = Clock::now() + generous;
        while (Clock::now() < deadline) {
            if (!noise.empty()) {
                auto at = std::search(out.begin(), out.end(), noise.begin(), noise.end());
                if (at != out.end()) {
                    out.erase(at, at + static_cast<long>(noise.size()));
                    continue;
                }
            }
            if (out.size() >= n && !ends_in_part_of(out, noise))
                break;
            pollfd p{master, POLLIN, 0};
            if (poll(&p, 1, 100) != 1)
                continue;
            uint8_t buf[4096];
            ssize_t r = ::read(master, buf, sizeof buf);
            if (r > 0)
                out.insert(out.end(), buf, buf + r);
        }
        return out;
    }

    static bool ends_in_part_of(const Bytes &b, const Bytes &noise)
    {
        for (size_t k = 1; k < noise.size() && k <= b.size(); ++k)
            if (std::equal(noise.begin(), noise.begin() + static_cast<long>(k),
                           b.end() - static_cast<long>(k)))
                return true;
        return false;
    }

    int master = -1;
    int slave = -1;
    std::string slave_path;
};

inline linktest::LogCapture &logs()
{
    // Created once, before the first control prints; the controls' threads
    // print for good.
    static linktest::LogCapture *l = new linktest::LogCapture;
    return *l;
}

inline int lines(const std::string &line)
{
    return logs().count(line);
}

// The configuration every control starts from: server on loopback at `port`,
// user op1, A-law; op1 itself and "blk" on the blocked list.
inline void configure(int radio_type, int port)
{
    site::GatewayConfig c;
    c.port = port;
    c.radio_type = radio_type;
    c.user = "op1";
    c.password = "pw";
    c.blocked = {"op1", "blk"};
    site::write_config(c);
    ASSERT_EQ(g_config.load(), 0);
}

// ---- one control with its radio line and its server ----

enum Kind { XCMP, MTETRA, NX5, NX700 };

struct Site {
    Site(Kind k, const char *p) : kind(k), prefix(p) {}
    Kind kind;
    std::string prefix;
    Pty pty;
    linktest::FakeServer srv;
    FakeVoip voip;
    class_control_xml *control = nullptr;
    std::unique_ptr<linktest::Peer> peer;

    std::string line(const std::string &text) const { return prefix + text; }
    // What the line carried, without the panel's polls.
    Bytes read(size_t n) const
    {
        return pty.read(n, kind == XCMP ? Bytes{0x00, 0x04, 0x73, 0x07, 0x2D, 0xED} : Bytes{});
    }

    void send(const std::string &doc) { ASSERT_TRUE(peer->send(xmltest::frame(doc))); }
    std::string next()
    {
        auto t = xmltest::read_frame(*peer);
        return t ? *t : "<nothing>";
    }
};

// The decoded payload of an XE SerialDisp document, or nothing for any other
// document.
inline std::optional<Bytes> xe_payload(const std::string &doc)
{
    const std::string head = "<XE><SerialDisp d=\"";
    if (doc.compare(0, head.size(), head) != 0)
        return std::nullopt;
    std::string d = base64_decode(doc.substr(head.size()));
    return Bytes(d.begin(), d.end());
}

// Reads documents until the XE payloads add up to `radio` bytes and the other
// documents number `others`; returns the others in order and checks the bytes.
// `xe_before` (optional) gets, for each other document, how many XE bytes had
// come before it.
inline std::vector<std::string> collect(Site &s, const Bytes &radio, size_t others,
                                        std::vector<size_t> *xe_before = nullptr)
{
    std::vector<std::string> docs;
    Bytes got;
    while (got.size() < radio.size() || docs.size() < others) {
        std::string d = s.next();
        if (d == "<nothing>")
            break;
        if (auto p = xe_payload(d)) {
            got.insert(got.end(), p->begin(), p->end());
        } else {
            docs.push_back(d);
            if (xe_before)
                xe_before->push_back(got.size());
        }
    }
    EXPECT_EQ(got, radio);
    return docs;
}

// A Front46 panel frame: length, payload, CRC-16/XMODEM, big-endian.
inline Bytes panel_frame(const Bytes &payload)
{
    const size_t l = payload.size() + 2;
    Bytes f(payload.size() + 4);
    f[0] = static_cast<uint8_t>(l >> 8);
    f[1] = static_cast<uint8_t>(l);
    std::copy(payload.begin(), payload.end(), f.begin() + 2);
    const uint16_t crc = crc16::xmodem(payload.data(), payload.size());
    f[l] = static_cast<uint8_t>(crc >> 8);
    f[l + 1] = static_cast<uint8_t>(crc);
    return f;
}

// The panel's key event: code at byte 11, pressed when byte 12 is not 0.
inline Bytes panel_key(uint8_t code, bool pressed)
{
    return panel_frame({0, 0, 0, 0, 0, 0, 0, 0, 0, code, static_cast<uint8_t>(pressed ? 1 : 0)});
}

inline std::string login_doc(int port, const char *codec, const char *encrypt)
{
    return "<LoginPosResp><Rtp port=\"" + std::to_string(port) + "\" sm=\"1\" syncnum=\"77\" codec=\"" +
           codec + "\" /><Info devname=\"radio1\" encrypt=\"" + encrypt + "\" /></LoginPosResp>";
}

inline std::string setptt_doc(int ptt, const std::string &local)
{
    return "<SetPttEv ptt=\"" + std::to_string(ptt) + "\" login_roip=\"srv\" login_local=\"" + local +
           "\" />";
}

inline std::string serial_doc(const char *event, const char *denc, const std::string &d)
{
    return std::string("<") + event + "><SerialDisp denc=\"" + denc + "\" d=\"" + d + "\" /></" + event + ">";
}

inline std::string b64(const Bytes &b)
{
    return base64_encode(b.data(), b.size());
}

inline std::string b64z(const Bytes &b)
{
    uLongf n = compressBound(b.size());
    Bytes z(n);
    if (compress(z.data(), &n, b.data(), b.size()) != Z_OK)
        std::abort();
    return base64_encode(z.data(), n);
}

inline class_control_xml *make(Kind k, class_voip *v)
{
    switch (k) {
    case XCMP:
        return new class_control_xcmp(v);
    case MTETRA:
        return new class_control_mtetra(v);
    case NX5:
        return new class_control_nx5(v);
    case NX700:
        return new class_control_nx700(v);
    }
    return nullptr;
}

// What a PTT release sends.
inline std::vector<std::string> release_docs(Kind k)
{
    if (k == NX5 || k == NX700)
        return {xml_text::NXAction("hw"), xml_text::SetPttReq(0)};
    return {xml_text::SetPttReq(0)};
}

inline const char *const prefixes[] = {
    "control_xcmp: ", "control_mtetra: ", "control_nx5: ", "control_nx700: "};
inline const int radio_types[] = {3, 4, 5, 6};

// The control of a kind, built, started and logged in on first use.
inline Site &control_site(Kind k)
{
    static std::map<Kind, Site *> sites;
    auto it = sites.find(k);
    if (it != sites.end())
        return *it->second;
    logs();
    Site *s = new Site(k, prefixes[k]);
    sites[k] = s;
    configure(radio_types[k], s->srv.port());
    s->pty.install();
    s->control = make(k, &s->voip);
    EXPECT_EQ(s->control->init(), 0);
    s->peer = s->srv.accept();
    EXPECT_TRUE(s->peer);
    if (s->peer) {
        auto login = xmltest::read_frame(*s->peer);
        EXPECT_EQ(login.value_or(""), xmltest::login_text);
    }
    EXPECT_TRUE(logs().wait_line(s->line("connected")));
    return *s;
}

// ---- what every model does alike ----

// Before init nothing acts; init then stops at the missing serial port with
// the model's own lines. Must run before the model's site exists.
inline void check_before_init(Kind k, const std::string &want)
{
    ::unlink(config_files::blocked_path);
    ::unlink("/dev/ttyS1");
    FakeVoip voip;
    std::unique_ptr<class_control_xml> ctl(make(k, &voip));
    testing::internal::CaptureStdout();
    ctl->on_xml_message(setptt_doc(1, "blk"));
    ctl->on_xml_message(":disconnected");
    ctl->cb_front_ptt(1);
    ctl->cb_gpio_changed(0, 0x1000);
    const uint8_t b[] = {0x44, 0x00, 0x02, 0x10, 0x01};
    ctl->cb_serialread(0, b, sizeof b);
    ctl->send_button(1, 1, 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(ctl->get_gpio(), nullptr);
    EXPECT_EQ(ctl->get_serial(), nullptr);

    testing::internal::CaptureStdout();
    EXPECT_EQ(ctl->init(), -1);
    std::fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), want);
    EXPECT_EQ(voip.count("setCryptoKey 16 0"), 1);
    EXPECT_EQ(ctl->init(), -1) << "init runs once";
}

// The line's settings and GPIO directions after init; a login starts the
// voice stream and sends the model's follow-up requests and nothing else.
inline void check_init_and_login(Kind k, unsigned baud, uint32_t directions,
                                 const std::vector<std::string> &followups)
{
    Site &s = control_site(k);
    ASSERT_NE(s.control->get_serial(), nullptr);
    SerialSettings st;
    ASSERT_EQ(s.control->get_serial()->get_settings(&st), 0);
    EXPECT_EQ(st.baud, baud);
    EXPECT_EQ(st.parity, 'n');
    EXPECT_EQ(st.stop_bits, 1);
    uint32_t dir = 0;
    s.control->get_gpio()->get_direction(&dir);
    EXPECT_EQ(dir, directions);
    EXPECT_EQ(s.voip.count("setCryptoKey 16 0"), 1);
    EXPECT_EQ(s.control->init(), -1);

    // A port no voice can go to starts no voice stream; the rest of the
    // login (its lines and the follow-up requests) still happens.
    for (int port : {0, 65536}) {
        const std::string p = std::to_string(port);
        s.send(login_doc(port, "alaw", ""));
        ASSERT_TRUE(logs().wait_line(s.line("LoginPosResp: bad rtp port " + p + ", no voice stream")));
        EXPECT_EQ(lines(s.line("logged in, remote rtp port: " + p)), 1);
        for (const std::string &f : followups)
            EXPECT_EQ(s.next(), f);
    }
    EXPECT_EQ(s.voip.count("setRemote 127.0.0.1 0 77"), 0) << "65536 cut to 16 bits";
    EXPECT_EQ(s.voip.last("setRemote"), "");
    s.send(login_doc(4000, "alaw", "RCKD"));
    ASSERT_TRUE(s.voip.wait("setRemote 127.0.0.1 4000 77", 1));
    EXPECT_EQ(s.voip.count("setPassphrase [radio1]"), 1);
    EXPECT_EQ(lines(s.line("logged in, remote rtp port: 4000")), 1);
    EXPECT_EQ(lines(s.line("encrypt: rckd")), 1);
    EXPECT_EQ(lines(s.line("codec change (1)")), 0);
    for (const std::string &f : followups)
        EXPECT_EQ(s.next(), f);
    // Nothing else was sent: the next documents answer this.
    s.control->cb_front_ptt(0);
    EXPECT_EQ(collect(s, {}, release_docs(k).size()), release_docs(k));

    // Squelch events are only printed, one without a value as 0.
    s.send("<UnlockSqlEv sql=\"3\" />");
    EXPECT_TRUE(logs().wait_line(s.line("UnlockSqlEv: 3")));
    s.send("<UnlockSqlEv />");
    s.send("<UnlockSqlEv sql=\"7\" />");
    EXPECT_TRUE(logs().wait_line(s.line("UnlockSqlEv: 7")));
    EXPECT_EQ(lines(s.line("UnlockSqlEv: 0")), 1);
}

// Received speech of a blocked user is muted while that user holds PTT; the
// own user never is, although listed.
inline void check_muting(Kind k)
{
    Site &s = control_site(k);
    struct Step {
        std::string doc;
        int muted;
    } steps[] = {
        {setptt_doc(1, "op1"), 0}, // the own user, although listed
        {setptt_doc(1, "blk"), 1}, // listed
        {setptt_doc(0, "other"), 0}, {setptt_doc(1, "blk"), 1}, {setptt_doc(1, "someone"), 0}, // unlisted
        {setptt_doc(1, "blk"), 1},   {setptt_doc(0, "blk"), 0},
    };
    for (const Step &st : steps) {
        const std::string call = "setMuted " + std::to_string(st.muted);
        const int n = s.voip.count(call);
        s.send(st.doc);
        ASSERT_TRUE(s.voip.wait(call, n + 1)) << st.doc;
    }
    EXPECT_EQ(lines(s.line("on_setptt(1) blocking user [blk]")), 3);
    // Only nx700 keeps the values to itself.
    EXPECT_EQ(lines(s.line("SetPttEv: 1, login_roip: [srv], login_local: [blk]")), k == NX700 ? 0 : 3);
    // A document without ptt changes nothing.
    const int muted = s.voip.count("setMuted 1") + s.voip.count("setMuted 0");
    s.send(setptt_doc(1, "blk"));
    s.send("<SetPttEv login_local=\"someone\" />");
    ASSERT_TRUE(logs().wait_line(s.line("SetPttEv: parse error")));
    EXPECT_EQ(s.voip.count("setMuted 1") + s.voip.count("setMuted 0"), muted + 1);
    EXPECT_EQ(s.voip.last("setMuted"), "setMuted 1");
    const int unmuted = s.voip.count("setMuted 0");
    s.send(setptt_doc(0, "blk"));
    ASSERT_TRUE(s.voip.wait("setMuted 0", unmuted + 1));
}

// A PTT key frame from the radio keys the gateway and the server; its action
// and PTT documents go before the XE document that carries the frame's last
// byte (the chunk that completed it, or the frame itself). Another frame only
// travels.
inline void check_radio_ptt(Kind k, const Bytes &press, const Bytes &release, const Bytes &other,
                            const std::vector<std::string> &on_press,
                            const std::vector<std::string> &on_release)
{
    Site &s = control_site(k);
    const int tx1 = s.voip.count("setTransmit 1"), tx0 = s.voip.count("setTransmit 0");
    std::vector<size_t> before;
    s.pty.write(press);
    EXPECT_EQ(collect(s, press, on_press.size(), &before), on_press);
    for (size_t n : before)
        EXPECT_LT(n, press.size()) << "a PTT document after the key frame's XE";
    EXPECT_TRUE(s.voip.wait("setTransmit 1", tx1 + 1));
    EXPECT_TRUE(logs().wait_line(s.line("ptt: 1")));
    s.pty.write(other);
    EXPECT_EQ(collect(s, other, 0), std::vector<std::string>{});
    before.clear();
    s.pty.write(release);
    EXPECT_EQ(collect(s, release, on_release.size(), &before), on_release);
    for (size_t n : before)
        EXPECT_LT(n, release.size()) << "a PTT document after the key frame's XE";
    EXPECT_TRUE(s.voip.wait("setTransmit 0", tx0 + 1));
}

} // namespace xmlsite
