#include "tools/gatesimd/proto_option.h"

#include <gtest/gtest.h>

namespace
{

TEST(GatesimdProto, ParsesMajorDotMinorAndRefusesTheRest)
{
    ProtoVersion v;
    EXPECT_EQ(v.major, 1);
    EXPECT_EQ(v.minor, 5);
    ASSERT_TRUE(parse_proto_version("1.6", v));
    EXPECT_EQ(v.major, 1);
    EXPECT_EQ(v.minor, 6);
    ASSERT_TRUE(parse_proto_version("0.65535", v));
    EXPECT_EQ(v.major, 0);
    EXPECT_EQ(v.minor, 65535);
    for (const char *bad : {"", "1", "1.", ".6", "1.6.2", "-1.6", "1.-6", "65536.0", "1.6x", " 1.6", "a.b"}) {
        ProtoVersion keep;
        EXPECT_FALSE(parse_proto_version(bad, keep)) << bad;
        EXPECT_EQ(keep.minor, 5) << "a refused text changes nothing: " << bad;
    }
}

TEST(GatesimdProto, BlockedListLines)
{
    EXPECT_EQ(blocked_list_lines("user", {"alice", ""}),
              "gatesimd: blocked list of [user]: 2 names\ngatesimd: blocked [alice]\ngatesimd: blocked []\n");
    EXPECT_EQ(blocked_list_lines("gw", {}), "gatesimd: blocked list of [gw]: 0 names\n");
}

} // namespace
