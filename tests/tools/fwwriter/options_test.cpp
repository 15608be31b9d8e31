#include "tools/fwwriter/options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace
{

int parse(std::vector<const char *> args, fwwriter::Options *o)
{
    args.insert(args.begin(), "./fwwriter");
    return fwwriter::parse_options(static_cast<int>(args.size()), args.data(), o);
}

} // namespace

TEST(FwwriterOptions, FourModes)
{
    fwwriter::Options o;
    ASSERT_EQ(parse({"--check"}, &o), 0);
    EXPECT_EQ(o.mode, fwwriter::mode_check);
    EXPECT_EQ(o.v, 1);
    ASSERT_EQ(parse({"--upgrade"}, &o), 0);
    EXPECT_EQ(o.mode, fwwriter::mode_upgrade);
    EXPECT_EQ(o.v, 1);
    ASSERT_EQ(parse({"--check-quiet"}, &o), 0);
    EXPECT_EQ(o.mode, fwwriter::mode_check);
    EXPECT_EQ(o.v, 0);
    ASSERT_EQ(parse({"--upgrade-quiet"}, &o), 0);
    EXPECT_EQ(o.mode, fwwriter::mode_upgrade);
    EXPECT_EQ(o.v, 0);
}

TEST(FwwriterOptions, AnythingElseIsUsage)
{
    fwwriter::Options o;
    EXPECT_EQ(parse({}, &o), -1);
    EXPECT_EQ(parse({"--check", "--check"}, &o), -1);
    EXPECT_EQ(parse({"--check", "extra"}, &o), -1);
    EXPECT_EQ(parse({"check"}, &o), -1);
    EXPECT_EQ(parse({"--check "}, &o), -1);
    EXPECT_EQ(parse({"--CHECK"}, &o), -1);
    EXPECT_EQ(parse({"--upgrade-quiet2"}, &o), -1);
    EXPECT_EQ(parse({""}, &o), -1);
    EXPECT_EQ(parse({"-"}, &o), -1);
    EXPECT_EQ(std::string(fwwriter::usage_line),
              "usage: ./fwwriter --check / --upgrade / --check-quiet / --upgrade-quiet");
}
