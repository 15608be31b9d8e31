// Which server a link tries: the main one, the backup after failures or a
// lost session, and back to the main once a probe beside the backup's session
// is accepted; without a backup nothing ever changes.
#include "link/server_choice.h"

#include "tests/captured_stdout.h"
#include <arpa/inet.h>

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>

namespace
{

using Captured = CapturedStdout;

using namespace std::chrono_literals;

BackupServer backup_at(const char *ip, int port, int after, std::chrono::milliseconds retry = 60s)
{
    BackupServer b;
    b.addr = inet_addr(ip);
    b.port = port;
    b.backup_after = after;
    b.main_retry = retry;
    return b;
}

// Plays one attempt per letter: F failed, L logged in, E the session ended.
// Returns where each attempt went ("m" or "b") and whether a failure moved
// on at once ("!").
std::string play(ServerChoice &c, const std::string &script)
{
    std::string went;
    for (char e : script) {
        switch (e) {
        case 'F':
            went += c.next().backup ? 'b' : 'm';
            if (c.attempt_failed())
                went += '!';
            break;
        case 'L':
            went += c.next().backup ? 'b' : 'm';
            c.logged_in();
            break;
        case 'E':
            c.session_ended();
            break;
        }
    }
    return went;
}

} // namespace

TEST(ServerChoice, WithoutABackupEveryAttemptGoesToTheMainServerAndNothingIsPrinted)
{
    Captured out;
    {
        ServerChoice c("127.0.0.1", 5555, BackupServer{}, {});
        EXPECT_FALSE(c.has_backup());
        EXPECT_EQ(play(c, "FFFFFFLEFFFLEFFFFF"), "mmmmmmmmmmmmmmmm");
        const ServerAddress s = c.in_use();
        EXPECT_EQ(s.text(), "127.0.0.1:5555");
        EXPECT_EQ(s.addr, inet_addr("127.0.0.1"));
        EXPECT_FALSE(s.backup);
    }
    EXPECT_EQ(out.take(), "");
}

TEST(ServerChoice, MovesAfterFailuresInARowOrALostSessionWithOneLineEach)
{
    struct Case {
        const char *name;
        int after;
        std::string script;
        std::string went;
        std::string lines;
    };
    const std::string to_backup = "switching to backup 127.0.0.1:5557\n";
    const std::string to_main = "switching to main 127.0.0.1:5555\n";
    const Case cases[] = {
        {"three failures", 3, "FFFL", "mmm!b",
         "server  : main server 127.0.0.1:5555 failed 3 times, " + to_backup},
        {"one failure after a session", 3, "LEFL", "mm!b",
         "server  : main server 127.0.0.1:5555 lost, " + to_backup},
        {"backup_after 1", 1, "FL", "m!b",
         "server  : main server 127.0.0.1:5555 failed 1 time, " + to_backup},
        {"the backup fails in turn", 2, "FFFF", "mm!bb!",
         "server  : main server 127.0.0.1:5555 failed 2 times, " + to_backup +
             "server  : backup server 127.0.0.1:5557 failed 2 times, " + to_main},
        {"the backup's session lost", 2, "FFLEFL", "mm!bb!m",
         "server  : main server 127.0.0.1:5555 failed 2 times, " + to_backup +
             "server  : backup server 127.0.0.1:5557 lost, " + to_main},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.name);
        Captured out;
        std::string went;
        {
            ServerChoice c("127.0.0.1", 5555, backup_at("127.0.0.1", 5557, k.after), {});
            EXPECT_TRUE(c.has_backup());
            went = play(c, k.script);
        }
        EXPECT_EQ(out.take(), k.lines);
        EXPECT_EQ(went, k.went);
    }
}

TEST(ServerChoice, BackupPortZeroIsTheMainServersPort)
{
    ServerChoice c("10.0.0.1", 6000, backup_at("10.0.0.2", 0, 1), {});
    Captured out;
    play(c, "FL");
    out.take();
    EXPECT_EQ(c.in_use().text(), "10.0.0.2:6000");
    EXPECT_TRUE(c.in_use().backup);
}

// The probe runs only beside a logged-in backup session, every main_retry;
// the first accepted login takes the link back to the main server.
TEST(ServerChoice, ProbesTheMainBesideTheBackupsSessionAndGoesBackOnceItAcceptsALogin)
{
    std::mutex m;
    std::condition_variable cv;
    int probes = 0, leaves = 0;
    bool accept = false;
    std::string probed;
    ServerChoice::Hooks hooks;
    hooks.probe = [&](const ServerAddress &s) {
        std::lock_guard<std::mutex> lock(m);
        probed = s.text();
        ++probes;
        cv.notify_all();
        return accept;
    };
    hooks.abort_probe = [] {};
    hooks.leave_backup = [&] {
        std::lock_guard<std::mutex> lock(m);
        ++leaves;
        cv.notify_all();
    };
    Captured out;
    ServerChoice c("127.0.0.1", 5555, backup_at("127.0.0.1", 5557, 1, 50ms), hooks);
    // On the main, logged in or not, and on the backup before its login:
    // the first probe comes only after the backup's login plus main_retry.
    EXPECT_EQ(play(c, "LEF"), "mm!");
    EXPECT_EQ(play(c, "L"), "b");
    const auto logged_in = std::chrono::steady_clock::now();
    {
        std::unique_lock<std::mutex> lock(m);
        ASSERT_TRUE(cv.wait_for(lock, 10s, [&] { return probes >= 3; }));
        EXPECT_GE(std::chrono::steady_clock::now() - logged_in, 3 * 50ms - 5ms);
        EXPECT_EQ(probed, "127.0.0.1:5555");
        EXPECT_EQ(leaves, 0);
    }
    // Not under `m`: leave_backup takes it with the choice's lock held.
    EXPECT_TRUE(c.in_use().backup);
    {
        std::unique_lock<std::mutex> lock(m);
        accept = true;
        ASSERT_TRUE(cv.wait_for(lock, 10s, [&] { return leaves == 1; }));
    }
    EXPECT_TRUE(c.session_ended()) << "the move to the main goes at once";
    EXPECT_EQ(play(c, "L"), "m");
    EXPECT_FALSE(c.session_ended()) << "a session merely lost";
    EXPECT_FALSE(c.in_use().backup);
    // A main that fails right after the move sends the link back at once.
    EXPECT_EQ(play(c, "FL"), "m!b");
    c.stop();
    EXPECT_EQ(out.take(),
              "server  : main server 127.0.0.1:5555 lost, switching to backup 127.0.0.1:5557\n"
              "server  : main server 127.0.0.1:5555 accepts logins again, switching back from backup "
              "127.0.0.1:5557\n"
              "server  : main server 127.0.0.1:5555 lost, switching to backup 127.0.0.1:5557\n");
}

// stop() ends a probe that is waiting on its server.
TEST(ServerChoice, StopAbortsAPendingProbe)
{
    std::mutex m;
    std::condition_variable cv;
    bool probing = false, aborted = false;
    ServerChoice::Hooks hooks;
    hooks.probe = [&](const ServerAddress &) {
        std::unique_lock<std::mutex> lock(m);
        probing = true;
        cv.notify_all();
        cv.wait(lock, [&] { return aborted; });
        return false;
    };
    hooks.abort_probe = [&] {
        std::lock_guard<std::mutex> lock(m);
        aborted = true;
        cv.notify_all();
    };
    hooks.leave_backup = [] {};
    Captured out;
    ServerChoice c("127.0.0.1", 5555, backup_at("127.0.0.1", 5557, 1, 10ms), hooks);
    play(c, "FL");
    {
        std::unique_lock<std::mutex> lock(m);
        ASSERT_TRUE(cv.wait_for(lock, 10s, [&] { return probing; }));
    }
    c.stop();
    EXPECT_TRUE(aborted);
    out.take();
}
