#include "client/viewer/BitmapFont.h"

#include <gtest/gtest.h>

namespace vl {
namespace {

bool inked(const TextBox& box, int x, int y) {
    return box.pixels[static_cast<std::size_t>(y) * box.width + x] == TextBox::ink;
}

TEST(BitmapFont, DrawsEachGlyphWithinAMarginLightOnDark) {
    const auto box = BitmapFont::draw({"10", "4"}, 1);
    // Two glyphs of 5 with a column between them and a margin of 2 on each side; two lines of 7
    // with 2 between them.
    EXPECT_EQ(box.width, 2 + 5 + 1 + 5 + 2);
    EXPECT_EQ(box.height, 2 + 7 + 2 + 7 + 2);
    const auto one = *BitmapFont::glyph('1');
    const auto zero = *BitmapFont::glyph('0');
    const auto four = *BitmapFont::glyph('4');
    int ink = 0;
    for (int y = 0; y < box.height; ++y)
        for (int x = 0; x < box.width; ++x) {
            bool expected = false;
            const int gy = y - 2;
            if (gy >= 0 && gy < 7 && x >= 2 && x < 7) expected = one[gy] & (0x10 >> (x - 2));
            if (gy >= 0 && gy < 7 && x >= 8 && x < 13) expected = zero[gy] & (0x10 >> (x - 8));
            const int gy2 = y - 11;
            if (gy2 >= 0 && gy2 < 7 && x >= 2 && x < 7) expected = four[gy2] & (0x10 >> (x - 2));
            EXPECT_EQ(inked(box, x, y), expected) << x << "," << y;
            if (!expected) {
                EXPECT_EQ(box.pixels[y * box.width + x], TextBox::background);
            }
            ink += expected;
        }
    EXPECT_GT(ink, 20);
}

TEST(BitmapFont, ScalesLowerCaseAsUpperAndUnknownAsQuestionMark) {
    EXPECT_EQ(BitmapFont::glyph('m'), BitmapFont::glyph('M'));
    EXPECT_FALSE(BitmapFont::glyph('~'));
    EXPECT_EQ(BitmapFont::draw({"~"}, 1).pixels, BitmapFont::draw({"?"}, 1).pixels);
    // Every character the status and reconnect texts use has a glyph of its own.
    for (char c : std::string("ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789 .,:/%-+=()<>?!@_'"))
        EXPECT_TRUE(BitmapFont::glyph(c)) << c;

    const auto small = BitmapFont::draw({"R"}, 1);
    const auto big = BitmapFont::draw({"R"}, 3);
    ASSERT_EQ(big.width, small.width * 3);
    ASSERT_EQ(big.height, small.height * 3);
    for (int y = 0; y < big.height; ++y)
        for (int x = 0; x < big.width; ++x)
            ASSERT_EQ(inked(big, x, y), inked(small, x / 3, y / 3)) << x << "," << y;
    EXPECT_EQ(BitmapFont::draw({}, 2).width, 0);
}

}  // namespace
}  // namespace vl
