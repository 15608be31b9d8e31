// The box's DM3000 head, driven directly through a fake line: display frames
// (split anywhere, a wrong flags byte, a partial frame), the picture in rows
// and in files, key bytes paced one per chunk, the PTT line, bad requests.
#include "base/pbm.h"
#include "sim/tty_peer.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

using B = std::vector<uint8_t>;

namespace
{

class FakeLine : public boardbox::PeerHost
{
  public:
    int port() const override { return 1; }
    void send(const uint8_t *data, size_t count) override { sent.push_back(B(data, data + count)); }
    void set_inputs(uint32_t low, uint32_t high) override { inputs.push_back({low, high}); }
    uint32_t gpio_outputs() const override { return 0; }
    uint32_t gpio_levels() const override { return 0; }
    unsigned baud() const override { return 115200; }
    void log(const std::string &text) override { logged.push_back(text); }
    double now() const override { return clock; }

    std::vector<B> sent;
    std::vector<std::pair<uint32_t, uint32_t>> inputs;
    std::vector<std::string> logged;
    double clock = 0;
};

std::unique_ptr<boardbox::TtyPeer> make(FakeLine &line)
{
    const boardbox::PeerFactory *f = boardbox::find_peer("dm3000");
    return f ? (*f)(line, "") : nullptr;
}

// A frame with pixel (row, col) set: bit row % 8 of byte (row / 8) * 132 + col.
B frame(std::initializer_list<std::pair<int, int>> pixels, uint8_t flags_byte = 0x18)
{
    B f(529, 0);
    for (auto [r, c] : pixels)
        f[(r / 8) * 132 + c] |= static_cast<uint8_t>(1u << (r % 8));
    f[528] = flags_byte;
    return f;
}

nlohmann::json ask(boardbox::TtyPeer &p, nlohmann::json req)
{
    return p.control(req);
}

TEST(Dm3000Head, FramesSplitAnywhereBecomeThePicture)
{
    FakeLine line;
    auto head = make(line);
    ASSERT_TRUE(head);
    ASSERT_FALSE(line.inputs.empty());
    EXPECT_EQ(line.inputs[0], (std::pair<uint32_t, uint32_t>{0, 0x200})); // PTT released

    B f = frame({{0, 0}, {31, 131}, {9, 5}}, 0x1D);
    head->received(f.data(), 100);
    head->received(f.data() + 100, 429);
    nlohmann::json d = ask(*head, {{"op", "display"}});
    EXPECT_EQ(d["frames"], 1);
    EXPECT_EQ(d["flags"], 5);
    ASSERT_EQ(d["rows"].size(), 32u);
    EXPECT_EQ(d["rows"][0].get<std::string>(), "#" + std::string(131, '.'));
    EXPECT_EQ(d["rows"][9].get<std::string>(), std::string(5, '.') + "#" + std::string(126, '.'));
    EXPECT_EQ(d["rows"][31].get<std::string>(), std::string(131, '.') + "#");
    EXPECT_EQ(ask(*head, {{"op", "state"}})["lit"], 3);

    // Two frames in one chunk: the second one wins.
    B two = frame({{1, 1}});
    B second = frame({});
    two.insert(two.end(), second.begin(), second.end());
    head->received(two.data(), two.size());
    nlohmann::json s = ask(*head, {{"op", "state"}});
    EXPECT_EQ(s["frames"], 3);
    EXPECT_EQ(s["lit"], 0);
}

TEST(Dm3000Head, AWrongFlagsByteDropsTheFrameAndAStalePartialIsForgotten)
{
    FakeLine line;
    auto head = make(line);
    B good = frame({{2, 2}});
    head->received(good.data(), good.size());
    for (uint8_t bad : {0x00, 0x17, 0x20}) {
        B f = frame({{5, 5}}, bad);
        head->received(f.data(), f.size());
    }
    nlohmann::json s = ask(*head, {{"op", "state"}});
    EXPECT_EQ(s["frames"], 1);
    EXPECT_EQ(s["bad_frames"], 3);
    EXPECT_EQ(s["lit"], 1);

    // 300 stray bytes, then silence: dropped, and the next frame is whole.
    B stray(300, 0xAA);
    head->received(stray.data(), stray.size());
    line.clock += 0.05;
    head->tick();
    EXPECT_EQ(ask(*head, {{"op", "state"}})["partial_frames"], 0);
    line.clock += 0.1;
    head->tick();
    EXPECT_EQ(ask(*head, {{"op", "state"}})["partial_frames"], 1);
    B next = frame({});
    head->received(next.data(), next.size());
    s = ask(*head, {{"op", "state"}});
    EXPECT_EQ(s["frames"], 2);
    EXPECT_EQ(s["bad_frames"], 3);
    EXPECT_EQ(s["lit"], 0);
}

TEST(Dm3000Head, KeyBytesGoOutOnePerChunkSpacedInTime)
{
    FakeLine line;
    auto head = make(line);
    EXPECT_EQ(ask(*head, {{"op", "key"}, {"codes", {0x25, 0x35}}})["keys_pending"], 2);
    EXPECT_EQ(ask(*head, {{"op", "volume"}, {"level", 63}})["keys_pending"], 3);
    for (int i = 0; i < 20; i++) {
        head->tick();
        line.clock += 0.01;
    }
    ASSERT_EQ(line.sent.size(), 3u);
    EXPECT_EQ(line.sent[0], B{0x25});
    EXPECT_EQ(line.sent[1], B{0x35});
    EXPECT_EQ(line.sent[2], B{0xBF});
    EXPECT_EQ(ask(*head, {{"op", "state"}})["keys_sent"], 3);
}

TEST(Dm3000Head, PttPullsTheLineLowAndReleasesIt)
{
    FakeLine line;
    auto head = make(line);
    line.inputs.clear();
    EXPECT_EQ(ask(*head, {{"op", "ptt"}, {"on", true}})["ptt"], true);
    EXPECT_EQ(ask(*head, {{"op", "ptt"}, {"on", false}})["ptt"], false);
    ASSERT_EQ(line.inputs.size(), 2u);
    EXPECT_EQ(line.inputs[0], (std::pair<uint32_t, uint32_t>{0x200, 0}));
    EXPECT_EQ(line.inputs[1], (std::pair<uint32_t, uint32_t>{0, 0x200}));
}

TEST(Dm3000Head, SavesThePictureAsPbmAndPng)
{
    FakeLine line;
    auto head = make(line);
    B f = frame({{0, 0}, {31, 131}});
    head->received(f.data(), f.size());
    const std::string base = "/tmp/dm3000-head-test-" + std::to_string(::getpid());
    ASSERT_EQ(ask(*head, {{"op", "save"}, {"path", base + ".pbm"}}).value("path", ""), base + ".pbm");
    pbm::Image img;
    std::string error;
    ASSERT_TRUE(pbm::load(base + ".pbm", img, error)) << error;
    EXPECT_EQ(img.width, 132);
    EXPECT_EQ(img.height, 32);
    EXPECT_EQ(img.pixels[0], 1);
    EXPECT_EQ(img.pixels[4223], 1);
    EXPECT_EQ(img.pixels[1], 0);

    ASSERT_EQ(ask(*head, {{"op", "save"}, {"path", base + ".png"}, {"format", "png"}, {"scale", 2}})
                  .value("path", ""),
              base + ".png");
    std::ifstream png(base + ".png", std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(png)), std::istreambuf_iterator<char>());
    ASSERT_GT(bytes.size(), 33u);
    EXPECT_EQ(bytes.substr(0, 8), std::string("\x89PNG\r\n\x1A\n", 8));
    EXPECT_EQ(bytes.substr(12, 4), "IHDR");
    auto be32 = [&](size_t at) {
        uint32_t v = 0;
        for (size_t k = 0; k < 4; k++)
            v = v << 8 | static_cast<uint8_t>(bytes[at + k]);
        return v;
    };
    EXPECT_EQ(be32(16), 264u); // width: 132 x 2
    EXPECT_EQ(be32(20), 64u);  // height: 32 x 2
    ::unlink((base + ".pbm").c_str());
    ::unlink((base + ".png").c_str());
}

TEST(Dm3000Head, BadRequestsAreRefused)
{
    FakeLine line;
    auto head = make(line);
    const nlohmann::json bad[] = {
        {{"op", "key"}, {"code", 256}},
        {{"op", "key"}, {"codes", {1, -1}}},
        {{"op", "key"}},
        {{"op", "volume"}, {"level", 64}},
        {{"op", "save"}},
        {{"op", "save"}, {"path", "/tmp/x"}, {"format", "gif"}},
        {{"op", "save"}, {"path", "/tmp/x.png"}, {"format", "png"}, {"scale", 0}},
        {{"op", "save"}, {"path", "/nonexistent/dir/x.pbm"}},
        {{"op", "dance"}},
    };
    for (const auto &req : bad) {
        nlohmann::json r = ask(*head, req);
        EXPECT_EQ(r.value("ok", true), false) << req.dump();
        EXPECT_FALSE(r.value("error", "").empty()) << req.dump();
    }
    EXPECT_EQ(ask(*head, {{"op", "state"}})["keys_pending"], 0);
}

} // namespace
