// class_roipsrv_conn against a scripted fake server on loopback: login after
// every connect, the frame length limit, keep-alive answers, the receive
// time-out, sends from the callback and from several threads, and stopping.
#include "control/roipsrv_conn.h"
#include "control/xml_messages.h"

#include "xml_link_test_support.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <deque>
#include <map>
#include <thread>

using namespace xmltest;
using namespace std::chrono_literals;

namespace
{

// What the next sends of the calling thread do: at most `n` bytes go to the
// socket (0: none), then the call fails as a send time-out does after taking
// that much (-1 with EAGAIN when nothing went). Empty: sends are sent.
thread_local std::deque<size_t> send_script;

} // namespace

// The test program's own send: the link's sends from a scripted thread fail
// as told, all others go to the next definition (the C library, or a
// sanitizer in front of it).
extern "C" ssize_t send(int fd, const void *buf, size_t len, int flags)
{
    using send_fn = ssize_t (*)(int, const void *, size_t, int);
    static const send_fn next = reinterpret_cast<send_fn>(dlsym(RTLD_NEXT, "send"));
    if (send_script.empty())
        return next(fd, buf, len, flags);
    const size_t n = std::min(send_script.front(), len);
    send_script.pop_front();
    if (n == 0) {
        errno = EAGAIN;
        return -1;
    }
    return next(fd, buf, n, flags);
}

namespace
{

std::string sized_text(size_t n)
{
    std::string head = "<Big d=\"", tail = "\" />";
    return head + std::string(n - head.size() - tail.size(), 'A') + tail;
}

} // namespace

TEST(XmlLink, LimitsOfTheFrameLengthAndReconnectWithAFreshLogin)
{
    XmlLink l;
    ASSERT_EQ(l.link->start_thr(), 0);
    EXPECT_EQ(l.link->start_thr(), -1);
    auto peer = l.accept_login();
    ASSERT_TRUE(peer);

    const std::string longest = sized_text(xml_frame::max_text);
    ASSERT_TRUE(peer->send(frame("")));
    ASSERT_TRUE(peer->send(frame(longest)));
    ASSERT_TRUE(l.texts.wait(longest));
    EXPECT_EQ(class_roipsrv_conn::message_key(""), ":err");
    EXPECT_EQ(class_roipsrv_conn::message_key(longest), "Big");

    // One byte more is a protocol error: the link drops the connection
    // without waiting for (or delivering) the text.
    ASSERT_TRUE(peer->send(header(xml_frame::max_text + 1)));
    ASSERT_TRUE(peer->wait_closed());
    auto dropped = l.texts.wait(":disconnected");
    ASSERT_TRUE(dropped);

    auto again = l.accept_login();
    ASSERT_TRUE(again);
    auto reconnected = Clock::now();
    EXPECT_GE(reconnected - *dropped, 2500ms);
    ASSERT_TRUE(l.texts.wait(":connected", 2));
    EXPECT_EQ(l.texts.all(),
              (std::vector<std::string>{":connected", "", longest, ":disconnected", ":connected"}));

    // The new connection works both ways.
    EXPECT_EQ(xml_GpioStateReq(l.link.get()), 0);
    EXPECT_EQ(read_frame(*again), "<GpioStateReq />");
}

TEST(XmlLink, KeepAlivesAreAnsweredNotDelivered)
{
    XmlLink l;
    auto peer = l.start_and_login();
    ASSERT_TRUE(peer);

    const std::vector<std::string> keepalives = {
        "<keepaliveev seq=\"1\" />",
        "<KeepAliveEv seq=\"2\" />",
        "<KEEPALIVEEV />",
        "<Wrapper><kEePaLiVeEv x=\"1\"/></Wrapper>",
        "garbage <KeepAliveEv more garbage",
    };
    for (const std::string &k : keepalives) {
        ASSERT_TRUE(peer->send(frame(k)));
        EXPECT_EQ(read_frame(*peer), "<KeepaliveReq />") << k;
    }
    // Without the blank after the name it is an ordinary document.
    const std::vector<std::string> ordinary = {"<KeepAliveEv/>", "<KeepAliveEv>x</KeepAliveEv>",
                                               "<KeepAliveEvent a=\"1\"/>"};
    for (const std::string &o : ordinary)
        ASSERT_TRUE(peer->send(frame(o)));
    ASSERT_TRUE(l.texts.wait(ordinary.back()));
    EXPECT_EQ(l.texts.all(), (std::vector<std::string>{":connected", ordinary[0], ordinary[1], ordinary[2]}));
    EXPECT_EQ(class_roipsrv_conn::message_key(ordinary[0]), "KeepAliveEv");
    EXPECT_EQ(class_roipsrv_conn::message_key(ordinary[1]), "KeepAliveEv");
}

TEST(XmlLink, EveryBuilderSendsItsDocument)
{
    XmlLink l;
    EXPECT_EQ(l.link->send_text("<X />"), -1); // not connected yet
    auto peer = l.start_and_login();
    ASSERT_TRUE(peer);

    class_roipsrv_conn *c = l.link.get();
    const uint8_t bytes[] = {0x10, 0x02, 0xFF};
    const std::vector<std::pair<int, std::string>> sent = {
        {xml_LoginReq(c, "u2", "p2", 8010), xml_text::LoginReq("u2", "p2", 8010)},
        {xml_XCMPStatusReq(c), "<XCMPStatusReq />"},
        {xml_GpioStateReq(c), "<GpioStateReq />"},
        {xml_SetPttReq(c, 1), "<SetPttReq ptt=\"1\"/>"},
        {xml_SetPttReq(c, 0), "<SetPttReq ptt=\"0\"/>"},
        {xml_XCMPAction(c, 7, 1, 0), xml_text::XCMPAction(7, 1, 0)},
        {xml_GpioSetReq(c, 0x200), "<GpioSetReq bitmap=\"512\" />"},
        {xml_GpioClrReq(c, 0x200), "<GpioClrReq bitmap=\"512\" />"},
        {xml_SerialDisp(c, bytes, sizeof bytes), xml_text::SerialDisp(bytes, sizeof bytes)},
        {xml_TAction(c, "hw"), xml_text::TAction("hw")},
        {xml_NXAction(c, "hw"), xml_text::NXAction("hw")},
        {l.link->send_text(""), ""},
    };
    for (const auto &s : sent) {
        EXPECT_EQ(s.first, 0) << s.second;
        EXPECT_EQ(read_frame(*peer), s.second);
    }
}

TEST(XmlLink, ACallbackMaySendFromInsideItself)
{
    XmlLink l([](class_roipsrv_conn &link, const std::string &text) {
        if (class_roipsrv_conn::message_key(text) == "XCMPEvent/SerialDisp") {
            std::vector<uint8_t> data;
            if (xml_XCMPEvent_SerialDisp(text, data) == 0)
                xml_SerialDisp(&link, data.data(), data.size());
        }
    });
    auto peer = l.start_and_login();
    ASSERT_TRUE(peer);
    ASSERT_TRUE(peer->send(frame("<XCMPEvent><SerialDisp denc=\"b64\" d=\"AQID\" /></XCMPEvent>")));
    EXPECT_EQ(read_frame(*peer), "<XE><SerialDisp d=\"AQID\" denc=\"b64\" /></XE>");
}

// Senders on four threads while the connection thread answers keep-alives:
// every frame arrives whole, each thread's frames in their order.
TEST(XmlLink, ConcurrentSendsNeverInterleave)
{
    XmlLink l;
    auto peer = l.start_and_login();
    ASSERT_TRUE(peer);

    constexpr int threads = 4, per_thread = 300, keepalives = 200;
    std::atomic<int> failures{0};
    std::vector<std::thread> senders;
    for (int t = 0; t < threads; ++t)
        senders.emplace_back([&, t] {
            for (int i = 0; i < per_thread; ++i) {
                std::string pad(static_cast<size_t>((i * 397 + t * 1013) % 6000), static_cast<char>('a' + t));
                std::string text =
                    "<M t=\"" + std::to_string(t) + "\" i=\"" + std::to_string(i) + "\" p=\"" + pad + "\" />";
                if (l.link->send_text(text) != 0)
                    ++failures;
            }
        });
    std::thread pinger([&] {
        for (int k = 0; k < keepalives; ++k)
            if (!peer->send(frame("<KeepAliveEv seq=\"" + std::to_string(k) + "\" />")))
                ++failures;
    });

    std::map<int, int> next;
    int replies = 0, others = 0;
    for (int n = 0; n < threads * per_thread + keepalives; ++n) {
        auto text = read_frame(*peer);
        ASSERT_TRUE(text) << "frame " << n;
        if (*text == "<KeepaliveReq />") {
            ++replies;
            continue;
        }
        int t = -1, i = -1;
        ASSERT_EQ(sscanf(text->c_str(), "<M t=\"%d\" i=\"%d\" p=\"", &t, &i), 2) << text->substr(0, 60);
        ASSERT_TRUE(t >= 0 && t < threads);
        EXPECT_EQ(i, next[t]++);
        size_t pad = static_cast<size_t>((i * 397 + t * 1013) % 6000);
        size_t at = text->find("p=\"") + 3;
        EXPECT_EQ(text->substr(at), std::string(pad, static_cast<char>('a' + t)) + "\" />");
        ++others;
    }
    for (auto &s : senders)
        s.join();
    pinger.join();
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(replies, keepalives);
    EXPECT_EQ(others, threads * per_thread);
    EXPECT_EQ(l.texts.all(), std::vector<std::string>{":connected"});
}

TEST(XmlLink, BrokenFramesDropTheConnectionAndDeliverNothingOfThem)
{
    struct Case {
        const char *what;
        Bytes bytes;
        bool server_closes;
    };
    Bytes half_text = header(100);
    half_text.insert(half_text.end(), 50, 'x');
    Bytes oversize_with_text = header(8192);
    oversize_with_text.insert(oversize_with_text.end(), 8192, 'y');
    const std::vector<Case> cases = {
        {"length 8192 with its text", oversize_with_text, false},
        {"length 8193", header(8193), false},
        {"length 2^31", header(0x80000000u), false},
        {"length 2^32-1", header(0xFFFFFFFFu), false},
        {"five header bytes, then the end", Bytes{4, 0, 0, 0, 0}, true},
        {"half a text, then the end", half_text, true},
        {"a header alone, then the end", header(3), true},
    };
    for (const Case &c : cases) {
        XmlLink l;
        auto peer = l.start_and_login();
        ASSERT_TRUE(peer) << c.what;
        ASSERT_TRUE(peer->send(frame("<Before />")));
        ASSERT_TRUE(peer->send(c.bytes));
        if (c.server_closes)
            peer->close();
        else
            EXPECT_TRUE(peer->wait_closed()) << c.what;
        ASSERT_TRUE(l.texts.wait(":disconnected")) << c.what;
        EXPECT_EQ(l.texts.all(), (std::vector<std::string>{":connected", "<Before />", ":disconnected"}))
            << c.what;
    }
}

TEST(XmlLink, ASilentServerIsDroppedAfterFifteenSeconds)
{
    XmlLink l;
    auto peer = l.start_and_login();
    ASSERT_TRUE(peer);
    auto since = Clock::now();
    ASSERT_TRUE(peer->wait_closed(40s));
    EXPECT_GE(Clock::now() - since, 14s);
    ASSERT_TRUE(l.texts.wait(":disconnected"));
    EXPECT_EQ(l.link->send_text("<X />"), -1);
}

// A send that times out half-way has put part of a frame on the stream; the
// link must not carry on out of step but reconnect and log in afresh.
TEST(XmlLink, AFailedSendDropsTheConnection)
{
    XmlLink l;
    auto peer = l.start_and_login();
    ASSERT_TRUE(peer);

    // The server reads nothing but keeps the link's reader busy, so only the
    // send can fail (after the 15 s send time-out).
    std::atomic<bool> ticking{true};
    std::thread ticker([&] {
        auto until = Clock::now() + 60s;
        while (ticking && Clock::now() < until && peer->send(frame("<Tick />")))
            std::this_thread::sleep_for(500ms);
    });
    const std::string huge = sized_text(64u << 20);
    EXPECT_EQ(l.link->send_text(huge), -1);
    EXPECT_TRUE(l.texts.wait(":disconnected"));
    ticking = false;
    ticker.join();

    auto again = l.accept_login();
    ASSERT_TRUE(again);
    EXPECT_EQ(xml_SetPttReq(l.link.get(), 1), 0);
    EXPECT_EQ(read_frame(*again), "<SetPttReq ptt=\"1\"/>");
}

// A send that wrote nothing leaves the stream in step and the connection up;
// one that wrote part of a frame (of the header, or the header and not the
// text) drops it, and the link logs in again.
TEST(XmlLink, AFailedSendDropsTheConnectionOnlyWhenPartOfTheFrameWentOut)
{
    const struct {
        const char *what;
        std::deque<size_t> script;
        bool drops;
    } cases[] = {
        {"nothing written", {0}, false},
        {"half the header", {4}, true},
        {"the header, not the text", {8, 0}, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        XmlLink l;
        auto peer = l.start_and_login();
        ASSERT_TRUE(peer);
        send_script = c.script;
        EXPECT_EQ(l.link->send_text("<Lost />"), -1);
        send_script.clear();
        if (!c.drops) {
            EXPECT_EQ(l.link->send_text("<After />"), 0);
            EXPECT_EQ(read_frame(*peer), "<After />");
            EXPECT_EQ(l.texts.all(), std::vector<std::string>{":connected"});
            continue;
        }
        EXPECT_TRUE(peer->wait_closed());
        ASSERT_TRUE(l.texts.wait(":disconnected"));
        auto again = l.accept_login();
        ASSERT_TRUE(again);
        ASSERT_TRUE(l.texts.wait(":connected", 2));
        EXPECT_EQ(l.link->send_text("<After />"), 0);
        EXPECT_EQ(read_frame(*again), "<After />");
    }
}

// The destructor ends a blocked read and the pause between attempts at once,
// and no callback follows it.
TEST(XmlLink, DestroyingStopsTheThreadPromptly)
{
    {
        XmlLink l;
        auto peer = l.start_and_login();
        ASSERT_TRUE(peer);
        auto since = Clock::now();
        l.link.reset();
        EXPECT_LT(Clock::now() - since, 2500ms);
        EXPECT_EQ(l.texts.all(), std::vector<std::string>{":connected"});
        EXPECT_TRUE(peer->wait_closed());
    }
    {
        XmlLink l;
        auto peer = l.start_and_login();
        ASSERT_TRUE(peer);
        peer->close();
        ASSERT_TRUE(l.texts.wait(":disconnected")); // now in the pause before the next attempt
        auto since = Clock::now();
        l.link.reset();
        EXPECT_LT(Clock::now() - since, 2500ms);
        EXPECT_EQ(l.texts.all(), (std::vector<std::string>{":connected", ":disconnected"}));
    }
    {
        XmlLink l; // never started
        l.link.reset();
        EXPECT_EQ(l.texts.size(), 0u);
    }
}
