#include "tools/gatesimd/users.h"

#include <gtest/gtest.h>

namespace
{

TEST(GatesimdUsers, DefaultIsTheFactoryLogin)
{
    UserTable t = UserTable::defaults();
    const GatesimUser *u = t.find("user", "qzv");
    ASSERT_NE(u, nullptr);
    EXPECT_EQ(u->level, 1);
    EXPECT_EQ(u->codec, 1);
    EXPECT_EQ(t.find("user", "wrong"), nullptr);
}

TEST(GatesimdUsers, ParsesUsersWithLevelsAndCodecs)
{
    UserTable t;
    std::string err;
    ASSERT_TRUE(UserTable::parse("# site users\n"
                                 "op1 secret 2 gsm\n"
                                 "\n"
                                 "   listener  pw 0   speex  \n"
                                 "gw user 1 alaw\n",
                                 t, err))
        << err;
    ASSERT_EQ(t.users().size(), 3u);
    EXPECT_EQ(t.find("op1", "secret")->codec, 2);
    EXPECT_EQ(t.find("op1", "secret")->level, 2);
    EXPECT_EQ(t.find("listener", "pw")->codec, 3);
    EXPECT_EQ(t.find("listener", "pw")->level, 0);
    EXPECT_EQ(t.find("gw", "user")->codec, 1);
}

TEST(GatesimdUsers, DeviceNameAndEncryptionAreOptionalColumns)
{
    UserTable t;
    std::string err;
    ASSERT_TRUE(UserTable::parse("plain p 1 alaw\n"
                                 "named p 1 gsm console-7\n"
                                 "secret p 1 speex radio-3 rckd\n",
                                 t, err))
        << err;
    const GatesimUser *plain = t.find("plain", "p"), *named = t.find("named", "p"),
                      *secret = t.find("secret", "p");
    ASSERT_TRUE(plain && named && secret);
    EXPECT_EQ(plain->devname, "");
    EXPECT_FALSE(plain->rckd);
    EXPECT_EQ(named->devname, "console-7");
    EXPECT_FALSE(named->rckd);
    EXPECT_EQ(secret->devname, "radio-3");
    EXPECT_TRUE(secret->rckd);
}

TEST(GatesimdUsers, RejectsBadLinesNamingTheLine)
{
    struct Case {
        const char *text;
        const char *what;
    } cases[] = {
        {"a b 1\n", "line 1"},
        {"ok ok 1 alaw\na b x alaw\n", "line 2"},
        {"a b 1 opus\n", "codec"},
        {"a b 1 alaw dev rckd extra\n", "unexpected"},
        {"a b 1 alaw dev yes\n", "rckd"},
        {"a b 99999999999 alaw\n", "level"},
        {"a b 1 alaw\na c 1 gsm\n", "twice"},
        {"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa b 1 alaw\n", "31"},
        {"# only a comment\n", "no users"},
        {"", "no users"},
    };
    for (const Case &c : cases) {
        UserTable t = UserTable::defaults();
        std::string err;
        EXPECT_FALSE(UserTable::parse(c.text, t, err)) << c.text;
        EXPECT_NE(err.find(c.what), std::string::npos) << c.text << " -> " << err;
        EXPECT_NE(t.find("user", "qzv"), nullptr) << "a failed parse must leave the table alone";
    }
}

TEST(GatesimdUsers, GarbageBytesAreRefusedNamingTheLine)
{
    std::string junk;
    for (int i = 0; i < 2000; i++)
        junk.push_back(static_cast<char>((i * 7919) & 0xFF));
    UserTable t = UserTable::defaults();
    std::string err;
    EXPECT_FALSE(UserTable::parse(junk, t, err));
    EXPECT_NE(err.find("line "), std::string::npos) << err;
    EXPECT_EQ(t.users().size(), 1u) << "a failed parse must leave the table alone";
    EXPECT_NE(t.find("user", "qzv"), nullptr);
}

TEST(GatesimdUsers, MissingFileIsAnError)
{
    UserTable t;
    std::string err;
    EXPECT_FALSE(UserTable::load("/nonexistent/users.txt", t, err));
    EXPECT_NE(err.find("cannot read"), std::string::npos);
}

} // namespace
