// What gwcfg writes is what gwlinkd loads: every field set with gwcfg comes
// back from "gwlinkd --getconfig" run in a box on that folder.
#include "sim/box_process.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace
{

const std::string gwcfg = GW_BUILD_DIR "/bin/gwcfg";
const std::string gwlinkd = GW_BUILD_DIR "/bin/gwlinkd";

std::string capture(const std::string &cmd, int &status)
{
    std::string out;
    FILE *p = ::popen((cmd + " 2>&1").c_str(), "r");
    char buf[512];
    size_t n;
    while (p && (n = std::fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    int st = p ? ::pclose(p) : -1;
    status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return out;
}

} // namespace

TEST(GwcfgInBox, EveryFieldRoundTripsThroughGwlinkd)
{
    char tmpl[] = "/tmp/gwcfg-box-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    const std::string dir = tmpl;
    int status;
    std::string out = capture("'" + gwcfg + "' --dir " + dir +
                                  " set ip 192.168.7.2 gw 192.168.7.1 dns 9.9.9.9 mask 255.255.0.0"
                                  " remote_ip 127.0.0.1 remote_port 40000 remote_user alice remote_passwd"
                                  " 'pa ss' passwd board buffers 12 radio_type dm3000 crypto_mode 1",
                              status);
    ASSERT_EQ(status, 0) << out;
    std::string shown = capture("'" + gwcfg + "' --dir " + dir + " show", status);
    ASSERT_EQ(status, 0) << shown;

    boardbox::BoxProcess box;
    ASSERT_EQ(box.start({"--config", dir}, {gwlinkd, "--getconfig"}), 0);
    ASSERT_EQ(box.wait_exit(std::chrono::milliseconds(60000)), 0) << box.output();
    std::string printed;
    for (const std::string &line : box.stdout_lines())
        printed += line + "\n";
    // gwcfg shows the record exactly as the gateway prints it, then the codec.
    EXPECT_EQ(shown.substr(0, printed.size()), printed);
    EXPECT_EQ(printed, "ver:2\nip:192.168.7.2\ngw:192.168.7.1\ndns:9.9.9.9\nremote_ip:127.0.0.1\n"
                       "remote_port:40000\nremote_user:alice\nremote_passwd:pa ss\nbuffers:12\npasswd:board\n"
                       "radio_type:2\ncrypto_mode:1\nmask:255.255.0.0\n\n");
    std::system(("rm -rf '" + dir + "'").c_str());
}
