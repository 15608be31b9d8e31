#include "tools/fwwriter/upgrade_header.h"

#include "tests/odd_buffer.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

namespace
{

using Bytes = std::vector<uint8_t>;

// A header that passes every check: "DovGWIM\0", upg_ver 3, fw_ver with 1 in
// its third byte and other bytes set, sizes kernel 10000, rootfs -1, config 0.
const Bytes good = {
    0x44, 0x6F, 0x76, 0x47, 0x57, 0x49, 0x4D, 0x00, // name
    0x03, 0x00, 0x00, 0x00,                         // upg_ver 3
    0x07, 0x02, 0x01, 0x09,                         // fw_ver 0x09010207
    0xDE, 0xAD, 0xBE, 0xEF,                         // not examined
    0x00, 0x00, 0x00, 0x00,                         // mtd0 0
    0x10, 0x27, 0x00, 0x00,                         // mtd1 10000
    0xFF, 0xFF, 0xFF, 0xFF,                         // mtd2 -1
    0x00, 0x00, 0x00, 0x00,                         // mtd3 0
};

upgrade_header decode(const Bytes &b)
{
    upgrade_header h{};
    EXPECT_EQ(upgrade_header_decode(b.data(), b.size(), &h), 0);
    return h;
}

std::string ident(const Bytes &b)
{
    const char *m = upgrade_header_check_ident(decode(b));
    return m ? m : "ok";
}

std::string sizes(const Bytes &b)
{
    const char *m = upgrade_header_check_sizes(decode(b));
    return m ? m : "ok";
}

Bytes with(Bytes b, size_t at, std::vector<uint8_t> bytes)
{
    for (size_t i = 0; i < bytes.size(); ++i)
        b.at(at + i) = bytes[i];
    return b;
}

} // namespace

TEST(UpgradeHeader, DecodesEveryFieldLittleEndian)
{
    upgrade_header h = decode(good);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(h.name)), "DovGWIM");
    EXPECT_EQ(h.upg_ver, 3u);
    EXPECT_EQ(h.fw_ver, 0x09010207u);
    EXPECT_EQ(h.reserved, 0xEFBEADDEu);
    EXPECT_EQ(h.mtd0, 0);
    EXPECT_EQ(h.mtd1, 10000);
    EXPECT_EQ(h.mtd2, -1);
    EXPECT_EQ(h.mtd3, 0);
    EXPECT_EQ(ident(good), "ok");
    EXPECT_EQ(sizes(good), "ok");
    EXPECT_EQ(upgrade_header_data_size(h), 10000);
}

TEST(UpgradeHeader, FewerThan36BytesAreRefused)
{
    upgrade_header h{};
    for (size_t len = 0; len < 36; ++len)
        EXPECT_EQ(upgrade_header_decode(good.data(), len, &h), -1) << len;
    EXPECT_EQ(upgrade_header_decode(nullptr, 36, &h), -1);
    EXPECT_EQ(upgrade_header_decode(good.data(), 36, nullptr), -1);
}

TEST(UpgradeHeader, BytesBehindTheHeaderAreIgnored)
{
    Bytes longer = good;
    longer.insert(longer.end(), 100, 0xFF);
    upgrade_header h = decode(longer);
    EXPECT_EQ(h.mtd3, 0);
    EXPECT_EQ(ident(longer), "ok");
}

TEST(UpgradeHeader, EveryByteOfTheNameIsCompared)
{
    for (size_t i = 0; i < 8; ++i) {
        Bytes b = good;
        b[i] ^= 0x20;
        EXPECT_EQ(ident(b), "invalid hdr.name") << i;
    }
    // The terminating zero counts: "DovGWIMX" is not the name.
    EXPECT_EQ(ident(with(good, 7, {'X'})), "invalid hdr.name");
    EXPECT_EQ(ident(with(good, 0, {'d'})), "invalid hdr.name");
}

TEST(UpgradeHeader, OnlyUpgradeVersion3Passes)
{
    EXPECT_EQ(ident(with(good, 8, {0x02})), "invalid hdr.upg_ver");
    EXPECT_EQ(ident(with(good, 8, {0x04})), "invalid hdr.upg_ver");
    EXPECT_EQ(ident(with(good, 8, {0x00})), "invalid hdr.upg_ver");
    // 3 in a higher byte is another number.
    EXPECT_EQ(ident(with(good, 8, {0x00, 0x03})), "invalid hdr.upg_ver");
    EXPECT_EQ(ident(with(good, 8, {0x03, 0x00, 0x00, 0x01})), "invalid hdr.upg_ver");
}

TEST(UpgradeHeader, NameIsCheckedBeforeTheVersions)
{
    Bytes b = with(good, 0, {'x'});
    b = with(b, 8, {0x02});
    b = with(b, 14, {0x00});
    EXPECT_EQ(ident(b), "invalid hdr.name");
    EXPECT_EQ(ident(with(with(good, 8, {0x02}), 14, {0x00})), "invalid hdr.upg_ver");
}

TEST(UpgradeHeader, FirmwareVersionNeedsOneInItsThirdByteOnly)
{
    EXPECT_EQ(ident(with(good, 14, {0x00})), "invalid hdr.fw_ver");
    EXPECT_EQ(ident(with(good, 14, {0x02})), "invalid hdr.fw_ver");
    EXPECT_EQ(ident(with(good, 12, {0x01, 0x01, 0x00, 0x01})), "invalid hdr.fw_ver");
    EXPECT_EQ(ident(with(good, 12, {0x00, 0x00, 0x01, 0x00})), "ok");
    EXPECT_EQ(ident(with(good, 12, {0xFF, 0xFF, 0x01, 0xFF})), "ok");
    EXPECT_EQ(ident(with(good, 12, {0x12, 0x34, 0x01, 0x56})), "ok");
}

TEST(UpgradeHeader, TheUnexaminedWordMayHoldAnything)
{
    EXPECT_EQ(ident(with(good, 16, {0xFF, 0xFF, 0xFF, 0xFF})), "ok");
    EXPECT_EQ(ident(with(good, 16, {0x00, 0x00, 0x00, 0x00})), "ok");
}

TEST(UpgradeHeader, EachSizeAboveTheLimitIsRefused)
{
    // 32000001 = 0x01E84801, 32000000 = 0x01E84800
    for (size_t field = 0; field < 4; ++field) {
        const size_t at = 20 + 4 * field;
        EXPECT_EQ(sizes(with(good, at, {0x01, 0x48, 0xE8, 0x01})), "invalid hdr.mtd*") << field;
        EXPECT_EQ(sizes(with(good, at, {0x00, 0x48, 0xE8, 0x01})), "ok") << field;
        EXPECT_EQ(sizes(with(good, at, {0xFF, 0xFF, 0xFF, 0x7F})), "invalid hdr.mtd*") << field;
    }
    upgrade_header h = decode(with(good, 32, {0x00, 0x48, 0xE8, 0x01}));
    EXPECT_EQ(h.mtd3, 32000000);
}

TEST(UpgradeHeader, NegativeSizesPassAndAddNoData)
{
    Bytes b = with(good, 20, {0xFF, 0xFF, 0xFF, 0xFF}); // mtd0 -1
    b = with(b, 24, {0x00, 0x00, 0x00, 0x80});          // mtd1 INT_MIN
    b = with(b, 28, {0x18, 0xFC, 0xFF, 0xFF});          // mtd2 -1000
    b = with(b, 32, {0x00, 0x48, 0xE8, 0x01});          // mtd3 32000000
    upgrade_header h = decode(b);
    EXPECT_EQ(h.mtd0, -1);
    EXPECT_EQ(h.mtd1, INT_MIN);
    EXPECT_EQ(h.mtd2, -1000);
    EXPECT_EQ(sizes(b), "ok");
    EXPECT_EQ(upgrade_header_data_size(h), 32000000);
}

TEST(UpgradeHeader, AllNegativeOrZeroSizesMeanNoData)
{
    Bytes b = with(good, 20, {0x00, 0x00, 0x00, 0x80});
    b = with(b, 24, {0x00, 0x00, 0x00, 0x80});
    b = with(b, 28, {0x00, 0x00, 0x00, 0x80});
    b = with(b, 32, {0x00, 0x00, 0x00, 0x80});
    EXPECT_EQ(upgrade_header_data_size(decode(b)), 0);
    Bytes zeros = with(good, 20, Bytes(16, 0));
    EXPECT_EQ(upgrade_header_data_size(decode(zeros)), 0);
    EXPECT_EQ(sizes(zeros), "ok");
}

TEST(UpgradeHeader, LargestSizesAddUpWithoutWrapping)
{
    Bytes b = good;
    for (size_t field = 0; field < 4; ++field)
        b = with(b, 20 + 4 * field, {0x00, 0x48, 0xE8, 0x01});
    EXPECT_EQ(upgrade_header_data_size(decode(b)), 128000000);
}

TEST(UpgradeHeader, OddAddressesAndHighBytesInEveryField)
{
    const Bytes high = {
        0xC4, 0xEF, 0xF6, 0xC7, 0xD7, 0xC9, 0xCD, 0x80, // name
        0x83, 0x80, 0x90, 0xA0,                         // upg_ver
        0xFE, 0xFD, 0x01, 0xFC,                         // fw_ver, byte 14 = 1
        0x81, 0x82, 0x83, 0x84,                         // not examined
        0x80, 0x81, 0x82, 0x83,                         // mtd0
        0xFF, 0xFE, 0xFD, 0xFC,                         // mtd1
        0x00, 0x00, 0x00, 0x80,                         // mtd2 INT_MIN
        0x90, 0xA0, 0xB0, 0xC0,                         // mtd3
    };
    for (size_t off : odd_offsets()) {
        OddBuffer buf(high, off);
        upgrade_header h{};
        ASSERT_EQ(upgrade_header_decode(buf.data(), buf.size(), &h), 0) << off;
        EXPECT_EQ(std::memcmp(h.name, high.data(), 8), 0) << off;
        EXPECT_EQ(h.upg_ver, 0xA0908083u) << off;
        EXPECT_EQ(h.fw_ver, 0xFC01FDFEu) << off;
        EXPECT_EQ(h.reserved, 0x84838281u) << off;
        EXPECT_EQ(h.mtd0, static_cast<int32_t>(0x83828180u - 0x100000000ll)) << off;
        EXPECT_EQ(h.mtd1, static_cast<int32_t>(0xFCFDFEFFu - 0x100000000ll)) << off;
        EXPECT_EQ(h.mtd2, INT_MIN) << off;
        EXPECT_EQ(h.mtd3, static_cast<int32_t>(0xC0B0A090u - 0x100000000ll)) << off;
        EXPECT_STREQ(upgrade_header_check_ident(h), "invalid hdr.name") << off;
        EXPECT_EQ(upgrade_header_check_sizes(h), nullptr) << off;
        EXPECT_EQ(upgrade_header_data_size(h), 0) << off;

        OddBuffer ok(good, off);
        ASSERT_EQ(upgrade_header_decode(ok.data(), ok.size(), &h), 0) << off;
        EXPECT_EQ(upgrade_header_check_ident(h), nullptr) << off;
        EXPECT_EQ(h.mtd1, 10000) << off;
    }
}

TEST(UpgradeHeader, GarbageIsRefusedByName)
{
    Bytes garbage(36);
    for (size_t i = 0; i < garbage.size(); ++i)
        garbage[i] = static_cast<uint8_t>(i * 37 + 11);
    EXPECT_EQ(ident(garbage), "invalid hdr.name");
    EXPECT_EQ(ident(Bytes(36, 0)), "invalid hdr.name");
    EXPECT_EQ(ident(Bytes(36, 0xFF)), "invalid hdr.name");
}
