// The "/config/extra.cfg" record byte for byte, and every way a file can fail
// to be one: gwlinkd then runs with every extension off.
#include "gateway/extra_record.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

namespace
{

using Bytes = std::vector<uint8_t>;

// backup 10.0.0.7:5557 after 2 failures, main tried every 30 s, 45 s TOT,
// 10 s voice alarm.
const Bytes sample = {'G', 'W', 'X', 'C', 1,  0, 0, 0, 10, 0, 0, 7, 0xB5, 0x15, 0, 0,
                      2,   0,   0,   0,   30, 0, 0, 0, 45, 0, 0, 0, 10,   0,    0, 0};

extra_format::extra_record sample_record()
{
    extra_format::extra_record r;
    r.backup_ip = inet_addr("10.0.0.7");
    r.backup_port = 5557;
    r.backup_after = 2;
    r.main_retry = 30;
    r.tx_timeout = 45;
    r.voice_alarm = 10;
    return r;
}

Bytes with(size_t offset, uint32_t le)
{
    Bytes b = sample;
    for (int i = 0; i < 4; ++i)
        b[offset + i] = static_cast<uint8_t>(le >> (8 * i));
    return b;
}

} // namespace

TEST(ExtraRecord, EncodesAndDecodesByteForByte)
{
    uint8_t out[extra_format::record_size];
    extra_format::encode(sample_record(), out);
    EXPECT_EQ(Bytes(out, out + sizeof out), sample);

    extra_format::extra_record r;
    std::string why;
    ASSERT_EQ(extra_format::decode(sample.data(), sample.size(), r, why), 0) << why;
    EXPECT_EQ(r.backup_ip, inet_addr("10.0.0.7"));
    EXPECT_EQ(r.backup_port, 5557);
    EXPECT_EQ(r.backup_after, 2);
    EXPECT_EQ(r.main_retry, 30);
    EXPECT_EQ(r.tx_timeout, 45);
    EXPECT_EQ(r.voice_alarm, 10);
    EXPECT_EQ(extra_format::format(r), "backup_ip:10.0.0.7\nbackup_port:5557\nbackup_after:2\nmain_retry:30\n"
                                       "tx_timeout:45\nvoice_alarm:10\n");

    // The defaults are a valid record with everything off.
    const extra_format::extra_record d = extra_format::defaults();
    EXPECT_TRUE(extra_format::valid(d, why)) << why;
    EXPECT_EQ(d.backup_ip, 0u);
    EXPECT_EQ(d.tx_timeout, 0);
    EXPECT_EQ(d.voice_alarm, 0);
    EXPECT_EQ(d.backup_after, 3);
    EXPECT_EQ(d.main_retry, 60);
}

TEST(ExtraRecord, RefusesEverythingThatIsNotAVersionOneRecord)
{
    Bytes oversized = sample;
    oversized.push_back(0);
    Bytes bad_magic = sample;
    bad_magic[0] = 'g';
    Bytes garbage(32);
    std::mt19937 rng(7);
    for (uint8_t &b : garbage)
        b = static_cast<uint8_t>(rng());
    struct Case {
        const char *name;
        Bytes data;
        const char *why;
    };
    const Case cases[] = {
        {"empty", {}, "invalid size (0 bytes)"},
        {"truncated", Bytes(sample.begin(), sample.end() - 1), "invalid size (31 bytes)"},
        {"oversized", oversized, "invalid size (33 bytes)"},
        {"magic", bad_magic, "not a settings record"},
        {"garbage", garbage, "not a settings record"},
        {"version 2", with(extra_format::off_version, 2), "unknown version 2"},
        {"version 0", with(extra_format::off_version, 0), "unknown version 0"},
        {"port", with(extra_format::off_backup_port, 65536), "backup_port 65536 out of range (0-65535)"},
        {"negative port", with(extra_format::off_backup_port, 0xFFFFFFFF), "backup_port -1 out of range"},
        {"after 0", with(extra_format::off_backup_after, 0), "backup_after 0 out of range (1-100)"},
        {"after 101", with(extra_format::off_backup_after, 101), "backup_after 101 out of range"},
        {"retry", with(extra_format::off_main_retry, 4), "main_retry 4 out of range (5-3600)"},
        {"tot", with(extra_format::off_tx_timeout, 3601), "tx_timeout 3601 out of range (0-3600)"},
        {"alarm", with(extra_format::off_voice_alarm, 0x80000000), "voice_alarm -2147483648 out of range"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        extra_format::extra_record r = sample_record();
        r.tx_timeout = 99;
        std::string why;
        EXPECT_EQ(extra_format::decode(c.data.data(), c.data.size(), r, why), -1);
        EXPECT_NE(why.find(c.why), std::string::npos) << why;
        EXPECT_EQ(r.tx_timeout, 99) << "a refused record must leave the output alone";
    }
}
