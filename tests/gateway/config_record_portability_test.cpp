// The configuration record as the board's processor reads it: images at odd
// addresses, addresses and numbers with their top bits set, and strings of bytes
// 0x80 and above (plain `char` is unsigned on ARM and signed on x86-64).
#include "gateway/config_record.h"
#include "tests/odd_buffer.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace cf = config_format;
using B = std::vector<uint8_t>;

namespace
{

B high_string(size_t n, uint8_t first)
{
    B s(n);
    for (size_t i = 0; i < n; ++i)
        s[i] = static_cast<uint8_t>(first + i) | 0x80;
    return s;
}

void put_field(B &image, size_t off, const B &bytes)
{
    std::copy(bytes.begin(), bytes.end(), image.begin() + static_cast<std::ptrdiff_t>(off));
}

// A version '2' record with high bytes everywhere they can be.
B high_image()
{
    B image(cf::record_size, 0);
    image[cf::off_ver] = '2';
    put_field(image, cf::off_ip, {0xC0, 0xA8, 0xC8, 0xFF});
    put_field(image, cf::off_gw, {0x80, 0x00, 0x00, 0x81});
    put_field(image, cf::off_dns, {0xFF, 0xFF, 0xFF, 0xFF});
    put_field(image, cf::off_remote_ip, {0xAC, 0x10, 0x80, 0xBD});
    put_field(image, cf::off_remote_port, {0xFF, 0xFF, 0xFF, 0xFF});
    put_field(image, cf::off_remote_user, high_string(32, 0)); // fills the field
    put_field(image, cf::off_remote_passwd, {0xC3, 0xA9, 0x80, 0xFF});
    put_field(image, cf::off_buffers, {0x00, 0x00, 0x00, 0x80});
    put_field(image, cf::off_passwd, {0xE2, 0x82, 0xAC});
    put_field(image, cf::off_radio_type, {0x86, 0x00, 0x00, 0x00});
    put_field(image, cf::off_crypto_mode, {0x02, 0x00, 0x00, 0x00});
    put_field(image, cf::off_mask, {0xFF, 0xFF, 0x80, 0x00});
    return image;
}

} // namespace

TEST(ConfigRecordOddAddress, DecodesHighBytesInEveryField)
{
    const B image = high_image();
    const B user = high_string(32, 0);
    for (size_t off : odd_offsets()) {
        OddBuffer in(image, off);
        cf::config_record r = cf::decode(in.data());
        EXPECT_EQ(r.ver, '2') << off;
        EXPECT_EQ(cf::dotted(r.ip), "192.168.200.255");
        EXPECT_EQ(r.ip, inet_addr("192.168.200.255"));
        EXPECT_EQ(cf::dotted(r.gw), "128.0.0.129");
        EXPECT_EQ(cf::dotted(r.dns), "255.255.255.255");
        EXPECT_EQ(cf::dotted(r.remote_ip), "172.16.128.189");
        EXPECT_EQ(r.remote_port, -1);
        EXPECT_EQ(r.remote_user, std::string(user.begin(), user.end()));
        EXPECT_EQ(r.remote_passwd, "\xC3\xA9\x80\xFF");
        EXPECT_EQ(r.buffers, INT32_MIN);
        EXPECT_EQ(r.passwd, "\xE2\x82\xAC");
        EXPECT_EQ(r.radio_type, 0x86);
        EXPECT_EQ(r.crypto_mode, 2);
        EXPECT_EQ(cf::dotted(r.mask), "255.255.128.0");
    }
}

TEST(ConfigRecordOddAddress, EncodeWritesHighBytesIntoAnOddBuffer)
{
    const B image = high_image();
    cf::config_record r = cf::decode(image.data());
    OddBuffer out(B(cf::record_size, 0x55), 3);
    cf::encode(r, out.data());
    EXPECT_EQ(B(out.data(), out.data() + cf::record_size), image);
}

TEST(ConfigRecordOddAddress, UpgradeReadsOldVersionsAtOddAddresses)
{
    B old = high_image();
    old.resize(cf::record_size_old);
    old[cf::off_ver] = '1';
    put_field(old, cf::off_buffers, {0, 0, 0, 0});
    for (size_t off : odd_offsets()) {
        OddBuffer in(old, off);
        OddBuffer out(B(cf::record_size, 0), off + 2);
        ASSERT_EQ(cf::upgrade(in.data(), in.size(), out.data()), 0) << off;
        cf::config_record r = cf::decode(out.data());
        EXPECT_EQ(r.ver, '2');
        EXPECT_EQ(r.buffers, 4);
        EXPECT_EQ(r.mask, 0u);
        EXPECT_EQ(r.radio_type, 0x86);
        EXPECT_EQ(r.remote_passwd, "\xC3\xA9\x80\xFF");
    }
}

TEST(ConfigRecordOddAddress, VersionBytesWithTheTopBitAreRefused)
{
    // '2' | 0x80 and the like must not pass for a version on either sign of char.
    for (uint8_t ver : {0xB2, 0xB1, 0xB0, 0x82, 0xFF, 0x80}) {
        B image = high_image();
        image[cf::off_ver] = ver;
        OddBuffer in(image, 1);
        uint8_t out[cf::record_size] = {};
        EXPECT_EQ(cf::upgrade(in.data(), in.size(), out), -1) << int(ver);
        OddBuffer old(B(image.begin(), image.begin() + cf::record_size_old), 1);
        EXPECT_EQ(cf::upgrade(old.data(), old.size(), out), -1) << int(ver);
    }
}

TEST(ConfigRecordOddAddress, PrintedTextKeepsHighBytesAndSigns)
{
    const B image = high_image();
    OddBuffer in(image, 1);
    const std::string text = cf::format(in.data());
    const B user = high_string(32, 0);
    EXPECT_NE(text.find("remote_port:-1\n"), std::string::npos);
    EXPECT_NE(text.find("remote_user:" + std::string(user.begin(), user.end()) + "\n"), std::string::npos);
    EXPECT_NE(text.find("remote_passwd:\xC3\xA9\x80\xFF\n"), std::string::npos);
    EXPECT_NE(text.find("buffers:-2147483648\n"), std::string::npos);
    EXPECT_NE(text.find("radio_type:134\n"), std::string::npos);
    EXPECT_NE(text.find("mask:255.255.128.0\n"), std::string::npos);
}

TEST(ConfigRecordOddAddress, BlockedItemNamesWithHighBytes)
{
    B item(cf::blocked_item_size, 0);
    put_field(item, 0, {0xFF, 0x80, 0x7F, 0x00});
    const B full = high_string(32, 0x20);
    put_field(item, cf::blocked_name_offset, full);
    for (size_t off : odd_offsets()) {
        OddBuffer in(item, off);
        EXPECT_EQ(cf::blocked_item_name(in.data()), std::string(full.begin(), full.end())) << off;
    }
    B shorter(cf::blocked_item_size, 0);
    put_field(shorter, cf::blocked_name_offset, {0xD0, 0x98, 0xD0, 0xB2});
    OddBuffer in(shorter, 3);
    EXPECT_EQ(cf::blocked_item_name(in.data()), "\xD0\x98\xD0\xB2");
}
