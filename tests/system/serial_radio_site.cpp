// End-to-end tests of a site whose radio is wired straight to the gateway's
// serial port: MTETRA, NX5xxx or NX700. This program runs inside a box started
// with that radio's emulator on "/dev/ttyS1" (`--tty1 mtetra|nx5|nx700`) and
// a playback file; it runs the unmodified gatesimd (the server's XML side, on
// loopback) and gwlinkd as children in the same box, then drives the radio,
// the server and the GPIO lines and watches what reaches each of them.
#include "tests/sanitized_build.h"
#include "tests/system/site_test.h"

#include "sim/radio_framing.h"

#include <fstream>
#include <sstream>

namespace
{

using namespace std::chrono_literals;
using boardbox::radio::Bytes;
using nlohmann::json;
using site::Clock;
using site::ms;
namespace radio = boardbox::radio;

using site::eventually;
using site::file_size;
using site::kEvent;
using site::wait_count;
constexpr uint32_t SWITCH_INPUT = 0x1000;
constexpr uint32_t RESET_ON = 0x80;
constexpr uint32_t ENABLE_8V = 0x100;
const char *const kBlockedUser = "intruder";

struct Model {
    const char *kind; // the box's emulator
    int radio_type;
    std::string prefix;     // the control's log prefix
    const char *event;      // the server's SerialDisp event
    const char *action;     // the action document sent on a PTT press
    bool action_on_release; // and on its release
    unsigned baud;
};

const Model kModels[] = {
    {"mtetra", config_format::radio_mtetra, "control_mtetra: ", "TEvent", "TAction", false, 460800},
    {"nx5", config_format::radio_nx5xxx, "control_nx5: ", "NXEvent", "NXAction", true, 230400},
    {"nx700", config_format::radio_nx700, "control_nx700: ", "NXEvent", "NXAction", true, 115200},
};

std::string hex(const Bytes &b)
{
    return radio::to_hex(b);
}

Bytes operator+(Bytes a, const Bytes &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes bytes_of(const std::string &hex_text)
{
    Bytes b;
    radio::parse_hex(hex_text, b);
    return b;
}

long rss_kib(pid_t pid)
{
    std::ifstream f("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(f, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::atol(line.c_str() + 6);
    return -1;
}

class SerialRadioSite : public site::SiteTest
{
  protected:
    void SetUp() override
    {
        site::SiteTest::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        for (const Model &m : kModels)
            if (tty1_kind_ == m.kind)
                model_ = &m;
        if (!model_)
            GTEST_SKIP() << "no serial radio on /dev/ttyS1 (" << tty1_kind_ << ")";
        ASSERT_EQ(box_.set_inputs(0, SWITCH_INPUT), 0);
        radio({{"op", "stop"}});
        radio({{"op", "clear"}});
    }

    const Model &m() const { return *model_; }
    std::string p(const std::string &text) const { return m().prefix + text; }

    json radio(json req) { return tty1(std::move(req)); }
    void radio_ok(json req) { tty1_ok(req); }

    void disp(const Bytes &b, const char *event = nullptr)
    {
        server_ok(std::string("disp ") + (event ? event : m().event) + " b64 " + hex(b));
    }

    // gatesimd for the XML gateways, then gwlinkd configured for this radio.
    void bring_up()
    {
        start_gatesimd({"--voice", "record:" + heard(), "--debug"});
        site::GatewayConfig c;
        c.port = xml_port();
        c.radio_type = m().radio_type;
        c.blocked = {kBlockedUser};
        start_gateway(c);
        wait_server("gatesimd: xml login [user]");
        ASSERT_TRUE(gw_.wait_for_line(p("logged in"))) << gw_.tail();
    }
    std::string heard() const { return path("heard.wav"); }

    // Everything the server received in XE SerialDisp documents, in order.
    Bytes server_serial()
    {
        // Lines "gatesimd: xml XE SerialDisp [USER]: N bytes: HEX".
        static const std::string head = "gatesimd: xml XE SerialDisp [";
        static const std::string count_end = " bytes: ";
        Bytes all;
        for (const std::string &line : srv_.lines()) {
            size_t at = line.find(head);
            if (at == std::string::npos)
                continue;
            size_t user_end = line.find("]: ", at + head.size());
            if (user_end == std::string::npos)
                continue;
            size_t digits = user_end + 3, n = digits;
            while (n < line.size() && line[n] >= '0' && line[n] <= '9')
                ++n;
            if (n == digits || line.compare(n, count_end.size(), count_end) != 0)
                continue;
            all = all + bytes_of(line.substr(n + count_end.size()));
        }
        return all;
    }
    bool wait_server_serial(size_t count, ms timeout)
    {
        return eventually([&] { return server_serial().size() >= count; }, timeout);
    }
    // Documents of one kind as the server received them.
    size_t server_docs_in(const std::string &name)
    {
        size_t n = 0;
        for (const std::string &line : srv_.lines())
            n += line.find("gatesimd: xml in ") != std::string::npos &&
                 line.find("<" + name) != std::string::npos;
        return n;
    }
    // The counter in the last volume line, or -1.
    int last_volume()
    {
        std::vector<std::string> lines = gw_.lines();
        for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
            size_t at = it->find(":: VOLUME: ");
            if (at != std::string::npos)
                return std::atoi(it->c_str() + at + 11);
        }
        return -1;
    }

    // What the radio received, once at least `count` bytes came.
    std::string radio_received(size_t count, ms timeout)
    {
        json r;
        eventually(
            [&] {
                r = radio({{"op", "received"}});
                return bytes_of(r.value("hex", "")).size() >= count;
            },
            timeout);
        return r.value("hex", "");
    }
    bool wait_radio_sent_all(ms timeout)
    {
        return eventually([&] { return radio({{"op", "state"}}).value("queued", 1) == 0; }, timeout);
    }
    // A PTT press and release on the radio, each seen by the server.
    void press_and_release(json extra = json::object())
    {
        const size_t from = srv_.line_count();
        json press = extra;
        press["op"] = "ptt";
        press["on"] = true;
        radio_ok(press);
        auto seen = [&](const char *text) { return srv_.wait_for_line(text, kEvent, from); };
        ASSERT_TRUE(seen("gatesimd: xml ptt on [user]")) << srv_.tail();
        radio_ok({{"op", "ptt"}, {"on", false}});
        ASSERT_TRUE(seen("gatesimd: xml ptt off [user]")) << srv_.tail();
    }

    const Model *model_ = nullptr;
};

TEST_F(SerialRadioSite, LogsInWithTheModelsFollowUpRequestsAtTheModelsLineSpeed)
{
    bring_up();
    EXPECT_EQ(radio({{"op", "state"}})["baud"], m().baud);
    if (std::string(m().kind) == "nx700") {
        EXPECT_TRUE(srv_.wait_for_line("<GpioStateReq", kEvent)) << srv_.tail();
    }
    // Whatever follows the login is sent before the next request on the same
    // link, so after a PTT press every follow-up has arrived.
    press_and_release();
    EXPECT_EQ(server_docs_in("GpioStateReq"), std::string(m().kind) == "nx700" ? 1u : 0u);
    EXPECT_EQ(server_docs_in("XCMPStatusReq"), 0u);
}

TEST_F(SerialRadioSite, ServerSerialDataReachesTheRadioUnderTheModelsRules)
{
    bring_up();
    const std::string kind = m().kind;
    std::string want;
    if (kind == "mtetra") {
        // Whole FF frames only; a frame may span two documents.
        disp(bytes_of("01 FF 02 03 FF 04 FF 05 06"));
        disp(bytes_of("07 FF"));
        disp(bytes_of("FF 09 FF"), "XCMPEvent"); // another model's event
        disp(bytes_of("FF 0A FF"));
        want = "FF 02 03 FF FF 05 06 07 FF FF 0A FF";
    } else if (kind == "nx5") {
        Bytes good1 = radio::nx5_frame(bytes_of("01 02 03"));
        Bytes bad = radio::nx5_frame(bytes_of("04 05"));
        bad[bad.size() - 1] ^= 0x01;
        Bytes good2 = radio::nx5_frame(bytes_of("06"), 0x02, 0x0102);
        Bytes overlong = radio::nx5_frame(Bytes(1014, 0x55));
        Bytes split = radio::nx5_frame(bytes_of("10 11 12 13 14"));
        disp(bytes_of("00 11") + good1 + bad + good2);
        disp(overlong + Bytes(split.begin(), split.begin() + 6));
        disp(Bytes(split.begin() + 6, split.end()));
        disp(good1, "XCMPEvent");
        disp(good2);
        want = hex(good1 + good2 + split + good2);
        EXPECT_TRUE(gw_.wait_for_line("nx5_serialdisp_frame: invalid CRC!", kEvent)) << gw_.tail();
    } else {
        // Every byte as it is.
        disp(bytes_of("01 02 44 00 01 7F 03"));
        disp(bytes_of("FF 44 00"), "XCMPEvent");
        disp(bytes_of("44 00 09"));
        want = "01 02 44 00 01 7F 03 44 00 09";
        EXPECT_TRUE(gw_.wait_for_line("control_nx700: serial <- frame [01 02 44 00 01 7F 03]", kEvent))
            << gw_.tail();
    }
    EXPECT_EQ(radio_received(bytes_of(want).size(), kEvent), want);
}

TEST_F(SerialRadioSite, RadioBytesReachTheServerUnderTheModelsRules)
{
    bring_up();
    const std::string kind = m().kind;
    Bytes want;
    if (kind == "mtetra") {
        // Every byte, framed or not.
        radio_ok({{"op", "send"}, {"hex", "01 02 FF 03 FF"}});
        radio_ok({{"op", "frame"}, {"hex", "AA BB"}});
        radio_ok({{"op", "overlong"}, {"length", 1100}});
        want = bytes_of("01 02 FF 03 FF FF AA BB FF") + radio::mtetra_frame(Bytes(1100, 0x55));
    } else if (kind == "nx5") {
        radio_ok({{"op", "send"}, {"hex", "00 11"}});
        radio_ok({{"op", "frame"}, {"hex", "01 02 03"}});
        radio_ok({{"op", "bad_checksum"}, {"hex", "04"}});
        want = bytes_of("00 11") + radio::nx5_frame(bytes_of("01 02 03")) + radio::nx5_frame(bytes_of("04"));
        want[want.size() - 2]++;
        EXPECT_TRUE(gw_.wait_for_line("nx5_serialdisp_frame: invalid CRC!", kEvent)) << gw_.tail();
    } else {
        // Whole frames but the volume keys; the PTT frames after they keyed
        // the gateway. Bytes outside frames stay behind.
        radio_ok({{"op", "send"}, {"hex", "01 02"}});
        radio_ok({{"op", "frame"}, {"hex", "AA BB"}});
        radio_ok({{"op", "volume"}, {"dir", "up"}});
        radio_ok({{"op", "volume"}, {"dir", "down"}});
        press_and_release();
        radio_ok({{"op", "overlong"}});
        radio_ok({{"op", "frame"}, {"hex", "CC"}});
        want = bytes_of("44 00 02 AA BB 44 00 02 1A 01 44 00 02 1A 00 44 00 01 CC");
        EXPECT_TRUE(gw_.wait_for_line(":: VOLUME: ", kEvent)) << gw_.tail();
    }
    ASSERT_TRUE(wait_server_serial(want.size(), kEvent)) << srv_.tail();
    EXPECT_EQ(hex(server_serial()), hex(want));
    if (kind == "nx700") {
        EXPECT_EQ(gw_.count("control_nx700: nsf_local: serial <- frame: [44 00 02 10 01]"), 1u);
        EXPECT_EQ(gw_.count("=== PTT (1)"), 1u);
    }
}

TEST_F(SerialRadioSite, RadioPttKeysTheGatewayAndItsVoice)
{
    bring_up();
    long before = std::max(file_size(heard()), 44L);
    radio_ok({{"op", "ptt"}, {"on", true}});
    ASSERT_TRUE(srv_.wait_for_line("gatesimd: xml ptt on [user]", kEvent)) << srv_.tail();
    EXPECT_TRUE(gw_.wait_for_line(p("ptt: 1"), kEvent)) << gw_.tail();
    // The microphone reaches the server: a second of voice recorded.
    EXPECT_TRUE(eventually([&] { return file_size(heard()) >= before + 16000; }, kEvent))
        << "the server recorded no voice";
    radio_ok({{"op", "ptt"}, {"on", false}});
    ASSERT_TRUE(srv_.wait_for_line("gatesimd: xml ptt off [user]", kEvent)) << srv_.tail();
    EXPECT_TRUE(gw_.wait_for_line(p("ptt: 0"), kEvent)) << gw_.tail();
    // The release came after any action document the release would send.
    EXPECT_EQ(srv_.count(std::string("gatesimd: xml ") + m().action + " [user]"),
              m().action_on_release ? 2u : 1u)
        << srv_.tail();
    EXPECT_EQ(server_docs_in(m().action), m().action_on_release ? 2u : 1u);
}

TEST_F(SerialRadioSite, ABlockedUsersSpeechIsMutedWhileTheyTalk)
{
    bring_up();
    auto ev = [](int ptt, const char *user) {
        return std::string("xmlraw <SetPttEv ptt=\"") + std::to_string(ptt) +
               "\" login_roip=\"site-radio\" login_local=\"" + user + "\" />";
    };
    size_t unmuted = gw_.count(p("mute (0)"));
    server_ok(ev(1, kBlockedUser));
    ASSERT_TRUE(gw_.wait_for_line(p("on_setptt(1) blocking user [intruder]"), kEvent)) << gw_.tail();
    EXPECT_TRUE(gw_.wait_for_line(p("mute (1)"), kEvent));
    server_ok(ev(0, kBlockedUser));
    EXPECT_TRUE(wait_count(gw_, p("mute (0)"), unmuted + 1, kEvent)) << gw_.tail();
    server_ok(ev(1, "friend"));
    EXPECT_TRUE(wait_count(gw_, p("mute (0)"), unmuted + 2, kEvent)) << gw_.tail();
    EXPECT_EQ(gw_.count(p("mute (1)")), 1u);
}

// The peak of each non-silent 20 ms block the loudspeaker played from `from`
// (bytes into the WAV file), with its count of sign changes.
struct Block {
    int peak;
    int crossings;
};
std::vector<Block> played_blocks(const std::string &wav, long from)
{
    std::ifstream f(wav, std::ios::binary);
    std::vector<Block> out;
    f.seekg(from);
    std::vector<char> buf(320);
    while (f.read(buf.data(), 320)) {
        int peak = 0, crossings = 0, last = 0;
        for (int i = 0; i < 160; i++) {
            int s = static_cast<int16_t>(bytes::get_le16(reinterpret_cast<uint8_t *>(buf.data()) + 2 * i));
            peak = std::max(peak, std::abs(s));
            int sign = s > 0 ? 1 : s < 0 ? -1 : 0;
            if (sign && last && sign != last)
                crossings++;
            if (sign)
                last = sign;
        }
        if (peak > 64)
            out.push_back({peak, crossings});
    }
    return out;
}

TEST_F(SerialRadioSite, Nx700VolumeKeysSetTheLoudspeakerLevelPlayTonesAndStayLocal)
{
    if (std::string(m().kind) != "nx700")
        GTEST_SKIP() << "nx700 only";
    bring_up();
    json levels;
    box_.request({{"cmd", "audio_levels"}}, levels);
    const std::string wav = levels.value("playback_file", "");
    ASSERT_FALSE(wav.empty()) << "the box records no playback";
    // Blocks are 320 bytes after the 44-byte header.
    auto block_start = [&] { return 44 + (file_size(wav) - 44) / 320 * 320; };

    // Up to the top from wherever the counter starts: the last press plays
    // tone 2 (about 110 Hz) at volume 31, gain 961/1024.
    long from = block_start();
    size_t lines = gw_.count(":: VOLUME: ");
    radio_ok({{"op", "volume"}, {"dir", "up"}, {"count", 40}});
    ASSERT_TRUE(wait_count(gw_, ":: VOLUME: ", lines + 40, kEvent)) << gw_.tail();
    EXPECT_EQ(last_volume(), 31);
    // One step down, tone 1 (about 440 Hz) at volume 30; twenty more, tone 1
    // at volume 10 (gain 100/1024).
    auto tone_after = [&](long start, int want_peak, int min_crossings, int max_crossings) {
        return eventually(
            [&] {
                for (const Block &b : played_blocks(wav, start))
                    if (std::abs(b.peak - want_peak) <= want_peak / 10 + 16 && b.crossings >= min_crossings &&
                        b.crossings <= max_crossings)
                        return true;
                return false;
            },
            kEvent);
    };
    EXPECT_TRUE(tone_after(from, 6554 * 961 / 1024, 3, 5)) << "no tone 2 at volume 31";
    from = block_start();
    radio_ok({{"op", "volume"}, {"dir", "down"}});
    ASSERT_TRUE(gw_.wait_for_line(":: VOLUME: 30", kEvent)) << gw_.tail();
    EXPECT_TRUE(tone_after(from, 6554 * 900 / 1024, 15, 18)) << "no tone 1 at volume 30";
    from = block_start();
    radio_ok({{"op", "volume"}, {"dir", "down"}, {"count", 20}});
    ASSERT_TRUE(gw_.wait_for_line(":: VOLUME: 10", kEvent)) << gw_.tail();
    EXPECT_TRUE(tone_after(from, 6554 * 100 / 1024, 15, 18)) << "no tone 1 at volume 10";
    // To the bottom and beyond: it stays at 0.
    lines = gw_.count(":: VOLUME: 0");
    radio_ok({{"op", "volume"}, {"dir", "down"}, {"count", 12}});
    EXPECT_TRUE(wait_count(gw_, ":: VOLUME: 0", lines + 3, kEvent)) << gw_.tail();
    EXPECT_EQ(gw_.count(":: VOLUME: -1"), 0u);
    // None of it went to the server.
    radio_ok({{"op", "frame"}, {"hex", "EE"}});
    ASSERT_TRUE(wait_server_serial(4, kEvent)) << srv_.tail();
    EXPECT_EQ(hex(server_serial()), "44 00 01 EE");
}

TEST_F(SerialRadioSite, Nx700ServerGpioDrivesTheRadiosLinesByMask)
{
    if (std::string(m().kind) != "nx700")
        GTEST_SKIP() << "nx700 only";
    bring_up();
    const uint32_t both = RESET_ON | ENABLE_8V;
    const std::string events = "control_nx700: GpioChangedEv: ";
    // Whatever the server answered to the login's GpioStateReq is handled first.
    eventually([&] { return srv_.count("<GpioChangedEv") > 0; }, 5s);
    ASSERT_TRUE(wait_count(gw_, events, srv_.count("<GpioChangedEv"), kEvent)) << gw_.tail();
    // Each step waits for the last line its event prints, from where it began.
    auto step = [&](const std::string &command, const std::string &last_line) {
        size_t from = gw_.line_count();
        server_ok(command);
        return gw_.wait_for_line(last_line, kEvent, from);
    };
    // Both lines off, whatever they were.
    ASSERT_TRUE(step("gpio 0 0xC00000", "control_nx700: clr: ENABLE_8V")) << gw_.tail();
    EXPECT_TRUE(wait_outputs(both, 0, kEvent));
    // A mask of 0 changes nothing, whatever the bitmap says: the next event
    // (one bit in its mask) finds the other line still off.
    ASSERT_TRUE(step("xmlraw <GpioChangedEv bitmap=\"0xC00000\" mask=\"0x0\" />",
                     "GpioChangedEv: bitmap: 00C00000, mask: 00000000"))
        << gw_.tail();
    size_t from = gw_.line_count();
    ASSERT_TRUE(step("gpio 0x400000 0x400000", "control_nx700: set: RESET_ON")) << gw_.tail();
    EXPECT_TRUE(wait_outputs(both, RESET_ON, kEvent));
    EXPECT_EQ(gw_.count("ENABLE_8V", from), 0u);
    ASSERT_TRUE(step("gpio 0x800000 0x800000", "control_nx700: set: ENABLE_8V")) << gw_.tail();
    EXPECT_TRUE(wait_outputs(both, both, kEvent));
    json radio_view = radio({{"op", "state"}});
    EXPECT_EQ(radio_view["reset_on"], true);
    EXPECT_EQ(radio_view["enable_8v"], true);
    ASSERT_TRUE(step("gpio 0 0x800000", "control_nx700: clr: ENABLE_8V")) << gw_.tail();
    EXPECT_TRUE(wait_outputs(both, RESET_ON, kEvent));
}

TEST_F(SerialRadioSite, Nx700LocalSwitchInputIsTheServersBit4)
{
    if (std::string(m().kind) != "nx700")
        GTEST_SKIP() << "nx700 only";
    bring_up();
    const std::string clr = "gatesimd: xml GpioClrReq [user]: bitmap 0x4,";
    const std::string set = "gatesimd: xml GpioSetReq [user]: bitmap 0x4,";
    size_t clears = srv_.count(clr), sets = srv_.count(set);
    ASSERT_EQ(box_.set_inputs(SWITCH_INPUT, 0), 0);
    ASSERT_TRUE(wait_count(srv_, clr, clears + 1, kEvent)) << srv_.tail();
    EXPECT_TRUE(gw_.wait_for_line("control_nx700: cb_gpio_changed: clr SWITCH_ON", kEvent));
    ASSERT_EQ(box_.set_inputs(0, SWITCH_INPUT), 0);
    ASSERT_TRUE(wait_count(srv_, set, sets + 1, kEvent)) << srv_.tail();
    EXPECT_TRUE(gw_.wait_for_line("control_nx700: cb_gpio_changed: set SWITCH_ON", kEvent));
    EXPECT_EQ(srv_.count(clr), clears + 1);
}

TEST_F(SerialRadioSite, AMinuteOfGarbageOnTheLineAndFromTheServerNeverStopsTheGateway)
{
    bring_up();
    const std::string kind = m().kind;
    // Settle the first allocations with one round trip, then measure.
    press_and_release();
    long rss_before = rss_kib(gw_.pid());
    ASSERT_GT(rss_before, 0);

    json noise = radio({{"op", "noise"}, {"seconds", 60}, {"seed", 0x5EED}});
    ASSERT_EQ(noise.value("ok", false), true) << noise.dump();
    // The model's own broken frames in the noise, and undecodable serial data
    // from the server meanwhile.
    radio_ok({{"op", "overlong"}});
    if (kind == "nx5")
        radio_ok({{"op", "bad_checksum"}, {"hex", "01 02 03"}});
    const std::string event = m().event;
    for (int i = 0; i < 5; i++) {
        server_ok("xmlraw <" + event + "><SerialDisp denc=\"b64z\" d=\"eJwDAAAAAAE=\" /></" + event + ">");
        server_ok("xmlraw <" + event + "><SerialDisp denc=\"b64\" d=\"\" /></" + event + ">");
        server_ok("xmlraw <" + event + "><SerialDisp denc=\"b64\" /></" + event + ">");
    }
    EXPECT_TRUE(wait_count(gw_, p(event + "/SerialDisp decode error!"), 15, kEvent)) << gw_.tail();
    ASSERT_TRUE(wait_radio_sent_all(120s));
    if (kind == "nx5") {
        EXPECT_GE(gw_.find("nx5_serialdisp_frame: invalid CRC!"), 0);
    }
    if (kind == "nx700") {
        // A volume key with a pause inside is dropped with the time-out line.
        size_t volumes = gw_.count(":: VOLUME: ");
        radio_ok({{"op", "volume"}, {"dir", "up"}, {"split", 2}, {"gap_ms", 150}});
        ASSERT_TRUE(gw_.wait_for_line("nx700_serialdisp_frame: timeout!", kEvent)) << gw_.tail();
        radio_ok({{"op", "frame"}, {"hex", "01"}, {"gap_ms", 300}});
        ASSERT_TRUE(gw_.wait_for_line("nsf_local: serial <- frame: [44 00 01 01]", kEvent)) << gw_.tail();
        EXPECT_EQ(gw_.count(":: VOLUME: "), volumes);
    }
    EXPECT_EQ(gw_.wait_exit(ms(0)), -1) << "gwlinkd ended";

    // Still alive and answering: after the framing has found its feet again
    // (MTETRA: one FF ends any half frame; NX5: enough bytes to end the
    // longest; NX700: a pause), the PTT key still keys the gateway.
    if (kind == "mtetra")
        radio_ok({{"op", "send"}, {"hex", "FF"}});
    if (kind == "nx5")
        radio_ok({{"op", "send"}, {"hex", hex(Bytes(1100, 0x00))}});
    press_and_release({{"gap_ms", 300}});
    long rss_after = rss_kib(gw_.pid());
    if (!sanitized_build) {
        EXPECT_LT(rss_after - rss_before, 4096)
            << "gwlinkd grew from " << rss_before << " to " << rss_after << " KiB";
    }
    json s = radio({{"op", "state"}});
    std::printf("%s: %s bytes of noise sent; gwlinkd %ld -> %ld KiB\n", kind.c_str(),
                std::to_string(s.value("sent", 0)).c_str(), rss_before, rss_after);
}

// The radio's line hung up (the device vanished under the gateway) and back
// as a new device with the same settings, three times: the gateway reports
// the missing device while it is gone, re-opens it when it is back, and the
// radio's PTT keys it again.
TEST_F(SerialRadioSite, TheLineHungUpAndBackIsReopenedAndWorksAgain)
{
    bring_up();
    press_and_release();
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        const size_t from = gw_.line_count();
        json r;
        ASSERT_EQ(box_.request({{"cmd", "tty"}, {"port", 1}, {"op", "hangup"}}, r), 0);
        ASSERT_TRUE(r.value("ok", false)) << r.dump();
        EXPECT_TRUE(gw_.wait_for_line("serial: read: cannot re-open port!", kEvent, from)) << gw_.tail();
        ASSERT_EQ(box_.request({{"cmd", "tty"}, {"port", 1}, {"op", "restore"}}, r), 0);
        ASSERT_TRUE(r.value("ok", false)) << r.dump();
        EXPECT_EQ(gw_.wait_exit(ms(0)), -1) << "gwlinkd ended";
        // Bytes sent before the gateway has the new device open are lost, so
        // the first press may go unseen: press until one gets through.
        const size_t server_from = srv_.line_count();
        bool keyed = eventually(
            [&] {
                radio_ok({{"op", "ptt"}, {"on", true}});
                bool on = eventually(
                    [&] { return srv_.count("gatesimd: xml ptt on [user]", server_from) > 0; }, 1000ms);
                radio_ok({{"op", "ptt"}, {"on", false}});
                return on;
            },
            kEvent);
        ASSERT_TRUE(keyed) << "the radio's PTT no longer reaches the server\n" << gw_.tail();
        ASSERT_TRUE(
            eventually([&] { return srv_.count("gatesimd: xml ptt off [user]", server_from) > 0; }, kEvent))
            << srv_.tail();
        EXPECT_EQ(radio({{"op", "state"}})["baud"], m().baud) << "the line lost its settings";
        press_and_release();
    }
}

} // namespace
