// Robustness of the XML receive path: a million generated documents (mutated
// valid ones, garbage, deep nesting, the longest frames, broken base64, zlib
// bombs) go through the link's frame reader to the callback, where each gets
// the dispatch key, the parser that key selects and one more parser in turn.
// Nothing may crash or hang, every text must arrive exactly as sent, and every
// keep-alive must be answered.
// Inputs beyond the frame limit go to the key and the parsers directly.
#include "control/roipsrv_conn.h"
#include "control/xml_messages.h"

#include "base/base64.h"

#include "xml_link_test_support.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <atomic>
#include <random>
#include <thread>

using namespace xmltest;
using namespace std::chrono_literals;

namespace
{

// The board build runs its suite under user-mode emulation, many times
// slower; it checks the same paths with a tenth of the inputs.
#if defined(__arm__)
constexpr int inputs = 100000;
#else
constexpr int inputs = 1000000;
#endif

std::string b64z(const std::string &plain)
{
    uLongf n = compressBound(static_cast<uLong>(plain.size()));
    std::vector<uint8_t> packed(n);
    compress2(packed.data(), &n, reinterpret_cast<const Bytef *>(plain.data()),
              static_cast<uLong>(plain.size()), 9);
    return base64_encode(packed.data(), n);
}

std::string xcmp(const std::string &denc, const std::string &d)
{
    return "<XCMPEvent><SerialDisp denc=\"" + denc + "\" d=\"" + d + "\" /></XCMPEvent>";
}

std::vector<std::string> seeds()
{
    // Payloads at the inflate limit and one byte past it; periodic so that
    // they pack small and the documents stay short.
    std::string noise(2049, '\0');
    for (size_t i = 0; i < noise.size(); ++i)
        noise[i] = static_cast<char>(((i % 97) * 2654435761u) >> 13);
    return {
        "<LoginPosResp><Rtp port=\"8002\" sm=\"1\" syncnum=\"4000000000\" codec=\"speex\" /><Info "
        "devname=\"site-radio\" encrypt=\"rckd\" /></LoginPosResp>",
        "<LoginPosResp><Rtp port=\"9\" codec=\"gsm\" devname=\"n\" encrypt=\"RCKD\" sm=\"-1\" "
        "/></LoginPosResp>",
        "<SetPttEv ptt=\"1\" login_roip=\"site-radio\" login_local=\"op2\" />",
        "<UnlockSqlEv sql=\"1\" />",
        "<GpioChangedEv bitmap=\"0x200\" mask=\"0xFFFFFFFF\" />",
        xcmp("b64", "AQIDBAUGBwgJ"),
        xcmp("b64z", "eJzLSM3JyQcABiwCFQ=="),
        xcmp("b64z", b64z(noise.substr(0, 2048))),
        xcmp("b64z", b64z(noise)),
        // Bombs: megabytes of one byte, packed into a frame.
        xcmp("b64z", b64z(std::string(256 << 10, '\0'))),
        xcmp("b64z", b64z(std::string(64 << 10, 'A'))),
        "<TEvent><SerialDisp denc=\"b64\" d=\"Zm9vYmFy\" /></TEvent>",
        "<NXEvent><SerialDisp denc=\"b64\" d=\"Zm9v!YmFy\" /></NXEvent>",
        "<NegResp req=\"LoginReq\" />",
        "<PosResp req=\"GpioSetReq\" />",
        "<KeepAliveEv seq=\"1\" />",
        "<KeepAliveEv/>",
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?><!DOCTYPE x [<!ENTITY e \"v\">]><UnlockSqlEv "
        "sql=\"&e;\"/>",
        "<a><![CDATA[<SetPttEv ptt=\"1\"/>]]><!-- c --><?pi x?></a>",
    };
}

const std::vector<std::string> tokens = {
    "<",
    ">",
    "/>",
    "\"",
    "'",
    "=",
    " ",
    "&amp;",
    "&#x0;",
    "&#65;",
    "&bogus;",
    "&",
    "<![CDATA[",
    "]]>",
    "<!--",
    "-->",
    "<?",
    "?>",
    "<!DOCTYPE a [<!ENTITY x \"y\">]>",
    "0x",
    "0x1FFFFFFFF",
    "-",
    "b64z",
    "b64",
    "d=\"",
    "denc=\"b64z\"",
    "SerialDisp",
    "XCMPEvent",
    "TEvent",
    "NXEvent",
    "<Info",
    "<Rtp",
    "<KeepAliveEv ",
    "<keepaliveev ",
    std::string(1, '\0'),
    "\xff\xfe",
    "\xef\xbb\xbf",
    "\xc3\x28",
    ":",
    "sm=\"2\"",
    "====",
    "!",
    "\r\n",
    "\t",
};

class Generator
{
  public:
    explicit Generator(uint32_t seed) : m_rng(seed), m_seeds(seeds()) {}

    std::string next()
    {
        std::string s;
        // The long kinds are rare so that a million inputs stay quick.
        switch (pick(256)) {
        case 0:
        case 1:
        case 2:
        case 3:
        case 6:
        case 7:
        case 8:
        case 9:
        case 10:
        case 11:
        case 12:
        case 13:
        case 14:
        case 15: { // garbage bytes
            s.resize(pick(300));
            for (char &c : s)
                c = static_cast<char>(m_rng());
            return s;
        }
        case 4: { // deep nesting, as deep as a frame allows
            size_t depth = 1 + pick(2700);
            s.reserve(depth * 3 + 16);
            for (size_t i = 0; i < depth; ++i)
                s += "<a>";
            if (pick(2))
                for (size_t i = 0; i < depth; ++i)
                    s += "</a>";
            break;
        }
        case 5: { // a long attribute, up to the longest frame
            s = "<XCMPEvent><SerialDisp denc=\"" + std::string(pick(2) ? "b64" : "b64z") + "\" d=\"";
            size_t n = pick(static_cast<uint32_t>(xml_frame::max_text - s.size() - 20));
            static const char b64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
            for (size_t i = 0; i < n; ++i)
                s += b64[pick(64)];
            s += "\" /></XCMPEvent>";
            break;
        }
        default:
            s = m_seeds[pick(static_cast<uint32_t>(m_seeds.size()))];
            break;
        }
        for (uint32_t m = pick(4); m > 0; --m)
            mutate(s);
        if (s.size() > xml_frame::max_text)
            s.resize(xml_frame::max_text);
        return s;
    }

  private:
    uint32_t pick(uint32_t n) { return n ? static_cast<uint32_t>(m_rng() % n) : 0; }

    void mutate(std::string &s)
    {
        size_t at = s.empty() ? 0 : pick(static_cast<uint32_t>(s.size() + 1));
        switch (pick(6)) {
        case 0: // flip bytes
            for (uint32_t k = 1 + pick(4); k > 0 && !s.empty(); --k)
                s[pick(static_cast<uint32_t>(s.size()))] = static_cast<char>(m_rng());
            break;
        case 1: // cut short
            s.resize(at);
            break;
        case 2: // insert a token
            s.insert(at, tokens[pick(static_cast<uint32_t>(tokens.size()))]);
            break;
        case 3: { // splice with another seed
            const std::string &o = m_seeds[pick(static_cast<uint32_t>(m_seeds.size()))];
            s = s.substr(0, at) + o.substr(pick(static_cast<uint32_t>(o.size())));
            break;
        }
        case 4: { // repeat a piece
            size_t len = pick(64);
            if (at < s.size())
                s.insert(at, s.substr(at, len));
            break;
        }
        default: // drop a piece
            if (at < s.size())
                s.erase(at, pick(16));
            break;
        }
    }

    std::mt19937 m_rng;
    std::vector<std::string> m_seeds;
};

bool is_keepalive(const std::string &s)
{
    static const std::string needle = "<keepaliveev ";
    return std::search(s.begin(), s.end(), needle.begin(), needle.end(), [](char a, char b) {
               return std::tolower(static_cast<unsigned char>(a)) == b;
           }) != s.end();
}

// Length and hash of one text, to compare what arrived with what was sent.
std::pair<size_t, uint64_t> fingerprint(const std::string &s)
{
    uint64_t h = 0xcbf29ce484222325ull;
    for (unsigned char c : s)
        h = (h ^ c) * 0x100000001b3ull;
    return {s.size(), h};
}

// Runs one parser on a text and checks what may be checked without knowing
// the text; true when the parser succeeded.
bool run_parser(int which, const std::string &text, bool &ok)
{
    int port, codec, sm, ptt, sql;
    uint32_t syncnum, bitmap, mask;
    std::string devname, encrypt, roip, local, data;
    std::vector<uint8_t> bytes;
    switch (which) {
    case 0:
        if (xml_LoginPosResp(text, port, codec, sm, syncnum, devname, encrypt) != 0)
            return false;
        ok &= codec >= 1 && codec <= 3 && (sm == 0 || sm == 1) && (encrypt.empty() || encrypt == "rckd");
        return true;
    case 1:
        return xml_SetPttEv(text, ptt, roip, local) == 0;
    case 2:
        return xml_UnlockSqlEv(text, sql) == 0;
    case 3:
        return xml_GpioChangedEv(text, bitmap, mask) == 0;
    case 4:
        if (xml_XCMPEvent_SerialDisp(text, bytes) != 0)
            return false;
        // Packed payloads are bounded; plain ones are shorter than their text.
        ok &= bytes.size() <= std::max(xml_serial_inflate_max, text.size());
        return true;
    case 5:
    case 6:
        if ((which == 5 ? xml_TEvent_SerialDisp(text, data) : xml_NXEvent_SerialDisp(text, data)) != 0)
            return false;
        ok &= data.size() <= text.size();
        return true;
    }
    return false;
}

constexpr int parser_count = 7;

int parser_for(const std::string &key)
{
    static const std::vector<std::string> keys = {
        "LoginPosResp",         "SetPttEv",          "UnlockSqlEv",        "GpioChangedEv",
        "XCMPEvent/SerialDisp", "TEvent/SerialDisp", "NXEvent/SerialDisp",
    };
    auto it = std::find(keys.begin(), keys.end(), key);
    return it == keys.end() ? -1 : static_cast<int>(it - keys.begin());
}

struct Outcome {
    bool ok = true;
    int parsed = 0;
};

// As a control does: the key, then the parser it selects. `extra` names one
// more parser (-1: all of them), so that every parser also sees texts that
// are not meant for it.
Outcome dispatch(const std::string &text, int extra = -1)
{
    Outcome o;
    std::string key = class_roipsrv_conn::message_key(text);
    o.ok = !key.empty();
    int chosen = parser_for(key);
    for (int p = 0; p < parser_count; ++p)
        if (p == chosen || p == extra || extra < 0)
            o.parsed += run_parser(p, text, o.ok);
    return o;
}

} // namespace

TEST(XmlReceiveFuzz, AMillionGeneratedFramesThroughTheLink)
{
    // Written by the connection thread only, read after the end marker.
    std::vector<std::pair<size_t, uint64_t>> delivered;
    delivered.reserve(inputs);
    std::atomic<int> bad{0}, parsed{0};
    std::atomic<bool> ended{false};
    const std::string end_marker = "<EndOfRun />";
    XmlLink l([&](class_roipsrv_conn &, const std::string &text) {
        if (text == ":connected" || ended)
            return;
        if (text == end_marker) {
            ended = true;
            l.texts.push(text);
            return;
        }
        Outcome o = dispatch(text, static_cast<int>(delivered.size() % parser_count));
        if (!o.ok)
            ++bad;
        parsed += o.parsed;
        delivered.push_back(fingerprint(text));
    });
    l.notices_only = true;
    auto peer = l.start_and_login();
    ASSERT_TRUE(peer);

    auto start = Clock::now();
    std::atomic<int> replies{0};
    std::thread drain([&] {
        while (auto r = read_frame(*peer, 60s)) {
            if (*r != "<KeepaliveReq />")
                break;
            ++replies;
        }
    });

    Generator gen(20261208);
    std::vector<std::pair<size_t, uint64_t>> sent;
    sent.reserve(inputs);
    int keepalives = 0;
    size_t bytes = 0;
    Bytes batch;
    for (int i = 0; i < inputs; ++i) {
        std::string text = gen.next();
        if (is_keepalive(text)) {
            ++keepalives;
        } else if (text != ":connected" && text != end_marker) {
            sent.push_back(fingerprint(text));
        }
        Bytes f = frame(text);
        bytes += f.size();
        batch.insert(batch.end(), f.begin(), f.end());
        if (batch.size() > 60000) {
            ASSERT_TRUE(peer->send(batch)) << "after input " << i;
            batch.clear();
        }
    }
    Bytes f = frame(end_marker);
    batch.insert(batch.end(), f.begin(), f.end());
    ASSERT_TRUE(peer->send(batch));
    ASSERT_TRUE(l.texts.wait(end_marker, 1, 300s));
    auto until = Clock::now() + generous;
    while (replies < keepalives && Clock::now() < until)
        std::this_thread::sleep_for(10ms); // polling a counter, not synchronising on time
    auto secs = std::chrono::duration<double>(Clock::now() - start).count();
    EXPECT_EQ(l.texts.wait(":disconnected", 1, 0s), std::nullopt) << "the link dropped a valid frame";
    peer->close();
    drain.join();

    EXPECT_EQ(bad, 0);
    EXPECT_EQ(delivered.size(), sent.size());
    auto diff = std::mismatch(sent.begin(), sent.end(), delivered.begin(), delivered.end());
    EXPECT_TRUE(diff.first == sent.end() && diff.second == delivered.end())
        << "first difference at text " << (diff.first - sent.begin()) << " of " << sent.size() << ", "
        << delivered.size() << " delivered";
    EXPECT_EQ(replies, keepalives);
    std::printf("fuzz: %d inputs (%zu bytes) in %.1f s: %d delivered, %d keep-alives answered, %d parser "
                "successes\n",
                inputs, bytes, secs, static_cast<int>(sent.size()), keepalives, parsed.load());
}

TEST(XmlReceiveFuzz, InputsBeyondTheFrameLimitReachTheParsersSafely)
{
    // Nesting far deeper than any recursion could survive.
    std::string deep;
    for (int i = 0; i < 200000; ++i)
        deep += "<XCMPEvent>";
    EXPECT_EQ(class_roipsrv_conn::message_key(deep), ":err");
    std::string closed = deep;
    for (int i = 0; i < 200000; ++i)
        closed += "</XCMPEvent>";
    EXPECT_EQ(class_roipsrv_conn::message_key(closed), "XCMPEvent/XCMPEvent");
    EXPECT_TRUE(dispatch(closed).ok);

    // A plain payload of several megabytes has no limit; a packed one has.
    std::string big(3 << 20, '\0');
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>(i * 31 + (i >> 11));
    std::vector<uint8_t> out;
    ASSERT_EQ(xml_XCMPEvent_SerialDisp(
                  xcmp("b64", base64_encode(reinterpret_cast<const uint8_t *>(big.data()), big.size())), out),
              0);
    EXPECT_EQ(out.size(), big.size());
    EXPECT_EQ(xml_XCMPEvent_SerialDisp(xcmp("b64z", b64z(std::string(64 << 20, '\0'))), out), -1);
    EXPECT_EQ(out.size(), big.size());

    // Many attributes and many siblings.
    std::string wide = "<SetPttEv";
    for (int i = 0; i < 100000; ++i)
        wide += " a" + std::to_string(i) + "=\"" + std::to_string(i) + "\"";
    wide += " ptt=\"1\" />";
    int ptt = 0;
    std::string r, lo;
    EXPECT_EQ(xml_SetPttEv(wide, ptt, r, lo), 0);
    EXPECT_EQ(ptt, 1);
    std::string siblings = "<TEvent>";
    for (int i = 0; i < 200000; ++i)
        siblings += "<X/>";
    siblings += "<SerialDisp denc=\"b64\" d=\"AQID\"/></TEvent>";
    EXPECT_EQ(class_roipsrv_conn::message_key(siblings), "TEvent/X");
    std::string data;
    EXPECT_EQ(xml_TEvent_SerialDisp(siblings, data), 0);
    EXPECT_EQ(data, "\x01\x02\x03");

    // Entity expansion is not a way to grow anything either.
    std::string lol = "<!DOCTYPE l [<!ENTITY a \"aaaaaaaaaa\"><!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;\">"
                      "<!ENTITY c \"&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;\">]><TEvent><SerialDisp denc=\"b64\" "
                      "d=\"&c;&c;&c;&c;\"/></TEvent>";
    EXPECT_TRUE(dispatch(lol).ok);
}
