// PBM pictures: both forms read back what was written, and malformed files are
// refused with a reason.
#include "base/pbm.h"

#include <gtest/gtest.h>

namespace
{

pbm::Image sample()
{
    pbm::Image img;
    img.width = 10;
    img.height = 3;
    img.pixels.assign(30, 0);
    img.pixels[0] = img.pixels[9] = img.pixels[15] = img.pixels[29] = 1;
    return img;
}

TEST(Pbm, BothFormsRoundTrip)
{
    for (const std::string &text : {pbm::to_p1(sample()), pbm::to_p4(sample())}) {
        pbm::Image back;
        std::string error;
        ASSERT_TRUE(pbm::parse(text, back, error)) << error;
        EXPECT_EQ(back.width, 10);
        EXPECT_EQ(back.height, 3);
        EXPECT_EQ(back.pixels, sample().pixels);
    }
    // P4 rows are padded to whole bytes, most significant bit first.
    EXPECT_EQ(pbm::to_p4(sample()), std::string("P4\n10 3\n\x80\x40\x04\x00\x00\x40", 14));
}

TEST(Pbm, PlainFormAllowsCommentsAndPackedDigits)
{
    pbm::Image img;
    std::string error;
    ASSERT_TRUE(pbm::parse("P1\n# a comment\n3 2 # size\n101\n0 1 0\n", img, error)) << error;
    EXPECT_EQ(img.pixels, (std::vector<uint8_t>{1, 0, 1, 0, 1, 0}));
}

TEST(Pbm, MalformedPicturesAreRefused)
{
    const std::string bad[] = {
        "",        "P2\n1 1\n0\n", "P1\n0 1\n", "P1\n3 x\n", "P1\n2 2\n010\n", "P1\n1 1\n2\n", "P4\n16 2\nab",
        "P4\n8 1", "P1\n99999 1\n"};
    for (const std::string &t : bad) {
        pbm::Image img;
        std::string error;
        EXPECT_FALSE(pbm::parse(t, img, error)) << t;
        EXPECT_FALSE(error.empty()) << t;
    }
    pbm::Image img;
    std::string error;
    EXPECT_FALSE(pbm::load("/nonexistent/x.pbm", img, error));
}

} // namespace
