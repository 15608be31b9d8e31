#include "gateway/config_record.h"
#include "tests/gateway/factory_image.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace cf = config_format;

namespace
{

const char default_text[] = "ver:2\n"
                            "ip:172.16.0.188\n"
                            "gw:172.16.0.1\n"
                            "dns:0.0.0.0\n"
                            "remote_ip:172.16.0.189\n"
                            "remote_port:5555\n"
                            "remote_user:user\n"
                            "remote_passwd:qzv\n"
                            "buffers:4\n"
                            "passwd:qzv\n"
                            "radio_type:1\n"
                            "crypto_mode:0\n"
                            "\n";

std::vector<uint8_t> encoded(const cf::config_record &rec)
{
    std::vector<uint8_t> out(cf::record_size);
    cf::encode(rec, out.data());
    return out;
}

// A record image of an older version: the first 132 bytes of `image` with
// the given version byte.
std::vector<uint8_t> old_version(std::vector<uint8_t> image, char ver)
{
    image.resize(cf::record_size_old);
    image[0] = static_cast<uint8_t>(ver);
    return image;
}

int count_lines(const std::string &s)
{
    int n = 0;
    for (char c : s)
        n += c == '\n';
    return n;
}

} // namespace

TEST(ConfigRecordLayout, DefaultRecordEncodesToTheFactoryBytes)
{
    ASSERT_EQ(factory_image.size(), cf::record_size);
    EXPECT_EQ(encoded(cf::default_record()), factory_image);
}

TEST(ConfigRecordLayout, DecodeReadsEveryFieldAtItsOffset)
{
    cf::config_record rec = cf::decode(factory_image.data());
    EXPECT_EQ(rec.ver, '2');
    EXPECT_EQ(rec.ip, inet_addr("172.16.0.188"));
    EXPECT_EQ(rec.gw, inet_addr("172.16.0.1"));
    EXPECT_EQ(rec.dns, 0u);
    EXPECT_EQ(rec.remote_ip, inet_addr("172.16.0.189"));
    EXPECT_EQ(rec.remote_port, 5555);
    EXPECT_EQ(rec.remote_user, "user");
    EXPECT_EQ(rec.remote_passwd, "qzv");
    EXPECT_EQ(rec.buffers, 4);
    EXPECT_EQ(rec.passwd, "qzv");
    EXPECT_EQ(rec.radio_type, 1);
    EXPECT_EQ(rec.crypto_mode, 0);
    EXPECT_EQ(rec.mask, 0u);
}

TEST(ConfigRecordLayout, SignedFieldsAndMaskRoundTrip)
{
    cf::config_record rec = cf::default_record();
    rec.remote_port = -2;
    rec.crypto_mode = 0x01020304;
    rec.radio_type = 6;
    rec.mask = inet_addr("255.255.255.0");
    std::vector<uint8_t> img = encoded(rec);
    EXPECT_EQ(std::vector<uint8_t>(img.begin() + 20, img.begin() + 24),
              (std::vector<uint8_t>{0xFE, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(std::vector<uint8_t>(img.begin() + 128, img.begin() + 136),
              (std::vector<uint8_t>{0x04, 0x03, 0x02, 0x01, 0xFF, 0xFF, 0xFF, 0x00}));
    cf::config_record back = cf::decode(img.data());
    EXPECT_EQ(back.remote_port, -2);
    EXPECT_EQ(back.crypto_mode, 0x01020304);
    EXPECT_EQ(back.mask, inet_addr("255.255.255.0"));
}

TEST(ConfigRecordStrings, FieldWithoutNulIsReadOnlyToItsEnd)
{
    std::vector<uint8_t> img = factory_image;
    std::memset(img.data() + cf::off_remote_user, 'a', 32);
    std::memset(img.data() + cf::off_remote_passwd, 'b', 32);
    cf::config_record rec = cf::decode(img.data());
    EXPECT_EQ(rec.remote_user, std::string(32, 'a'));
    EXPECT_EQ(rec.remote_passwd, std::string(32, 'b'));
}

TEST(ConfigRecordStrings, OverlongStringIsCutToTheField)
{
    cf::config_record rec = cf::default_record();
    rec.remote_user = std::string(40, 'x');
    std::vector<uint8_t> img = encoded(rec);
    EXPECT_EQ(img[cf::off_remote_user + 31], 'x');
    EXPECT_EQ(img[cf::off_remote_passwd], 'q');
    EXPECT_EQ(cf::decode(img.data()).remote_user, std::string(32, 'x'));
}

TEST(ConfigRecordVersions, CurrentVersionIsTakenAsIs)
{
    uint8_t out[cf::record_size];
    ASSERT_EQ(cf::upgrade(factory_image.data(), factory_image.size(), out), 0);
    EXPECT_EQ(std::vector<uint8_t>(out, out + cf::record_size), factory_image);
}

TEST(ConfigRecordVersions, FullSizeRecordMustCarryVersionTwo)
{
    for (char ver : {'0', '1', '3', 'x', '\0'}) {
        std::vector<uint8_t> img = factory_image;
        img[0] = static_cast<uint8_t>(ver);
        uint8_t out[cf::record_size];
        std::memset(out, 0xEE, sizeof out);
        EXPECT_EQ(cf::upgrade(img.data(), img.size(), out), -1) << ver;
        EXPECT_EQ(out[0], 0xEE) << "refused input must leave the record untouched";
    }
}

TEST(ConfigRecordVersions, VersionOneKeepsAllFieldsAndGetsMaskZero)
{
    cf::config_record rec = cf::default_record();
    rec.radio_type = 3;
    rec.crypto_mode = 2;
    std::vector<uint8_t> img = old_version(encoded(rec), '1');
    uint8_t out[cf::record_size];
    std::memset(out, 0xEE, sizeof out);
    ASSERT_EQ(cf::upgrade(img.data(), img.size(), out), 0);
    cf::config_record got = cf::decode(out);
    EXPECT_EQ(got.ver, '2');
    EXPECT_EQ(got.radio_type, 3);
    EXPECT_EQ(got.crypto_mode, 2);
    EXPECT_EQ(got.mask, 0u);
    EXPECT_EQ(got.remote_user, "user");
}

TEST(ConfigRecordVersions, VersionZeroTakesGm360AndNoEncryption)
{
    cf::config_record rec = cf::default_record();
    rec.radio_type = 5;
    rec.crypto_mode = 7;
    rec.remote_port = 6000;
    std::vector<uint8_t> img = old_version(encoded(rec), '0');
    uint8_t out[cf::record_size];
    ASSERT_EQ(cf::upgrade(img.data(), img.size(), out), 0);
    cf::config_record got = cf::decode(out);
    EXPECT_EQ(got.ver, '2');
    EXPECT_EQ(got.radio_type, 1);
    EXPECT_EQ(got.crypto_mode, 0);
    EXPECT_EQ(got.mask, 0u);
    EXPECT_EQ(got.remote_port, 6000);
    EXPECT_EQ(got.passwd, "qzv");
}

TEST(ConfigRecordVersions, ShortRecordWithOtherVersionIsRefused)
{
    for (char ver : {'2', '3', 'A'}) {
        std::vector<uint8_t> img = old_version(factory_image, ver);
        uint8_t out[cf::record_size];
        EXPECT_EQ(cf::upgrade(img.data(), img.size(), out), -1) << ver;
    }
}

TEST(ConfigRecordVersions, EveryOtherLengthIsRefused)
{
    std::vector<uint8_t> big(200, '2');
    uint8_t out[cf::record_size];
    for (size_t len : {size_t(0), size_t(1), size_t(4), size_t(131), size_t(133), size_t(134), size_t(135),
                       size_t(137), size_t(200)}) {
        EXPECT_EQ(cf::upgrade(big.data(), len, out), -1) << len;
    }
}

TEST(ConfigRecordVersions, ZeroBuffersBecomeFour)
{
    cf::config_record rec = cf::default_record();
    rec.buffers = 0;
    uint8_t out[cf::record_size];
    std::vector<uint8_t> img = encoded(rec);
    ASSERT_EQ(cf::upgrade(img.data(), img.size(), out), 0);
    EXPECT_EQ(cf::decode(out).buffers, 4);
    img = old_version(img, '1');
    ASSERT_EQ(cf::upgrade(img.data(), img.size(), out), 0);
    EXPECT_EQ(cf::decode(out).buffers, 4);

    rec.buffers = 9;
    img = encoded(rec);
    ASSERT_EQ(cf::upgrade(img.data(), img.size(), out), 0);
    EXPECT_EQ(cf::decode(out).buffers, 9);
}

TEST(ConfigPrint, DefaultRecordPrintsTwelveLinesAndAnEmptyOne)
{
    std::string text = cf::format(factory_image.data());
    EXPECT_EQ(text, default_text);
    EXPECT_EQ(count_lines(text), 13);
}

TEST(ConfigPrint, NonZeroMaskAddsItsLine)
{
    cf::config_record rec = cf::default_record();
    rec.mask = inet_addr("255.255.0.0");
    rec.dns = inet_addr("8.8.4.4");
    rec.remote_port = -1;
    std::vector<uint8_t> img = encoded(rec);
    std::string text = cf::format(img.data());
    EXPECT_EQ(count_lines(text), 14);
    EXPECT_NE(text.find("dns:8.8.4.4\n"), std::string::npos);
    EXPECT_NE(text.find("remote_port:-1\n"), std::string::npos);
    const std::string tail = "crypto_mode:0\nmask:255.255.0.0\n\n";
    EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
}

TEST(ConfigPrint, UnterminatedStringsPrintOnlyTheirField)
{
    std::vector<uint8_t> img = factory_image;
    std::memset(img.data() + cf::off_passwd, 'p', 32);
    std::string text = cf::format(img.data());
    EXPECT_NE(text.find("\npasswd:" + std::string(32, 'p') + "\nradio_type:1\n"), std::string::npos);
}

TEST(ConfigPrint, DottedAddressesKeepFileOrder)
{
    EXPECT_EQ(cf::dotted(inet_addr("1.2.3.4")), "1.2.3.4");
    EXPECT_EQ(cf::dotted(0xFFFFFFFFu), "255.255.255.255");
    EXPECT_EQ(cf::dotted(0), "0.0.0.0");
}

TEST(BlockedListFormat, NameIsTakenUpToItsNul)
{
    uint8_t item[cf::blocked_item_size] = {1, 2, 3, 4, 'b', 'o', 'b', 0, 'x', 'y'};
    EXPECT_EQ(cf::blocked_item_name(item), "bob");
}

TEST(BlockedListFormat, NameWithoutNulStopsAtTheItemEnd)
{
    // Two items back to back: the first name must not run into the second item.
    uint8_t items[2 * cf::blocked_item_size];
    std::memset(items, 'n', sizeof items);
    EXPECT_EQ(cf::blocked_item_name(items), std::string(32, 'n'));
}

TEST(BlockedListFormat, EmptyNameIsAnEntry)
{
    uint8_t item[cf::blocked_item_size] = {9, 9, 9, 9};
    EXPECT_EQ(cf::blocked_item_name(item), "");
}

TEST(BlockedListFormat, OnlyOneToOneHundredTwentyEightWholeItemsAreValid)
{
    EXPECT_FALSE(cf::blocked_size_valid(0));
    EXPECT_TRUE(cf::blocked_size_valid(36));
    EXPECT_FALSE(cf::blocked_size_valid(40));
    EXPECT_FALSE(cf::blocked_size_valid(35));
    EXPECT_TRUE(cf::blocked_size_valid(4608));
    EXPECT_FALSE(cf::blocked_size_valid(4644));
    EXPECT_FALSE(cf::blocked_size_valid(4610));
    EXPECT_FALSE(cf::blocked_size_valid(36ull << 32));
}
