// libgatesim is loaded by host programs outside this project: it may need only
// the C++ runtime and the C library (with pthreads), and it may export only its
// public interface.
#include "gatesim/libgatesim.h"

#include <cstdio>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace
{

const std::string library = std::string(GW_BUILD_DIR) + "/lib/libgatesim.so";

std::vector<std::string> run_lines(const std::string &cmd)
{
    std::vector<std::string> lines;
    FILE *p = popen(cmd.c_str(), "r");
    if (p == nullptr)
        return lines;
    char buf[4096];
    while (fgets(buf, sizeof buf, p) != nullptr) {
        std::string l(buf);
        if (!l.empty() && l.back() == '\n')
            l.pop_back();
        lines.push_back(l);
    }
    pclose(p);
    return lines;
}

TEST(Linkage, NeedsOnlyTheCxxRuntimeAndPthreads)
{
    std::vector<std::string> lines = run_lines("readelf -d '" + library + "'");
    ASSERT_FALSE(lines.empty()) << "readelf failed on " << library;
    // Sanitizer runtimes come with sanitizer builds only.
    const char *allowed[] = {"libstdc++.so", "libgcc_s.so", "libc.so",     "libm.so",   "libpthread.so",
                             "ld-linux",     "libasan.so",  "libubsan.so", "libtsan.so"};
    int count = 0;
    for (const std::string &l : lines) {
        if (l.find("(NEEDED)") == std::string::npos)
            continue;
        size_t open = l.find('['), close = l.find(']');
        ASSERT_NE(open, std::string::npos) << l;
        std::string name = l.substr(open + 1, close - open - 1);
        count++;
        bool ok = false;
        for (const char *a : allowed)
            ok = ok || name.rfind(a, 0) == 0;
        EXPECT_TRUE(ok) << name;
    }
    EXPECT_GT(count, 0);
}

TEST(Linkage, ExportsOnlyThePublicInterface)
{
    std::vector<std::string> lines = run_lines("nm -D --defined-only -C '" + library + "'");
    ASSERT_FALSE(lines.empty());
    const char *exported[] = {"libgatesim", "tcpkit::TcpServer", "EventQ", "n_udp::"};
    std::vector<int> seen(4, 0);
    for (const std::string &l : lines) {
        // The symbol itself: "ADDRESS TYPE NAME".
        std::string name = l.substr(l.find(' ', l.find(' ') + 1) + 1);
        bool ok = false;
        for (size_t i = 0; i < 4; ++i) {
            const std::string e = exported[i];
            bool match = name.rfind(e, 0) == 0 || name.rfind("vtable for " + e, 0) == 0 ||
                         name.rfind("typeinfo for " + e, 0) == 0 ||
                         name.rfind("typeinfo name for " + e, 0) == 0;
            if (match)
                seen[i]++;
            ok = ok || match;
        }
        EXPECT_TRUE(ok) << l;
    }
    for (size_t i = 0; i < 4; ++i)
        EXPECT_GT(seen[i], 0) << exported[i] << " is not exported";
    // The library's own helpers stay hidden.
    for (const std::string &l : lines) {
        EXPECT_EQ(l.find("gatesim_detail"), std::string::npos) << l;
        EXPECT_EQ(l.find("proto::"), std::string::npos) << l;
    }
}

TEST(Linkage, TheFactoryMakesAnIdleEmulator)
{
    std::shared_ptr<libgatesim> sim = libgatesim::create();
    ASSERT_NE(sim, nullptr);
    unsigned char frame[160] = {};
    EXPECT_EQ(sim->rtp_send(frame, 160, 8), -1); // nothing started
    EXPECT_EQ(sim->async_unlock_sql(1), 0);      // nobody to tell
}

} // namespace
