// The status file: its bytes at their offsets, the seqlock under a writer
// that never stops, the log ring and the copy of standard output.
#include "status/log_tee.h"
#include "status/status_file.h"
#include "status/status_layout.h"
#include "status/status_publisher.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace
{

using namespace gw_status;

struct TempDir {
    std::string path;
    TempDir()
    {
        char t[] = "/tmp/status-test-XXXXXX";
        path = ::mkdtemp(t);
    }
    ~TempDir() { std::system(("rm -rf " + path).c_str()); }
    std::string file(const char *name) const { return path + "/" + name; }
};

std::vector<uint8_t> read_all(const std::string &path)
{
    std::vector<uint8_t> out;
    FILE *f = std::fopen(path.c_str(), "rb");
    if (!f)
        return out;
    int c;
    while ((c = std::fgetc(f)) != EOF)
        out.push_back(static_cast<uint8_t>(c));
    std::fclose(f);
    return out;
}

TEST(StatusLayout, EveryFieldSitsAtItsOffsetLittleEndian)
{
    status_record r;
    r.pid = 0x01020304;
    r.link_state = 3;
    r.server_ip = 0x0100007F; // 127.0.0.1 as inet_addr gives it
    r.server_port = 5555;
    r.tx_packets = 0xA1B2C3D4;
    r.server_in_use = 1;
    r.mic_level = 0xFFFFFFFF;
    uint8_t out[record_size];
    encode(r, out);
    struct {
        size_t offset;
        std::vector<uint8_t> bytes;
    } const expected[] = {
        {0, {0x04, 0x03, 0x02, 0x01}},
        {28, {0x03, 0, 0, 0}},
        {32, {127, 0, 0, 1}},
        {36, {0xB3, 0x15, 0, 0}},
        {72, {0xD4, 0xC3, 0xB2, 0xA1}},
        {112, {1, 0, 0, 0}},
        {124, {0xFF, 0xFF, 0xFF, 0xFF}},
        {128, {0, 0, 0, 0}},
        {240, {0, 0, 0, 0}},
    };
    for (const auto &e : expected)
        EXPECT_EQ(std::vector<uint8_t>(out + e.offset, out + e.offset + 4), e.bytes) << "offset " << e.offset;
    status_record back = decode(out);
    EXPECT_EQ(back.pid, r.pid);
    EXPECT_EQ(back.server_ip, r.server_ip);
    EXPECT_EQ(back.tx_packets, r.tx_packets);
    EXPECT_EQ(back.speaker_level, 0xFFFFFFFFu);
}

TEST(StatusFile, HeaderRecordAndLogLandAtTheirFileOffsets)
{
    TempDir dir;
    const std::string path = dir.file("gwlinkd.status");
    StatusMap w;
    ASSERT_EQ(w.open_for_writing(path.c_str()), 0);
    uint8_t rec[record_size] = {};
    rec[0] = 0x42;
    w.publish(rec);
    w.append_log("hi\n", 3);
    std::vector<uint8_t> f = read_all(path);
    ASSERT_EQ(f.size(), file_size);
    EXPECT_EQ(std::vector<uint8_t>(f.begin(), f.begin() + 16),
              (std::vector<uint8_t>{'G', 'W', 'S', 'T', 1, 0, 0, 0, 2, 0, 0, 0, 0x42, 0, 0, 0}));
    EXPECT_EQ(std::vector<uint8_t>(f.begin() + 256, f.begin() + 267),
              (std::vector<uint8_t>{2, 0, 0, 0, 3, 0, 0, 0, 'h', 'i', '\n'}));
    struct stat st;
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u) << "the log holds the configuration's passwords";
}

TEST(StatusFile, ReaderNeverSeesAHalfWrittenRecord)
{
    TempDir dir;
    const std::string path = dir.file("s");
    StatusMap w, r;
    ASSERT_EQ(w.open_for_writing(path.c_str()), 0);
    ASSERT_EQ(r.open_for_reading(path.c_str()), 0);
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        uint8_t rec[record_size];
        for (uint8_t k = 0; !stop; ++k) {
            std::fill(rec, rec + record_size, k);
            w.publish(rec);
        }
    });
    int consistent = 0;
    for (int i = 0; i < 20000; ++i) {
        uint8_t got[record_size];
        if (!r.read_record(got))
            continue;
        ++consistent;
        for (size_t b = 1; b < record_size; ++b)
            ASSERT_EQ(got[b], got[0]) << "torn at byte " << b << " of read " << i;
    }
    stop = true;
    writer.join();
    EXPECT_GT(consistent, 0);
}

TEST(StatusFile, LogKeepsTheLastLinesAcrossTheWrapAndAcrossARestart)
{
    TempDir dir;
    const std::string path = dir.file("s");
    {
        StatusMap w;
        ASSERT_EQ(w.open_for_writing(path.c_str()), 0);
        for (int i = 0; i < 1000; ++i) {
            std::string line = "line " + std::to_string(i) + " of the daemon's log\n";
            w.append_log(line.data(), line.size());
        }
        w.append_log("partial", 7);
    }
    StatusMap again; // the daemon started again: the log stays
    ASSERT_EQ(again.open_for_writing(path.c_str()), 0);
    StatusMap r;
    ASSERT_EQ(r.open_for_reading(path.c_str()), 0);
    std::string text;
    ASSERT_TRUE(r.read_log(text));
    EXPECT_LE(text.size(), log_ring_size);
    EXPECT_EQ(text.compare(0, 5, "line "), 0) << "the ring's first, cut line is dropped";
    std::vector<std::string> lines = last_lines(text, 3);
    EXPECT_EQ(lines, (std::vector<std::string>{"line 997 of the daemon's log", "line 998 of the daemon's log",
                                               "line 999 of the daemon's log"}));
    // Longer than the ring: only its end is kept.
    std::string huge(3 * log_ring_size, 'x');
    huge += "\nlast\n";
    again.append_log(huge.data(), huge.size());
    ASSERT_TRUE(r.read_log(text));
    EXPECT_EQ(last_lines(text, 1), std::vector<std::string>{"last"});
}

TEST(StatusFile, ReaderRefusesMissingShortAndForeignFiles)
{
    TempDir dir;
    StatusMap r;
    EXPECT_EQ(r.open_for_reading(dir.file("none").c_str()), -1);
    const std::string small = dir.file("small");
    FILE *f = std::fopen(small.c_str(), "w");
    std::fputs("GWST", f);
    std::fclose(f);
    EXPECT_EQ(r.open_for_reading(small.c_str()), -1);
    const std::string foreign = dir.file("foreign");
    ASSERT_EQ(::truncate(foreign.c_str(), 0), -1); // does not exist yet
    f = std::fopen(foreign.c_str(), "w");
    std::vector<char> zeros(file_size, 0);
    std::fwrite(zeros.data(), 1, zeros.size(), f);
    std::fclose(f);
    EXPECT_EQ(r.open_for_reading(foreign.c_str()), -1);
    EXPECT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);
    EXPECT_EQ(r.open_for_reading(dir.file("fifo").c_str()), -1);
    StatusMap w;
    EXPECT_EQ(w.open_for_writing(dir.file("fifo").c_str()), -1);
}

TEST(StatusFile, AWriterKilledMidRecordDoesNotBlockReadersAfterTheRestart)
{
    TempDir dir;
    const std::string path = dir.file("s");
    {
        StatusMap w;
        ASSERT_EQ(w.open_for_writing(path.c_str()), 0);
    }
    // An odd sequence, as a writer ended between its two stores leaves it.
    int fd = ::open(path.c_str(), O_WRONLY);
    const uint8_t odd[4] = {7, 0, 0, 0};
    ASSERT_EQ(::pwrite(fd, odd, 4, status_seq_offset), 4);
    ASSERT_EQ(::pwrite(fd, odd, 4, log_seq_offset), 4);
    ::close(fd);
    StatusMap r;
    ASSERT_EQ(r.open_for_reading(path.c_str()), 0);
    uint8_t rec[record_size];
    std::string text;
    EXPECT_FALSE(r.read_record(rec));
    StatusMap w;
    ASSERT_EQ(w.open_for_writing(path.c_str()), 0);
    EXPECT_TRUE(r.read_record(rec));
    EXPECT_TRUE(r.read_log(text));
}

TEST(StatusFile, PublisherCopiesTheLiveCountersAndTheJitterDepth)
{
    TempDir dir;
    StatusMap w, r;
    ASSERT_EQ(w.open_for_writing(dir.file("s").c_str()), 0);
    ASSERT_EQ(r.open_for_reading(dir.file("s").c_str()), 0);
    LiveStatus &s = live();
    note_connecting(0x0100007F, 5555);
    note_connected();
    note_logged_in();
    bump(s.tx_packets, 7);
    bump(s.jitter_in, 10);
    bump(s.jitter_out, 6);
    put(s.ptt, 1);
    StatusPublisher pub(&w, 1, 2, 0);
    pub.publish();
    uint8_t rec[record_size];
    ASSERT_TRUE(r.read_record(rec));
    status_record got = decode(rec);
    EXPECT_EQ(got.pid, static_cast<uint32_t>(::getpid()));
    EXPECT_EQ(got.link_state, static_cast<uint32_t>(link_logged_in));
    EXPECT_EQ(got.server_ip, 0x0100007Fu);
    EXPECT_EQ(got.logins, 1u);
    EXPECT_EQ(got.tx_packets, 7u);
    EXPECT_EQ(got.jitter_depth, 4u);
    EXPECT_EQ(got.ptt, 1u);
    EXPECT_EQ(got.codec, 2u);
    note_link_down();
    EXPECT_EQ(pub.snapshot().link_losses, 1u);
    EXPECT_STREQ(link_state_name(got.link_state), "logged in");
}

TEST(LogTee, StandardOutputIsUnchangedAndTheRingGetsACopy)
{
    TempDir dir;
    const std::string path = dir.file("s"), out = dir.file("out");
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(fd, 1);
        std::setvbuf(stdout, nullptr, _IOLBF, 0);
        std::printf("before\n");
        StatusMap *map = new StatusMap;
        if (map->open_for_writing(path.c_str()) != 0 || tee_stdout_into(map) != 0)
            _exit(3);
        std::printf("cfg : %s\n", "one");
        std::puts("two");
        std::fputs("three, not ended", stdout);
        std::fflush(stdout);
        _exit(0);
    }
    int st = 0;
    ASSERT_EQ(::waitpid(pid, &st, 0), pid);
    ASSERT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
    std::vector<uint8_t> printed = read_all(out);
    EXPECT_EQ(std::string(printed.begin(), printed.end()), "before\ncfg : one\ntwo\nthree, not ended");
    StatusMap r;
    ASSERT_EQ(r.open_for_reading(path.c_str()), 0);
    std::string text;
    ASSERT_TRUE(r.read_log(text));
    EXPECT_EQ(text, "cfg : one\ntwo\nthree, not ended");
    EXPECT_EQ(last_lines(text, 10), (std::vector<std::string>{"cfg : one", "two"}));
}

} // namespace
