#include "sim/control_server.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "sim/box_client.h"
#include "sim/box_process.h"

using namespace boardbox;
using nlohmann::json;

namespace
{

ControlServer &echo_server(ControlServer &s)
{
    s.add("echo", [](const json &r) { return json{{"value", r.value("value", 0)}}; });
    s.add("fail", [](const json &) { return json{{"ok", false}, {"error", "nope"}}; });
    s.set_fallback([](const json &r) { return r["cmd"] == "peer" ? json{{"peer", true}} : json(); });
    return s;
}

} // namespace

TEST(ControlServer, RepliesAreOneJsonObjectPerLine)
{
    ControlServer s;
    echo_server(s);
    EXPECT_EQ(s.handle_line(R"({"cmd":"echo","value":5})"), "{\"ok\":true,\"value\":5}\n");
    EXPECT_EQ(s.handle_line(R"({"cmd":"fail"})"), "{\"error\":\"nope\",\"ok\":false}\n");
    EXPECT_EQ(s.handle_line(R"({"cmd":"peer"})"), "{\"ok\":true,\"peer\":true}\n");
}

TEST(ControlServer, GarbageAndUnknownRequestsGetErrors)
{
    ControlServer s;
    echo_server(s);
    for (const char *bad : {"", "{", "[1,2]", "42", "\"cmd\"", "{\"cmd\":7}", "{\"value\":1}", "\xff\xfe{}",
                            R"({"cmd":"echo","value":"five"})"}) {
        json r = json::parse(s.handle_line(bad), nullptr, false);
        ASSERT_TRUE(r.is_object()) << bad;
        EXPECT_EQ(r["ok"], false) << bad;
    }
    json r = json::parse(s.handle_line(R"({"cmd":"nosuch"})"));
    EXPECT_EQ(r["error"], "unknown command: nosuch");
}

TEST(ControlServer, ClientTalksOverTheSocketAndTheFileIsRemovedAtStop)
{
    std::string path = BoxProcess::temp_path("ctl");
    {
        ControlServer s;
        std::string why;
        ASSERT_EQ(s.bind(path, why), 0) << why;
        echo_server(s);
        ASSERT_EQ(s.start(), 0);
        Client c;
        ASSERT_EQ(c.connect(path), 0);
        json reply;
        EXPECT_EQ(c.request({{"cmd", "echo"}, {"value", 9}}, reply), 0);
        EXPECT_EQ(reply["value"], 9);
        EXPECT_NE(c.request({{"cmd", "fail"}}, reply), 0);
        EXPECT_EQ(reply["error"], "nope");
        // Two requests in one write, then a very long garbage line.
        std::string a, b;
        EXPECT_EQ(c.raw(R"({"cmd":"echo","value":1})"
                        "\n"
                        R"({"cmd":"echo","value":2})",
                        a),
                  0);
        EXPECT_EQ(c.raw("", b), 0);
        EXPECT_EQ(a, R"({"ok":true,"value":1})");
        EXPECT_EQ(b, R"({"ok":true,"value":2})");
        std::string reply_line;
        EXPECT_EQ(c.raw(std::string(100000, 'x'), reply_line), 0);
        EXPECT_NE(reply_line.find("\"ok\":false"), std::string::npos);
        s.stop();
    }
    struct stat st;
    EXPECT_NE(::lstat(path.c_str(), &st), 0);
}

TEST(ControlServer, ConnectTimesOutWithoutServer)
{
    Client c;
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_NE(c.connect("/nonexistent/dir/sock", std::chrono::milliseconds(100)), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
    EXPECT_NE(c.connect(std::string(200, 'a'), std::chrono::milliseconds(10)), 0);
}
