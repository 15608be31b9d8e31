// Base64 against the published test vectors, the stop-at-first-invalid rule
// and short final groups.
#include "base/base64.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace
{

std::string encode(const std::string &s)
{
    return base64_encode(reinterpret_cast<const uint8_t *>(s.data()), s.size());
}

} // namespace

TEST(Base64, PublishedVectorsBothWays)
{
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(encode(c.first), c.second) << c.first;
        EXPECT_EQ(base64_decode(c.second), c.first) << c.second;
    }
}

TEST(Base64, EveryByteValueSurvivesARoundTrip)
{
    std::vector<uint8_t> all(256);
    for (size_t i = 0; i < all.size(); ++i)
        all[i] = static_cast<uint8_t>(255 - i);
    for (size_t n = 0; n <= all.size(); n += 37) {
        std::string text = base64_encode(all.data(), n);
        EXPECT_EQ(text.size() % 4, 0u);
        EXPECT_EQ(base64_decode(text), std::string(all.begin(), all.begin() + static_cast<long>(n)));
    }
    EXPECT_EQ(base64_encode(all.data() + 250, 6), "BQQDAgEA");
    const uint8_t high[] = {0xFB, 0xFF};
    EXPECT_EQ(base64_encode(high, 2), "+/8=");
}

TEST(Base64, DecodingStopsAtTheFirstPadOrForeignCharacter)
{
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"Zm9v!YmFy", "foo"},  // stray character in the middle: the rest is ignored
        {"Zm9vY!mFy", "foo"},  // a single character before it gives nothing
        {"Zm9vYm!Fy", "foob"}, // two give one byte
        {"Zm9vYmE!", "fooba"}, // three give two
        {"Zm=9v", "f"},        // a pad ends the text even mid-way
        {"Zm9v YmFy", "foo"},  // blanks are foreign too
        {"Zm9vYmFy\n", "foobar"}, {"Z", ""}, {"!Zm9v", ""}, {std::string("Zm\0vYmFy", 8), "f"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(base64_decode(c.first), c.second) << c.first;
}
