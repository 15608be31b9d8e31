// The target table and the upgrade file's header: tag, size and file length.
#include "tools/headflash/upg_file.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/odd_buffer.h"

using namespace headflash;
using B = std::vector<uint8_t>;

namespace
{

B header(const char *tag, uint32_t size)
{
    B h(tag, tag + 4);
    h.push_back(static_cast<uint8_t>(size));
    h.push_back(static_cast<uint8_t>(size >> 8));
    h.push_back(static_cast<uint8_t>(size >> 16));
    h.push_back(static_cast<uint8_t>(size >> 24));
    return h;
}

const Target &target(Mode m, long type)
{
    const Target *t = find_target(m, type);
    EXPECT_NE(t, nullptr);
    static const Target none{Mode::head, -1, "", "????", "", 0};
    return t ? *t : none;
}

std::string check(const B &h, const Target &t, long long file_size, uint32_t &blocks)
{
    const char *e = check_upg_header(h.data(), h.size(), t, file_size, blocks);
    return e ? e : "";
}

} // namespace

TEST(TargetTable, HeadTypesAreTheGatewayRadioTypes)
{
    const Target *t = find_target(Mode::head, 3);
    ASSERT_NE(t, nullptr);
    EXPECT_STREQ(t->message, "target: head/radio_type_xcmp(3)");
    EXPECT_STREQ(t->tag, "HEAD");
    EXPECT_STREQ(t->port, "/dev/ttyS1");
    EXPECT_EQ(t->speed, 3000000u);
    t = find_target(Mode::head, 4);
    ASSERT_NE(t, nullptr);
    EXPECT_STREQ(t->message, "target: head/radio_type_mtetra(4)");
    EXPECT_STREQ(t->tag, "HEmt");
    EXPECT_STREQ(t->port, "/dev/ttyS1");
    EXPECT_EQ(t->speed, 460800u);
    t = find_target(Mode::head, 5);
    ASSERT_NE(t, nullptr);
    EXPECT_STREQ(t->message, "target: head/radio_type_nx5xxx(5)");
    EXPECT_STREQ(t->tag, "HEn5");
    EXPECT_STREQ(t->port, "/dev/ttyS1");
    EXPECT_EQ(t->speed, 230400u);
}

TEST(TargetTable, RadioTypes)
{
    const Target *t = find_target(Mode::radio, 9);
    ASSERT_NE(t, nullptr);
    EXPECT_STREQ(t->message, "target: head/RadioType_XCMP_DM4600(9)");
    EXPECT_STREQ(t->tag, "RADI");
    EXPECT_STREQ(t->port, "/dev/ttyS1");
    EXPECT_EQ(t->speed, 3000000u);
    t = find_target(Mode::radio, 14);
    ASSERT_NE(t, nullptr);
    EXPECT_STREQ(t->message, "target: head/RadioType_Tetra_M(14)");
    EXPECT_STREQ(t->tag, "RAmt");
    EXPECT_STREQ(t->port, "/dev/ttyS3");
    EXPECT_EQ(t->speed, 460800u);
    t = find_target(Mode::radio, 21);
    ASSERT_NE(t, nullptr);
    EXPECT_STREQ(t->message, "target: head/RadioType_NX5XXX(21)");
    EXPECT_STREQ(t->tag, "RAn5");
    EXPECT_STREQ(t->port, "/dev/ttyS3");
    EXPECT_EQ(t->speed, 230400u);
}

TEST(TargetTable, TypesBelongToTheirMode)
{
    EXPECT_EQ(find_target(Mode::radio, 3), nullptr);
    EXPECT_EQ(find_target(Mode::head, 9), nullptr);
    EXPECT_EQ(find_target(Mode::head, 0), nullptr);
    EXPECT_EQ(find_target(Mode::radio, 22), nullptr);
    EXPECT_EQ(find_target(Mode::head, -1), nullptr);
}

TEST(UpgHeader, MatchingTagAndWholeBlocks)
{
    uint32_t blocks = 99;
    EXPECT_EQ(check(header("HEAD", 512), target(Mode::head, 3), 8 + 512, blocks), "");
    EXPECT_EQ(blocks, 2u);
    EXPECT_EQ(check(header("RAn5", 0), target(Mode::radio, 21), 8, blocks), "");
    EXPECT_EQ(blocks, 0u);
    // Bytes after the data are not the target's business.
    EXPECT_EQ(check(header("RAmt", 256), target(Mode::radio, 14), 8 + 1000, blocks), "");
    EXPECT_EQ(blocks, 1u);
}

TEST(UpgHeader, TagOfAnotherTargetIsRefused)
{
    uint32_t blocks = 0;
    EXPECT_EQ(check(header("HEAD", 256), target(Mode::radio, 9), 264, blocks), "invalid upg type!");
    EXPECT_EQ(check(header("head", 256), target(Mode::head, 3), 264, blocks), "invalid upg type!");
    EXPECT_EQ(check(header("HEmt", 256), target(Mode::head, 5), 264, blocks), "invalid upg type!");
}

TEST(UpgHeader, SizeMustBeWholeBlocks)
{
    uint32_t blocks = 0;
    const Target &t = target(Mode::head, 3);
    EXPECT_EQ(check(header("HEAD", 1000), t, 1008, blocks), "invalid upg size!");
    EXPECT_EQ(check(header("HEAD", 257), t, 1008, blocks), "invalid upg size!");
    EXPECT_EQ(check(header("HEAD", 0xFFFFFFFF), t, 1008, blocks), "invalid upg size!");
    EXPECT_EQ(check(header("HEAD", 0x80), t, 1008, blocks), "invalid upg size!");
}

TEST(UpgHeader, MoreBlocksThanSixteenBitNumbersAreRefused)
{
    uint32_t blocks = 0;
    const Target &t = target(Mode::head, 3);
    EXPECT_EQ(check(header("HEAD", 65536u * 256), t, 8 + 65536ll * 256, blocks), "");
    EXPECT_EQ(blocks, 65536u);
    EXPECT_EQ(check(header("HEAD", 65537u * 256), t, 8 + 65537ll * 256, blocks), "invalid upg size!");
    EXPECT_EQ(check(header("HEAD", 0xFFFFFF00u), t, 8 + 0xFFFFFF00ll, blocks), "invalid upg size!");
}

TEST(UpgHeader, TruncatedFileIsRefusedBeforeFlashing)
{
    uint32_t blocks = 0;
    const Target &t = target(Mode::head, 3);
    EXPECT_EQ(check(header("HEAD", 512), t, 8 + 511, blocks), "upg file too short!");
    EXPECT_EQ(check(header("HEAD", 256), t, 8, blocks), "upg file too short!");
    // A file of unknown length is left to the reads.
    EXPECT_EQ(check(header("HEAD", 256), t, -1, blocks), "");
}

TEST(UpgHeader, ShortHeaderCannotBeRead)
{
    uint32_t blocks = 0;
    const Target &t = target(Mode::head, 3);
    B h = header("HEAD", 0);
    for (size_t n = 0; n < h.size(); n++) {
        const char *e = check_upg_header(h.data(), n, t, 100, blocks);
        ASSERT_NE(e, nullptr);
        EXPECT_STREQ(e, "cannot read header!");
    }
}

TEST(UpgHeader, SizeReadAtOddAddressesAndHighBytes)
{
    const Target &t = target(Mode::head, 4);
    for (size_t off : odd_offsets()) {
        uint32_t blocks = 0;
        OddBuffer h(header("HEmt", 0x00FF8000), off);
        EXPECT_EQ(check_upg_header(h.data(), h.size(), t, 8 + 0x00FF8000ll, blocks), nullptr) << off;
        EXPECT_EQ(blocks, 0xFF80u) << off;
        OddBuffer bad(header("HEmt", 0x80FF8000), off);
        EXPECT_STREQ(check_upg_header(bad.data(), bad.size(), t, -1, blocks), "invalid upg size!") << off;
    }
}
