#include "tests/tools/gatesimd/fake_sim.h"
#include "tools/gatesimd/commands.h"

#include <cstdio>
#include <fstream>
#include <gtest/gtest.h>
#include <unistd.h>

namespace
{

using Bytes = std::vector<unsigned char>;

class Commands : public ::testing::Test
{
  protected:
    std::string run(const std::string &line) { return cmd.execute(line, quit); }
    FakeSim sim;
    CommandInterpreter cmd{sim};
    bool quit = false;
};

TEST(GatesimdHex, AcceptsPairsWithSeparatorsAndPrefixes)
{
    std::vector<uint8_t> out;
    ASSERT_TRUE(parse_hex("01 02:0a,FF 0x10 deadBEEF", out));
    EXPECT_EQ(out, (std::vector<uint8_t>{1, 2, 0x0A, 0xFF, 0x10, 0xDE, 0xAD, 0xBE, 0xEF}));
    ASSERT_TRUE(parse_hex("", out));
    EXPECT_TRUE(out.empty());
}

TEST(GatesimdHex, RejectsOddDigitsAndGarbage)
{
    std::vector<uint8_t> out{9};
    EXPECT_FALSE(parse_hex("123", out));
    EXPECT_FALSE(parse_hex("zz", out));
    EXPECT_FALSE(parse_hex("0x", out));
    EXPECT_FALSE(parse_hex("1 2", out));
    EXPECT_EQ(out, std::vector<uint8_t>{9});
}

TEST_F(Commands, SquelchAndGpio)
{
    EXPECT_EQ(run("sql 1"), "ok");
    EXPECT_EQ(run("gpio 0x1000 0x3000"), "ok");
    auto c = sim.calls();
    ASSERT_EQ(c.size(), 2u);
    EXPECT_EQ(c[0].what, "sql");
    EXPECT_EQ(c[0].args, std::vector<long long>{1});
    EXPECT_EQ(c[1].args, (std::vector<long long>{0x1000, 0x3000}));
}

TEST_F(Commands, XmlTakesTheRestOfTheLine)
{
    EXPECT_EQ(run("xml <Status a=\"1\"> x </Status>"), "ok");
    EXPECT_EQ(sim.calls().at(0).text, "<Status a=\"1\"> x </Status>");
}

TEST_F(Commands, XmlFromAFile)
{
    char path[] = "/tmp/gatesimd_xml_XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "<a/>\n<b/>", 9), 9);
    close(fd);
    EXPECT_EQ(run(std::string("xmlfile ") + path), "ok");
    unlink(path);
    EXPECT_EQ(sim.calls().at(0).text, "<a/>\n<b/>");
    EXPECT_EQ(run("xmlfile /nonexistent.xml").rfind("error: ", 0), 0u);
}

TEST_F(Commands, PolarStatus)
{
    EXPECT_EQ(run("polar AB text 7 8"), "ok");
    auto c = sim.calls().at(0);
    EXPECT_EQ(c.text, "AB|text");
    EXPECT_EQ(c.args, (std::vector<long long>{7, 8}));
}

TEST_F(Commands, RawTunnelsAnyType)
{
    EXPECT_EQ(run("raw 2003 01 00 00 00 ff"), "ok");
    auto c = sim.calls().at(0);
    EXPECT_EQ(c.args, std::vector<long long>{2003});
    EXPECT_EQ(c.data, (Bytes{1, 0, 0, 0, 0xFF}));
}

TEST_F(Commands, Dm3000BuildsTheStatusRecord)
{
    EXPECT_EQ(run("dm3000 1 2 41 42"), "ok");
    auto c = sim.calls().at(0);
    EXPECT_EQ(c.args, std::vector<long long>{2003});
    EXPECT_EQ(c.data, (Bytes{1, 0, 0, 0, 0, 0, 0, 0, 2, 0x41, 0x42}));
    EXPECT_EQ(run("dm3000 1 256 41").rfind("error: ", 0), 0u);
}

TEST_F(Commands, SerialDataOnAChannel)
{
    EXPECT_EQ(run("serial 0 a0 b1 c2"), "ok");
    auto c = sim.calls().at(0);
    EXPECT_EQ(c.what, "serial");
    EXPECT_EQ(c.args, std::vector<long long>{0});
    EXPECT_EQ(c.data, (Bytes{0xA0, 0xB1, 0xC2}));
    EXPECT_EQ(run("serial 256 00").rfind("error: ", 0), 0u);
    EXPECT_EQ(run("serial -1 00").rfind("error: ", 0), 0u);
    EXPECT_EQ(run("serial 0").rfind("error: ", 0), 0u);
}

TEST_F(Commands, SerialFileSendsOneMessagePerLine)
{
    char path[] = "/tmp/gatesimd_frames_XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    std::string text = "# display frames\n01 02 03\n\n0a0b # second\n";
    ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    close(fd);
    EXPECT_EQ(run(std::string("serialfile 0 ") + path), "ok: 2 frames");
    auto c = sim.calls();
    ASSERT_EQ(c.size(), 2u);
    EXPECT_EQ(c[0].data, (Bytes{1, 2, 3}));
    EXPECT_EQ(c[1].data, (Bytes{0x0A, 0x0B}));
    unlink(path);
}

TEST_F(Commands, SerialFileWithABadLineSendsNothing)
{
    char path[] = "/tmp/gatesimd_frames_XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    std::string text = "01 02\nnot hex\n";
    ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    close(fd);
    EXPECT_NE(run(std::string("serialfile 0 ") + path).find("line 2"), std::string::npos);
    EXPECT_EQ(sim.count(), 0u);
    unlink(path);
}

TEST_F(Commands, ARefusalIsReportedAsAnError)
{
    sim.result = -1;
    EXPECT_EQ(run("sql 1").rfind("error: ", 0), 0u);
}

TEST_F(Commands, BadUsageIsAnErrorAndSendsNothing)
{
    for (const char *line : {"sql", "sql x", "sql 1 2", "gpio 1", "gpio -1 2", "gpio 0x100000000 1",
                             "polar a b c d", "raw x 00", "raw 1 0", "xml", "frobnicate", "serial x 00"})
        EXPECT_EQ(run(line).rfind("error: ", 0), 0u) << line;
    EXPECT_EQ(sim.count(), 0u);
}

TEST_F(Commands, BlankLinesAndCommentsDoNothing)
{
    EXPECT_EQ(run(""), "");
    EXPECT_EQ(run("   "), "");
    EXPECT_EQ(run("# sql 1"), "");
    EXPECT_EQ(sim.count(), 0u);
}

TEST_F(Commands, HelpListsEveryCommandAndQuitQuits)
{
    std::string help = run("help");
    for (const char *c :
         {"sql", "gpio", "xml", "xmlfile", "polar", "raw", "dm3000", "serial", "serialfile", "quit"})
        EXPECT_NE(help.find(std::string("  ") + c + " "), std::string::npos) << c;
    EXPECT_EQ(help.substr(help.size() - 2), "ok");
    EXPECT_FALSE(quit);
    EXPECT_EQ(run("quit"), "ok");
    EXPECT_TRUE(quit);
}

} // namespace
