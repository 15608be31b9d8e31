// headflash as it runs on the board: inside a box, against the box's flash
// target on "/dev/ttyS1" or "/dev/ttyS3", which answers only at the speed it
// was made for and keeps what was programmed.
#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "sim/box_client.h"
#include "sim/box_process.h"
#include "tests/no_leak_check_in_boxes.h"

using boardbox::BoxProcess;
using boardbox::Client;
using B = std::vector<uint8_t>;
using Lines = std::vector<std::string>;

namespace
{

const std::string headflash = std::string(GW_BUILD_DIR) + "/bin/headflash";
const std::string exit_mark = "headflash exit ";

B firmware(size_t blocks)
{
    B d(blocks * 256);
    for (size_t i = 0; i < d.size(); i++)
        d[i] = static_cast<uint8_t>(i * 29 + (i >> 8) * 7 + 0x81);
    return d;
}

std::string hex(const B &b)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string s;
    for (uint8_t x : b) {
        s += digits[x >> 4];
        s += digits[x & 15];
    }
    return s;
}

class HeadflashInBox : public ::testing::Test
{
  protected:
    void TearDown() override
    {
        if (box_)
            box_->stop();
        unlink(upg.c_str());
    }

    // An upgrade file with `tag`, the size field `size` and `data`.
    void make_file(const std::string &tag, uint32_t size, const B &data)
    {
        upg = BoxProcess::temp_path("upg");
        std::ofstream f(upg, std::ios::binary);
        f.write(tag.data(), 4);
        char s[4] = {static_cast<char>(size), static_cast<char>(size >> 8), static_cast<char>(size >> 16),
                     static_cast<char>(size >> 24)};
        f.write(s, 4);
        f.write(reinterpret_cast<const char *>(data.data()), static_cast<std::streamsize>(data.size()));
    }

    // Runs headflash with `args` in a box with `box_options`; the box stays
    // up after it for queries. Returns headflash's exit status, or -1.
    int run(std::vector<std::string> box_options, const std::vector<std::string> &args)
    {
        if (box_)
            box_->stop();
        client.close();
        box_ = std::make_unique<BoxProcess>();
        sock = BoxProcess::temp_path("hf");
        box_options.insert(box_options.begin(), {"--control", sock});
        std::vector<std::string> program = {
            "/bin/sh", "-c", "\"$@\"; echo \"" + exit_mark + "$?\"; exec sleep 600", "sh", headflash};
        program.insert(program.end(), args.begin(), args.end());
        if (box_->start(box_options, program) != 0)
            return -1;
        if (!box_->wait_for_line(exit_mark, std::chrono::milliseconds(120000)))
            return -1;
        if (client.connect(sock) != 0)
            return -1;
        for (const std::string &l : box_->stdout_lines())
            if (l.compare(0, exit_mark.size(), exit_mark) == 0)
                return std::stoi(l.substr(exit_mark.size()));
        return -1;
    }

    // headflash's own lines.
    Lines output() const
    {
        Lines out;
        for (const std::string &l : box_->stdout_lines())
            if (l.compare(0, exit_mark.size(), exit_mark) != 0)
                out.push_back(l);
        return out;
    }

    nlohmann::json target(const std::string &port, const std::string &op = "state")
    {
        nlohmann::json reply;
        client.request({{"cmd", port}, {"op", op}}, reply);
        return reply;
    }

    BoxProcess &box() { return *box_; }

    std::unique_ptr<BoxProcess> box_;
    Client client;
    std::string sock, upg;
};

Lines full_run(const std::string &target_line, size_t blocks)
{
    Lines l = {target_line,
               ": entering flashing mode...",
               ": ok",
               ": resetting...",
               ": ok",
               ": querying...",
               ": ok, STATUS(boot_is_running:1,boot_is_set:1)",
               ": writing..."};
    for (size_t i = 0; i < blocks; i++) {
        l.push_back(": writing block #" + std::to_string(i));
        l.push_back(": ok");
    }
    l.push_back(": verifying...");
    for (size_t i = 0; i < blocks; i++) {
        l.push_back(": verifying block #" + std::to_string(i));
        l.push_back(": ok");
    }
    for (const char *s : {": leaving flashing mode...", ": ok", ": resetting...", ": ok", ": done"})
        l.push_back(s);
    return l;
}

} // namespace

TEST_F(HeadflashInBox, XcmpHeadOnTtyS1AtThreeMegabaud)
{
    B data = firmware(3);
    make_file("HEAD", static_cast<uint32_t>(data.size()), data);
    ASSERT_EQ(run({"--tty1", "flashtarget:speed=3000000"}, {"-f", upg, "-m", "head", "-t", "3", "-v"}), 0)
        << box().output();
    EXPECT_EQ(output(), full_run("target: head/radio_type_xcmp(3)", 3));
    nlohmann::json st = target("tty1");
    EXPECT_EQ(st["baud"], 3000000);
    EXPECT_EQ(st["blocks"], 3);
    EXPECT_EQ(st["flashing"], false);
    EXPECT_EQ(st["boot_running"], false);
    EXPECT_EQ(st["counts"]["prg"], 3);
    EXPECT_EQ(st["counts"]["vrf"], 3);
    EXPECT_EQ(st["counts"]["rst"], 2);
    EXPECT_EQ(st["bad_crc"], 0);
    EXPECT_EQ(st["skipped"], 0);
    nlohmann::json d = target("tty1", "data");
    EXPECT_EQ(d["blocks"], nlohmann::json::array({0, 1, 2}));
    EXPECT_EQ(d["data"], hex(data));
}

TEST_F(HeadflashInBox, TetraRadioOnTtyS3)
{
    B data = firmware(2);
    make_file("RAmt", static_cast<uint32_t>(data.size()), data);
    ASSERT_EQ(run({"--tty3", "flashtarget:speed=460800"}, {"-f", upg, "-m", "radio", "-t", "14", "-v"}), 0)
        << box().output();
    EXPECT_EQ(output(), full_run("target: head/RadioType_Tetra_M(14)", 2));
    nlohmann::json st = target("tty3");
    EXPECT_EQ(st["baud"], 460800);
    EXPECT_EQ(target("tty3", "data")["data"], hex(data));
}

TEST_F(HeadflashInBox, NoisySplitAnswersStillFound)
{
    B data = firmware(2);
    make_file("HEn5", static_cast<uint32_t>(data.size()), data);
    ASSERT_EQ(run({"--tty1", "flashtarget:speed=230400,noise=17,split=3"},
                  {"-f", upg, "-m", "head", "-t", "5", "-v"}),
              0)
        << box().output();
    EXPECT_EQ(output(), full_run("target: head/radio_type_nx5xxx(5)", 2));
    EXPECT_EQ(target("tty1", "data")["data"], hex(data));
}

TEST_F(HeadflashInBox, TargetAtAnotherSpeedNeverAnswers)
{
    make_file("HEAD", 0, B());
    box_ = std::make_unique<BoxProcess>();
    sock = BoxProcess::temp_path("hf");
    ASSERT_EQ(box().start({"--control", sock, "--tty1", "flashtarget:speed=460800"},
                          {headflash, "-f", upg, "-m", "head", "-t", "3"}),
              0);
    ASSERT_EQ(client.connect(sock), 0);
    ASSERT_TRUE(box().wait_for_line(": entering flashing mode...")) << box().output();
    // The request reaches the target, which sees the product's 3000000 baud
    // and keeps quiet; waiting out five answer windows adds nothing.
    nlohmann::json st;
    for (int i = 0; i < 500; i++) {
        st = target("tty1");
        if (st.value("ignored", 0) >= 1)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(st["ignored"], 1);
    EXPECT_EQ(st["answers"], 0);
    EXPECT_EQ(st["baud"], 3000000);
}

TEST_F(HeadflashInBox, HeadFileRefusedForARadio)
{
    make_file("HEAD", 256, firmware(1));
    ASSERT_EQ(run({"--tty1", "flashtarget"}, {"-f", upg, "-m", "radio", "-t", "9"}), 255) << box().output();
    EXPECT_EQ(output(), (Lines{"target: head/RadioType_XCMP_DM4600(9)", "error: invalid upg type!"}));
    EXPECT_EQ(target("tty1")["answers"], 0);
}

TEST_F(HeadflashInBox, SizeOfPartBlocksRefused)
{
    make_file("HEAD", 1000, B(1000, 0x5A));
    ASSERT_EQ(run({"--tty1", "flashtarget"}, {"-f", upg, "-m", "head", "-t", "3"}), 255) << box().output();
    EXPECT_EQ(output(), (Lines{"target: head/radio_type_xcmp(3)", "error: invalid upg size!"}));
    EXPECT_EQ(target("tty1")["answers"], 0);
}

TEST_F(HeadflashInBox, TruncatedFileRefusedBeforeTheTargetIsTouched)
{
    make_file("HEAD", 768, firmware(2));
    ASSERT_EQ(run({"--tty1", "flashtarget"}, {"-f", upg, "-m", "head", "-t", "3"}), 255) << box().output();
    EXPECT_EQ(output(), (Lines{"target: head/radio_type_xcmp(3)", "error: upg file too short!"}));
    EXPECT_EQ(target("tty1")["answers"], 0);
}

TEST_F(HeadflashInBox, EmptyFirmwareStillRunsTheDialogue)
{
    make_file("RAn5", 0, B());
    ASSERT_EQ(run({"--tty3", "flashtarget:speed=230400"}, {"-f", upg, "-m", "radio", "-t", "21"}), 0)
        << box().output();
    EXPECT_EQ(output(), (Lines{"target: head/RadioType_NX5XXX(21)", ": entering flashing mode...", ": ok",
                               ": resetting...", ": ok", ": querying...",
                               ": ok, STATUS(boot_is_running:1,boot_is_set:1)", ": writing...",
                               ": leaving flashing mode...", ": ok", ": resetting...", ": ok", ": done"}));
    nlohmann::json c = target("tty3")["counts"];
    EXPECT_EQ(c, nlohmann::json({{"efm_enter", 1}, {"rst", 2}, {"rfs", 1}, {"efm_leave", 1}}));
}

TEST_F(HeadflashInBox, UnknownTypeInEachMode)
{
    make_file("HEAD", 0, B());
    ASSERT_EQ(run({"--tty1", "flashtarget"}, {"-f", upg, "-m", "head", "-t", "9"}), 255) << box().output();
    EXPECT_EQ(output(), (Lines{"error: unknown radio type (mode: client)!"}));
    ASSERT_EQ(run({"--tty1", "flashtarget"}, {"-f", upg, "-m", "radio", "-t", "3"}), 255) << box().output();
    EXPECT_EQ(output(), (Lines{"error: unknown radio type (mode: server)!"}));
}

TEST_F(HeadflashInBox, EnterFailsTwiceThenSucceeds)
{
    make_file("HEAD", 0, B());
    ASSERT_EQ(run({"--tty1", "flashtarget:efm_fail=2"}, {"-f", upg, "-m", "head", "-t", "3"}), 0)
        << box().output();
    Lines out = output();
    ASSERT_GE(out.size(), 5u);
    EXPECT_EQ(Lines(out.begin(), out.begin() + 5),
              (Lines{"target: head/radio_type_xcmp(3)", ": entering flashing mode...",
                     ": entering flashing mode...", ": entering flashing mode...", ": ok"}));
    EXPECT_EQ(out.back(), ": done");
    EXPECT_EQ(target("tty1")["counts"]["efm_enter"], 3);
}

TEST_F(HeadflashInBox, EnterFailsFiveTimes)
{
    make_file("HEAD", 256, firmware(1));
    ASSERT_EQ(run({"--tty1", "flashtarget:efm_fail=5"}, {"-f", upg, "-m", "head", "-t", "3"}), 255)
        << box().output();
    Lines expect = {"target: head/radio_type_xcmp(3)"};
    for (int i = 0; i < 5; i++)
        expect.push_back(": entering flashing mode...");
    expect.push_back("failed!");
    expect.push_back("upgrade: error: failed to enter flashing mode");
    EXPECT_EQ(output(), expect);
    nlohmann::json st = target("tty1");
    EXPECT_EQ(st["counts"], nlohmann::json({{"efm_enter", 5}}));
    EXPECT_EQ(st["blocks"], 0);
}

TEST_F(HeadflashInBox, VerifyMismatchStops)
{
    B data = firmware(3);
    make_file("HEAD", static_cast<uint32_t>(data.size()), data);
    ASSERT_EQ(run({"--tty1", "flashtarget:vrf_wrong=1"}, {"-f", upg, "-m", "head", "-t", "3", "-v"}), 255)
        << box().output();
    Lines out = output();
    ASSERT_GE(out.size(), 4u);
    EXPECT_EQ(Lines(out.end() - 4, out.end()), (Lines{": verifying block #0", ": ok", ": verifying block #1",
                                                      "upgrade: error: failed to verify block"}));
    // Left in flashing mode, as the dialogue stops at once.
    EXPECT_EQ(target("tty1")["flashing"], true);
}

TEST_F(HeadflashInBox, DebugPrintsTheFrames)
{
    make_file("HEAD", 0, B());
    ASSERT_EQ(run({"--tty1", "flashtarget"}, {"-d", "-f", upg, "-m", "head", "-t", "3"}), 0)
        << box().output();
    Lines out = output();
    ASSERT_GE(out.size(), 10u);
    EXPECT_EQ(Lines(out.begin(), out.begin() + 10),
              (Lines{"target: head/radio_type_xcmp(3)", ": entering flashing mode...",
                     "frame_send: [FF 55 43 4B 00 04 00 01 CC E1], r: 10",
                     "frame_recv: [59 45 41 48 00 04 00 00 DC C0]", ": ok", ": resetting...",
                     "frame_send: [FF 55 43 4B 00 04 00 20 F8 A2], r: 10",
                     "frame_recv: [59 45 41 48 00 04 00 00 DC C0]", ": ok", ": querying..."}));
    EXPECT_EQ(out[10], "frame_send: [FF 55 43 4B 00 04 00 03 EC A3], r: 10");
    EXPECT_EQ(out[11], "frame_recv: [59 45 41 48 00 04 83 00 92 0B]");
}

TEST_F(HeadflashInBox, UsageWithoutFileOrWithABadMode)
{
    const std::string usage =
        "usage: " + headflash +
        " -f <upgfile> [-v(erify) -d(ebug) -h(elp) -m(mode 'head'|'radio') -t(ype radio)]";
    ASSERT_EQ(run({}, {"-m", "head", "-t", "3"}), 255) << box().output();
    EXPECT_EQ(output(), Lines{usage});
    ASSERT_EQ(run({}, {"-f", "/nonexistent", "-m", "console", "-t", "3"}), 255) << box().output();
    EXPECT_EQ(output(), Lines{usage});
    ASSERT_EQ(run({}, {"-h"}), 255) << box().output();
    EXPECT_EQ(output(), Lines{usage});
    ASSERT_EQ(run({}, {"-f", "/nonexistent", "-m", "head"}), 255) << box().output();
    EXPECT_EQ(output(), Lines{usage});
}

TEST_F(HeadflashInBox, MissingFileIsFatal)
{
    ASSERT_EQ(run({"--tty1", "flashtarget"}, {"-f", "/nonexistent/upg", "-m", "head", "-t", "4"}), 255)
        << box().output();
    EXPECT_EQ(output(), (Lines{"target: head/radio_type_mtetra(4)", "error: cannot open upg file!"}));
}
