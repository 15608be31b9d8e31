// The MTETRA, NX5 and NX700 radio emulators: their frame builders and stream
// splitters against literal byte vectors, and the peers driven through a fake
// line (key frames, broken frames, noise, the pause inside a frame, pacing).
#include "sim/radio_framing.h"
#include "sim/tty_peer.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

using boardbox::radio::Bytes;
using boardbox::radio::Piece;
using nlohmann::json;
namespace radio = boardbox::radio;

namespace
{

Bytes hex(const std::string &text)
{
    Bytes b;
    EXPECT_TRUE(radio::parse_hex(text, b)) << text;
    return b;
}

Bytes cat(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes &p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

TEST(RadioFraming, BuildersGiveTheModelsKeyFrames)
{
    struct Case {
        const char *name;
        Bytes frame;
        const char *want;
    } cases[] = {
        {"mtetra PTT pressed", radio::mtetra_ptt_frame(true), "FF 20 14 04 01 00 00 00 00 00 20 00 00 FF"},
        {"mtetra PTT released", radio::mtetra_ptt_frame(false), "FF 20 14 04 00 00 00 00 00 00 20 00 00 FF"},
        {"nx5 PTT pressed", radio::nx5_ptt_frame(true),
         "FF 01 AB AB 12 00 00 00 01 70 00 00 00 00 00 00 00 00 00 00 00 00 27 01 00 00 28 71"},
        {"nx5 PTT released", radio::nx5_ptt_frame(false),
         "FF 01 AB AB 12 00 00 00 01 70 00 00 00 00 00 00 00 00 00 00 00 00 27 00 00 00 28 70"},
        {"nx700 PTT pressed", radio::nx700_ptt_frame(true), "44 00 02 1A 01"},
        {"nx700 PTT released", radio::nx700_ptt_frame(false), "44 00 02 1A 00"},
        {"nx700 volume up", radio::nx700_volume_frame(true), "44 00 02 10 01"},
        {"nx700 volume down", radio::nx700_volume_frame(false), "44 00 02 11 01"},
        {"mtetra frame", radio::mtetra_frame(hex("01 02")), "FF 01 02 FF"},
        {"nx5 empty payload", radio::nx5_frame({}), "FF 01 AB AB 00 00 00 00 00 00"},
        // Odd length: the last word is 03 and the checksum's own low byte.
        {"nx5 odd payload", radio::nx5_frame(hex("01 02 03")), "FF 01 AB AB 03 00 00 00 01 02 03 04 06"},
        {"nx5 odd payload, carry", radio::nx5_frame(hex("FF")), "FF 01 AB AB 01 00 00 00 FF FF FF"},
        {"nx5 id and extra", radio::nx5_frame(hex("10 20"), 0x07, 0x1234),
         "FF 07 AB AB 02 00 34 12 10 20 10 20"},
        {"nx5 sum wraps", radio::nx5_frame(hex("FF FF 02 00")), "FF 01 AB AB 04 00 00 00 FF FF 02 00 01 00"},
        {"nx700 frame", radio::nx700_frame(hex("AA BB CC")), "44 00 03 AA BB CC"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(radio::to_hex(c.frame), c.want) << c.name;
    EXPECT_EQ(radio::nx5_frame(Bytes(508, 0x55)).size(), 518u);
    Bytes big = radio::nx700_frame(Bytes(300, 1));
    EXPECT_EQ(radio::to_hex(Bytes(big.begin(), big.begin() + 3)), "44 01 2C");
}

struct Fed {
    Bytes bytes;
    double at = 0; // seconds
};

std::string split(radio::FrameSplitter &s, const std::vector<Fed> &input, double idle_at = -1)
{
    std::vector<Piece> out;
    for (const Fed &f : input)
        for (uint8_t b : f.bytes)
            s.feed(b, f.at, out);
    if (idle_at >= 0)
        s.idle(idle_at, out);
    std::string r;
    for (const Piece &p : out)
        r += (p.valid ? "[" : "![") + radio::to_hex(p.bytes) + (p.valid ? "]" : "] " + p.error) + "\n";
    if (!s.pending().empty())
        r += "pending " + radio::to_hex(s.pending()) + "\n";
    return r;
}

TEST(RadioFraming, SplittersMarkFramesAndRejectedBytes)
{
    using Make = std::function<std::unique_ptr<radio::FrameSplitter>()>;
    Make mtetra = [] { return radio::make_mtetra_splitter(); };
    Make nx5 = [] { return radio::make_nx5_splitter(); };
    Make nx700 = [] { return radio::make_nx700_splitter(); };
    Bytes long_body(1023, 0x55);
    std::string long_hex = radio::to_hex(cat({hex("FF"), long_body}));
    Bytes l1013 = radio::nx5_frame(Bytes(1013, 0x00));
    struct Case {
        const char *name;
        Make make;
        std::vector<Fed> input;
        std::string want;
        double idle_at;
    } cases[] = {
        {"mtetra doubled opening FF",
         mtetra,
         {{hex("FF FF 01 FF")}},
         "![FF] FF directly before an opening FF\n[FF 01 FF]\n",
         -1},
        {"mtetra bytes around a frame",
         mtetra,
         {{hex("01 02 FF 03 FF 04")}},
         "![01 02] outside a frame\n[FF 03 FF]\npending 04\n",
         -1},
        {"mtetra stray bytes closed when quiet",
         mtetra,
         {{hex("FF 03 FF 04 05"), 1.0}},
         "[FF 03 FF]\n![04 05] outside a frame\n",
         1.2},
        {"mtetra frame without its end at 1024 bytes",
         mtetra,
         {{cat({hex("FF"), long_body, hex("FF 01 FF")})}},
         "![" + long_hex + "] no closing FF within 1024 bytes\n[FF 01 FF]\n",
         -1},
        {"mtetra longest frame",
         mtetra,
         {{radio::mtetra_frame(Bytes(1022, 0x55))}},
         "[" + radio::to_hex(radio::mtetra_frame(Bytes(1022, 0x55))) + "]\n",
         -1},
        {"nx5 frame in pieces among junk",
         nx5,
         {{hex("00 11 FF 01 AB")}, {hex("AB 03 00 00 00 01")}, {hex("02 03 04 06 22")}},
         "![00 11] outside a frame\n[FF 01 AB AB 03 00 00 00 01 02 03 04 06]\npending 22\n",
         -1},
        {"nx5 wrong checksum",
         nx5,
         {{hex("FF 01 AB AB 03 00 00 00 01 02 03 05 06")}},
         "![FF 01 AB AB 03 00 00 00 01 02 03 05 06] checksum 0605, the words sum to 0704\n",
         -1},
        {"nx5 broken headers",
         nx5,
         {{hex("FF FF 01 AB 00 FF 01 FF 01 AB AB 00 00 00 00 00 00")}},
         "![FF] header broken by FF\n![FF 01 AB 00] header without AB AB\n![FF 01] header broken by FF\n"
         "[FF 01 AB AB 00 00 00 00 00 00]\n",
         -1},
        {"nx5 length over 1013",
         nx5,
         {{hex("FF 01 AB AB F6 03 00 00 55 55")}},
         "pending FF 01 AB AB F6 03 00 00 55 55\n",
         -1},
        {"nx5 length over 1013, quiet",
         nx5,
         {{hex("FF 01 AB AB F6 03 00 00 55 55")}},
         "![FF 01 AB AB F6 03 00 00 55 55] payload length over 1013\n",
         0.5},
        {"nx5 length 1013", nx5, {{l1013}}, "[" + radio::to_hex(l1013) + "]\n", -1},
        {"nx700 key frames",
         nx700,
         {{hex("44 00 02 10 01 44 00 02 1A 00")}},
         "[44 00 02 10 01]\n[44 00 02 1A 00]\n",
         -1},
        {"nx700 empty frame and junk",
         nx700,
         {{hex("01 44 00 00 02")}},
         "![01] outside a frame\n[44 00 00]\npending 02\n",
         -1},
        {"nx700 150 ms inside a frame",
         nx700,
         {{hex("44 00"), 1.0}, {hex("02 10 01"), 1.15}},
         "![44 00] more than 100 ms between two bytes\npending 02 10 01\n",
         -1},
        {"nx700 90 ms inside a frame is still one frame",
         nx700,
         {{hex("44 00"), 1.0}, {hex("02 10 01"), 1.09}},
         "[44 00 02 10 01]\n",
         -1},
        {"nx700 a frame that stops",
         nx700,
         {{hex("44 00 05 01"), 1.0}},
         "![44 00 05 01] more than 100 ms between two bytes\n",
         1.2},
        {"nx700 length over 508",
         nx700,
         {{hex("44 01 FD 00 44 00 01 7F")}},
         "![44 01 FD 00] payload length over 508\n[44 00 01 7F]\n",
         -1},
    };
    for (const Case &c : cases) {
        auto s = c.make();
        EXPECT_EQ(split(*s, c.input, c.idle_at), c.want) << c.name;
    }
}

// ---------------------------------------------------------------------------

class FakeLine : public boardbox::PeerHost
{
  public:
    int port() const override { return 1; }
    void send(const uint8_t *data, size_t count) override { sent.insert(sent.end(), data, data + count); }
    void set_inputs(uint32_t, uint32_t) override {}
    uint32_t gpio_outputs() const override { return outputs; }
    uint32_t gpio_levels() const override { return outputs; }
    unsigned baud() const override { return speed; }
    void log(const std::string &text) override { logged.push_back(text); }
    double now() const override { return clock; }

    std::string take()
    {
        std::string s = radio::to_hex(sent);
        sent.clear();
        return s;
    }

    Bytes sent;
    std::vector<std::string> logged;
    unsigned speed = 0;
    double clock = 0;
    uint32_t outputs = 0;
};

struct Radio {
    explicit Radio(const std::string &kind) : peer((*boardbox::find_peer(kind))(line, "")) {}

    json op(json req)
    {
        json r = peer->control(req);
        if (!r.contains("ok"))
            r["ok"] = true;
        return r;
    }
    // Ticks of 10 ms until `until`.
    void run_until(double until)
    {
        while (line.clock + 0.01 <= until + 1e-9) {
            line.clock += 0.01;
            peer->tick();
        }
    }
    void receive(const Bytes &b) { peer->received(b.data(), b.size()); }

    FakeLine line;
    std::unique_ptr<boardbox::TtyPeer> peer;
};

TEST(SerialRadios, AreRegisteredWithTheirLineSpeeds)
{
    for (auto [kind, speed] :
         {std::pair<const char *, unsigned>{"mtetra", 460800}, {"nx5", 230400}, {"nx700", 115200}}) {
        ASSERT_NE(boardbox::find_peer(kind), nullptr) << kind;
        Radio r(kind);
        json s = r.op({{"op", "state"}});
        EXPECT_EQ(s["model"], kind);
        EXPECT_EQ(s["expected_baud"], speed) << kind;
    }
}

TEST(SerialRadios, SendTheirKeyFramesAndBuiltFrames)
{
    struct Case {
        const char *kind;
        json request;
        std::string sent; // empty: the request fails
    } cases[] = {
        {"mtetra", {{"op", "ptt"}, {"on", true}}, "FF 20 14 04 01 00 00 00 00 00 20 00 00 FF"},
        {"mtetra", {{"op", "ptt"}, {"on", false}}, "FF 20 14 04 00 00 00 00 00 00 20 00 00 FF"},
        {"mtetra", {{"op", "ptt"}}, ""},
        {"mtetra", {{"op", "frame"}, {"hex", "01 02"}}, "FF 01 02 FF"},
        {"mtetra", {{"op", "frame"}, {"hex", "01 FF"}}, ""},
        {"mtetra", {{"op", "bad_checksum"}, {"hex", "01"}}, ""},
        {"mtetra", {{"op", "send"}, {"hex", "FF FF 01 FF"}}, "FF FF 01 FF"},
        {"mtetra", {{"op", "send"}, {"hex", "0G"}}, ""},
        {"mtetra", {{"op", "send"}, {"hex", "012"}}, ""},
        {"mtetra", {{"op", "dance"}}, ""},
        {"nx5",
         {{"op", "ptt"}, {"on", true}},
         "FF 01 AB AB 12 00 00 00 01 70 00 00 00 00 00 00 00 00 00 00 00 00 27 01 00 00 28 71"},
        {"nx5", {{"op", "frame"}, {"hex", "01 02 03"}}, "FF 01 AB AB 03 00 00 00 01 02 03 04 06"},
        {"nx5",
         {{"op", "frame"}, {"hex", "10 20"}, {"id", 7}, {"extra", 0x1234}},
         "FF 07 AB AB 02 00 34 12 10 20 10 20"},
        {"nx5", {{"op", "frame"}, {"hex", "10"}, {"id", 255}}, ""},
        {"nx5", {{"op", "bad_checksum"}, {"hex", "01 02 03"}}, "FF 01 AB AB 03 00 00 00 01 02 03 05 06"},
        {"nx700", {{"op", "ptt"}, {"on", true}}, "44 00 02 1A 01"},
        {"nx700", {{"op", "ptt"}, {"on", false}}, "44 00 02 1A 00"},
        {"nx700", {{"op", "volume"}, {"dir", "up"}}, "44 00 02 10 01"},
        {"nx700", {{"op", "volume"}, {"dir", "down"}, {"count", 2}}, "44 00 02 11 01 44 00 02 11 01"},
        {"nx700", {{"op", "volume"}, {"dir", "sideways"}}, ""},
        {"nx700", {{"op", "volume"}, {"dir", "up"}, {"count", 0}}, ""},
        {"nx700", {{"op", "frame"}, {"hex", "AA BB"}}, "44 00 02 AA BB"},
        {"nx700", {{"op", "bad_checksum"}, {"hex", "01"}}, ""},
        {"nx700", {{"op", "volume"}, {"dir", 1}}, ""},
        {"nx5", {{"op", "frame"}, {"hex", "10"}, {"id", "seven"}}, ""},
        {"nx5", {{"op", 5}}, ""},
    };
    for (const Case &c : cases) {
        Radio r(c.kind);
        json reply = r.op(c.request);
        r.run_until(0.05);
        EXPECT_EQ(reply["ok"], !c.sent.empty()) << c.kind << " " << c.request.dump() << " " << reply.dump();
        EXPECT_EQ(r.line.take(), c.sent) << c.kind << " " << c.request.dump();
    }
}

TEST(SerialRadios, OverlongFramesExceedEachFramingByOne)
{
    struct Case {
        const char *kind;
        size_t size;
        std::string head;
    } cases[] = {
        {"mtetra", 1025, "FF 55"},
        {"nx5", 1024, "FF 01 AB AB F6 03 00 00 55"},
        {"nx700", 512, "44 01 FD 55"},
    };
    for (const Case &c : cases) {
        Radio r(c.kind);
        ASSERT_EQ(r.op({{"op", "overlong"}})["ok"], true);
        r.run_until(1.0);
        ASSERT_EQ(r.line.sent.size(), c.size) << c.kind;
        EXPECT_EQ(r.line.take().substr(0, c.head.size()), c.head) << c.kind;
    }
    Radio r("nx700");
    EXPECT_EQ(r.op({{"op", "overlong"}, {"length", 5000}})["ok"], false);
}

TEST(SerialRadios, KeepEveryByteAndEveryFrameTheGatewayWrites)
{
    Radio r("mtetra");
    r.receive(hex("01 FF 02 03"));
    r.receive(hex("FF 04"));
    json s = r.op({{"op", "state"}});
    EXPECT_EQ(s["received"], 6);
    EXPECT_EQ(s["frames"], 1);
    EXPECT_EQ(s["rejected"], 1);
    EXPECT_EQ(s["pending"], "04");
    EXPECT_EQ(r.op({{"op", "received"}})["hex"], "01 FF 02 03 FF 04");
    EXPECT_EQ(r.op({{"op", "received"}, {"since", 4}})["hex"], "FF 04");
    EXPECT_EQ(r.op({{"op", "received"}, {"since", 7}})["ok"], false);
    json f = r.op({{"op", "frames"}});
    ASSERT_EQ(f["frames"].size(), 2u);
    EXPECT_EQ(f["frames"][0]["hex"], "01");
    EXPECT_EQ(f["frames"][0]["valid"], false);
    EXPECT_EQ(f["frames"][1]["hex"], "FF 02 03 FF");
    EXPECT_EQ(f["frames"][1]["valid"], true);
    EXPECT_EQ(r.op({{"op", "frames"}, {"since", 1}})["frames"].size(), 1u);
    r.op({{"op", "clear"}});
    EXPECT_EQ(r.op({{"op", "state"}})["received"], 0);
    EXPECT_EQ(r.op({{"op", "frames"}})["frames"].size(), 0u);
}

TEST(SerialRadios, APauseInsideAFrameHoldsTheRestBack)
{
    Radio r("nx700");
    ASSERT_EQ(r.op({{"op", "volume"}, {"dir", "up"}, {"split", 2}, {"gap_ms", 150}})["ok"], true);
    r.run_until(0.01);
    EXPECT_EQ(r.line.take(), "44 00");
    r.run_until(0.15);
    EXPECT_EQ(r.line.take(), "");
    r.run_until(0.30);
    EXPECT_EQ(r.line.take(), "02 10 01");
    EXPECT_EQ(r.op({{"op", "frame"}, {"hex", "01"}, {"split", 9}})["ok"], false);

    // Without a split the whole waits, counted from the end of what went before.
    ASSERT_EQ(r.op({{"op", "ptt"}, {"on", true}, {"gap_ms", 200}})["ok"], true);
    r.run_until(0.45);
    EXPECT_EQ(r.line.take(), "");
    r.run_until(0.60);
    EXPECT_EQ(r.line.take(), "44 00 02 1A 01");
}

TEST(SerialRadios, NoiseIsRepeatableAndKeepsToTheLineSpeed)
{
    Radio a("nx700"), b("nx700");
    json reply = a.op({{"op", "noise"}, {"seconds", 1}, {"seed", 7}});
    ASSERT_EQ(reply["ok"], true);
    EXPECT_EQ(reply["count"], 11520);
    b.op({{"op", "noise"}, {"count", 11520}, {"seed", 7}});
    a.run_until(0.5);
    // At most half a second's worth plus the short burst a frame may take.
    EXPECT_LE(a.line.sent.size(), 5760u + 64u + 231u);
    EXPECT_GE(a.line.sent.size(), 5000u);
    a.run_until(1.1);
    b.run_until(1.1);
    EXPECT_EQ(a.line.sent.size(), 11520u);
    EXPECT_EQ(a.line.sent, b.line.sent);
    EXPECT_EQ(a.op({{"op", "state"}})["queued"], 0);

    // The line's own speed when the gateway has set one, and "stop".
    Radio c("mtetra");
    c.line.speed = 9600;
    c.op({{"op", "noise"}, {"count", 5000}});
    c.run_until(1.0);
    EXPECT_LE(c.line.sent.size(), 960u + 64u + 20u);
    c.op({{"op", "stop"}});
    c.line.sent.clear();
    c.run_until(2.0);
    EXPECT_TRUE(c.line.sent.empty());
    for (json bad : {json{{"op", "noise"}}, json{{"op", "noise"}, {"seconds", 601}},
                     json{{"op", "noise"}, {"count", -1}}, json{{"op", "noise"}, {"seconds", "x"}}})
        EXPECT_EQ(c.op(bad)["ok"], false) << bad.dump();
}

TEST(SerialRadios, Nx700ShowsTheGatewaysResetAndSupplyLines)
{
    Radio r("nx700");
    EXPECT_EQ(r.op({{"op", "state"}})["reset_on"], false);
    r.line.outputs = 0x80 | 0x100;
    r.peer->gpio_changed(r.line.outputs, 0x180);
    json s = r.op({{"op", "state"}});
    EXPECT_EQ(s["reset_on"], true);
    EXPECT_EQ(s["enable_8v"], true);
    EXPECT_EQ(r.line.logged.back(), "8 V supply on");
}

} // namespace
