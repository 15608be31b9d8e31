// The flashing dialogue against a fake target over a socketpair: the whole
// run with its exact output, retries, every failure text, noisy and split
// answers, and files that change under the flasher.
#include "tools/headflash/flasher.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "tests/tools/headflash/fake_target.h"

using namespace headflash;
using faketarget::B;
using faketarget::FakeTarget;
using faketarget::Script;

namespace
{

// Writes to a target that stopped reading must fail, not end the test.
struct IgnoreSigpipe {
    IgnoreSigpipe() { signal(SIGPIPE, SIG_IGN); }
} ignore_sigpipe;

B firmware(size_t blocks)
{
    B d(blocks * BLOCK_SIZE);
    for (size_t i = 0; i < d.size(); i++)
        d[i] = static_cast<uint8_t>(i * 13 + (i >> 8) * 101 + 0x80);
    return d;
}

// An upgrade file holding `data` after the header, positioned after the
// header, already unlinked.
UniqueFd upg_file(const B &data)
{
    char path[] = "/tmp/headflash-test-XXXXXX";
    UniqueFd fd(mkstemp(path));
    if (!fd.valid())
        return fd;
    unlink(path);
    B all = {'H', 'E', 'A', 'D', 0, 0, 0, 0};
    all.insert(all.end(), data.begin(), data.end());
    if (write(fd.get(), all.data(), all.size()) != static_cast<ssize_t>(all.size()) ||
        lseek(fd.get(), 8, SEEK_SET) != 8)
        fd.reset();
    return fd;
}

struct Outcome {
    std::string output;
    std::string error; // empty on success
};

Outcome flash(FakeTarget &target, const B &data, uint32_t blocks, FlashOptions options = FlashOptions())
{
    Outcome r;
    UniqueFd file = upg_file(data);
    if (!file.valid()) {
        r.error = "no file";
        return r;
    }
    char *text = nullptr;
    size_t size = 0;
    FILE *out = open_memstream(&text, &size);
    Flasher f(target.product_fd(), file.get(), blocks, options, out);
    const char *e = f.run();
    std::fclose(out);
    r.output.assign(text, size);
    std::free(text);
    if (e)
        r.error = e;
    return r;
}

const std::string enter = ": entering flashing mode...\n";
const std::string ok = ": ok\n";
const std::string reset = ": resetting...\n";
const std::string query = ": querying...\n";
const std::string status_both = ": ok, STATUS(boot_is_running:1,boot_is_set:1)\n";
const std::string writing = ": writing...\n";
const std::string leave = ": leaving flashing mode...\n";

std::string start_lines()
{
    return enter + ok + reset + ok + query + status_both + writing;
}

} // namespace

TEST(Dialogue, FullRunWithVerify)
{
    FakeTarget t{Script()};
    B data = firmware(3);
    FlashOptions o;
    o.verify = true;
    Outcome r = flash(t, data, 3, o);
    EXPECT_EQ(r.error, "");
    EXPECT_EQ(r.output, start_lines() + ": writing block #0\n" + ok + ": writing block #1\n" + ok +
                            ": writing block #2\n" + ok + ": verifying...\n" + ": verifying block #0\n" + ok +
                            ": verifying block #1\n" + ok + ": verifying block #2\n" + ok + leave + ok +
                            reset + ok + ": done\n");
    EXPECT_EQ(t.commands(), (std::vector<int>{1, 32, 3, 16, 16, 16, 17, 17, 17, 2, 32}));
    EXPECT_EQ(t.programmed(), data);
    std::vector<B> req = t.requests();
    ASSERT_EQ(req.size(), 11u);
    EXPECT_EQ(req[2], (B{0xFF, 0x55, 0x43, 0x4B, 0x00, 0x04, 0x00, 0x03, 0xEC, 0xA3}));
    ASSERT_EQ(req[5].size(), 268u);
    EXPECT_EQ(req[5][8], 0x00);
    EXPECT_EQ(req[5][9], 0x02);
}

TEST(Dialogue, WithoutVerifyNoBlockIsVerified)
{
    FakeTarget t{Script()};
    B data = firmware(1);
    Outcome r = flash(t, data, 1);
    EXPECT_EQ(r.error, "");
    EXPECT_EQ(r.output, start_lines() + ": writing block #0\n" + ok + leave + ok + reset + ok + ": done\n");
    EXPECT_EQ(t.commands(), (std::vector<int>{1, 32, 3, 16, 2, 32}));
}

TEST(Dialogue, NoBlocksStillEntersResetsQueriesLeavesAndResets)
{
    FakeTarget t{Script()};
    FlashOptions o;
    o.verify = true;
    Outcome r = flash(t, B(), 0, o);
    EXPECT_EQ(r.error, "");
    EXPECT_EQ(r.output, start_lines() + ": verifying...\n" + leave + ok + reset + ok + ": done\n");
    EXPECT_EQ(t.commands(), (std::vector<int>{1, 32, 3, 2, 32}));
}

TEST(Dialogue, DebugPrintsEveryFrame)
{
    FakeTarget t{Script()};
    FlashOptions o;
    o.debug = true;
    Outcome r = flash(t, B(), 0, o);
    EXPECT_EQ(r.error, "");
    const std::string done_answer = "frame_recv: [59 45 41 48 00 04 00 00 DC C0]\n";
    EXPECT_EQ(r.output, enter + "frame_send: [FF 55 43 4B 00 04 00 01 CC E1], r: 10\n" + done_answer + ok +
                            reset + "frame_send: [FF 55 43 4B 00 04 00 20 F8 A2], r: 10\n" + done_answer +
                            ok + query + "frame_send: [FF 55 43 4B 00 04 00 03 EC A3], r: 10\n" +
                            "frame_recv: [59 45 41 48 00 04 83 00 92 0B]\n" + status_both + writing + leave +
                            "frame_send: [FF 55 43 4B 00 04 00 02 FC 82], r: 10\n" + done_answer + ok +
                            reset + "frame_send: [FF 55 43 4B 00 04 00 20 F8 A2], r: 10\n" + done_answer +
                            ok + ": done\n");
}

TEST(Dialogue, DebugShowsBlockFramesWhole)
{
    FakeTarget t{Script()};
    FlashOptions o;
    o.debug = true;
    B data = firmware(1);
    Outcome r = flash(t, data, 1, o);
    EXPECT_EQ(r.error, "");
    std::vector<B> req = t.requests();
    ASSERT_EQ(req.size(), 6u);
    std::string line = "frame_send: [" + hex_bytes(req[3].data(), req[3].size()) + "], r: 268\n";
    EXPECT_NE(r.output.find(": writing block #0\n" + line), std::string::npos) << r.output;
}

TEST(Dialogue, EnterRetriedAfterTwoFailures)
{
    Script s;
    s.efm_fail = 2;
    FakeTarget t{s};
    Outcome r = flash(t, B(), 0);
    EXPECT_EQ(r.error, "");
    EXPECT_EQ(r.output.substr(0, 3 * enter.size() + ok.size()), enter + enter + enter + ok);
    EXPECT_EQ(t.commands(), (std::vector<int>{1, 1, 1, 32, 3, 2, 32}));
}

TEST(Dialogue, EnterGivesUpAfterFiveFailures)
{
    Script s;
    s.efm_fail = 5;
    FakeTarget t{s};
    Outcome r = flash(t, firmware(1), 1);
    EXPECT_EQ(r.error, "failed to enter flashing mode");
    EXPECT_EQ(r.output, enter + enter + enter + enter + enter + "failed!\n");
    EXPECT_EQ(t.commands(), (std::vector<int>{1, 1, 1, 1, 1}));
}

TEST(Dialogue, EnterAnswerWithBadCrcCountsAsFailure)
{
    Script s;
    s.crc[1] = 1;
    FakeTarget t{s};
    Outcome r = flash(t, B(), 0);
    EXPECT_EQ(r.error, "failed to enter flashing mode");
    EXPECT_EQ(t.commands().size(), 5u);
}

TEST(Dialogue, ResetRefused)
{
    Script s;
    s.fail_from[32] = 1;
    FakeTarget t{s};
    Outcome r = flash(t, firmware(1), 1);
    EXPECT_EQ(r.error, "failed to reset");
    EXPECT_EQ(r.output, enter + ok + reset);
}

TEST(Dialogue, SecondResetRefused)
{
    Script s;
    s.fail_from[32] = 2;
    FakeTarget t{s};
    Outcome r = flash(t, B(), 0);
    EXPECT_EQ(r.error, "failed to reset");
    EXPECT_EQ(r.output, start_lines() + leave + ok + reset);
}

TEST(Dialogue, QueryWithoutStatusGoesOn)
{
    Script s;
    s.rfs_status = 0; // OK is not a state report
    FakeTarget t{s};
    Outcome r = flash(t, firmware(1), 1);
    EXPECT_EQ(r.error, "");
    EXPECT_EQ(r.output, enter + ok + reset + ok + query + "failed to query state" + writing +
                            ": writing block #0\n" + ok + leave + ok + reset + ok + ": done\n");
}

TEST(Dialogue, QueryAnswerWithBadCrcGoesOn)
{
    Script s;
    s.crc[3] = 1;
    FakeTarget t{s};
    Outcome r = flash(t, B(), 0);
    EXPECT_EQ(r.error, "");
    EXPECT_NE(r.output.find(query + "failed to query state" + writing), std::string::npos) << r.output;
}

TEST(Dialogue, BootStateFlagsPrinted)
{
    Script s;
    s.rfs_status = 0x8200;
    FakeTarget t{s};
    Outcome r = flash(t, B(), 0);
    EXPECT_EQ(r.error, "");
    EXPECT_NE(r.output.find(query + ": ok, STATUS(boot_is_running:0,boot_is_set:1)\n"), std::string::npos);
}

TEST(Dialogue, ProgramRefused)
{
    Script s;
    s.fail_from[16] = 2;
    FakeTarget t{s};
    Outcome r = flash(t, firmware(3), 3);
    EXPECT_EQ(r.error, "failed to program block");
    EXPECT_EQ(r.output, start_lines() + ": writing block #0\n" + ok + ": writing block #1\n");
    EXPECT_EQ(t.commands(), (std::vector<int>{1, 32, 3, 16, 16}));
}

TEST(Dialogue, VerifyMismatch)
{
    Script s;
    s.fail_from[17] = 1;
    FakeTarget t{s};
    FlashOptions o;
    o.verify = true;
    Outcome r = flash(t, firmware(2), 2, o);
    EXPECT_EQ(r.error, "failed to verify block");
    EXPECT_EQ(r.output, start_lines() + ": writing block #0\n" + ok + ": writing block #1\n" + ok +
                            ": verifying...\n" + ": verifying block #0\n");
}

TEST(Dialogue, LeaveRefused)
{
    Script s;
    s.fail_from[2] = 1;
    FakeTarget t{s};
    Outcome r = flash(t, B(), 0);
    EXPECT_EQ(r.error, "failed to leave flashing mode");
    EXPECT_EQ(r.output, start_lines() + leave);
}

TEST(Dialogue, EachFailedSendNamesItsCommand)
{
    struct Case {
        int after;      // command whose answer is the last one read
        int occurrence; // of that command
        const char *error;
    } cases[] = {{32, 1, "frame_send() failed (RFS)!\n"},
                 {3, 1, "frame_send() failed (PRG)!\n"},
                 {16, 2, "frame_send() failed (VRF)!\n"},
                 {17, 2, "frame_send() failed (EFM)!\n"},
                 {1, 1, "frame_send() failed (RST)!\n"}};
    for (const Case &c : cases) {
        Script s;
        s.close_from[c.after] = c.occurrence;
        FakeTarget t{s};
        FlashOptions o;
        o.verify = true;
        Outcome r = flash(t, firmware(2), 2, o);
        EXPECT_EQ(r.error, c.error) << c.after;
    }
}

TEST(Dialogue, FailedFirstSend)
{
    Script s;
    s.closed_from_start = true;
    FakeTarget t{s};
    Outcome r = flash(t, firmware(1), 1);
    EXPECT_EQ(r.error, "frame_send() failed (EFM)!\n");
    EXPECT_EQ(r.output, enter);
}

TEST(Dialogue, LeaveSendFailsAfterProgramming)
{
    Script s;
    s.close_from[16] = 1;
    FakeTarget t{s};
    Outcome r = flash(t, firmware(1), 1);
    EXPECT_EQ(r.error, "frame_send() failed (EFM)!\n");
    EXPECT_EQ(r.output, start_lines() + ": writing block #0\n" + ok + leave);
}

TEST(Dialogue, AnswersAfterNoiseAndInPieces)
{
    Script s;
    s.noise = 13;
    s.piece = 3;
    FakeTarget t{s};
    B data = firmware(2);
    FlashOptions o;
    o.verify = true;
    Outcome r = flash(t, data, 2, o);
    EXPECT_EQ(r.error, "");
    EXPECT_EQ(t.programmed(), data);
    EXPECT_NE(r.output.find(status_both), std::string::npos);
}

TEST(Dialogue, AnswerByteByByte)
{
    Script s;
    s.piece = 1;
    FakeTarget t{s};
    Outcome r = flash(t, B(), 0);
    EXPECT_EQ(r.error, "");
}

TEST(Dialogue, BufferFullOfNoiseIsAnError)
{
    Script s;
    s.flood = 1100;
    FakeTarget t{s};
    Flasher f(t.product_fd(), -1, 0, FlashOptions(), stdout);
    Answer a;
    ASSERT_EQ(f.request(request_frame(CMD_RST), a), 0);
    EXPECT_EQ(a.kind, Answer::ERR);
}

TEST(Dialogue, NoiseThatStillLeavesRoomFindsTheAnswer)
{
    Script s;
    s.flood = 1000;
    FakeTarget t{s};
    Flasher f(t.product_fd(), -1, 0, FlashOptions(), stdout);
    Answer a;
    ASSERT_EQ(f.request(request_frame(CMD_RST), a), 0);
    EXPECT_EQ(a.kind, Answer::OK);
}

TEST(Dialogue, FileShorterThanItsBlocksStopsBeforeStaleData)
{
    FakeTarget t{Script()};
    B data = firmware(2);
    data.resize(BLOCK_SIZE + 100); // the file lost its end after the check
    Outcome r = flash(t, data, 2);
    EXPECT_EQ(r.error, "failed to read upg file");
    EXPECT_EQ(r.output, start_lines() + ": writing block #0\n" + ok);
    EXPECT_EQ(t.commands(), (std::vector<int>{1, 32, 3, 16}));
}

TEST(Dialogue, FileEndingAtTheHeaderStopsBeforeAnyBlock)
{
    FakeTarget t{Script()};
    Outcome r = flash(t, B(), 1);
    EXPECT_EQ(r.error, "failed to read upg file");
    EXPECT_EQ(r.output, start_lines());
    EXPECT_EQ(t.commands(), (std::vector<int>{1, 32, 3}));
}

TEST(Dialogue, SilentTargetTimesOutOnce)
{
    // One real wait of the answer window: the query is never answered.
    Script s;
    s.silent = 3;
    FakeTarget t{s};
    auto start = std::chrono::steady_clock::now();
    Outcome r = flash(t, B(), 0);
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(r.error, "");
    EXPECT_NE(r.output.find(query + "failed to query state" + writing), std::string::npos) << r.output;
    // Generous: the window must not have been cut short.
    EXPECT_GE(waited, std::chrono::seconds(10));
}
