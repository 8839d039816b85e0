#include "platform/pasteboard/convert/ImageCodec.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

namespace vl {
namespace {

// Four quadrants of distinct colours, one half-transparent, so a wrong channel order, a flipped
// image or a dropped alpha all show.
Bitmap quadrants(int width, int height) {
    Bitmap bitmap{width, height, Bytes(static_cast<std::size_t>(width) * height * 4)};
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            auto* p = &bitmap.rgba[(static_cast<std::size_t>(y) * width + x) * 4];
            const bool right = x >= width / 2, bottom = y >= height / 2;
            p[0] = right ? 230 : 20;
            p[1] = bottom ? 200 : 40;
            p[2] = right && bottom ? 10 : 180;
            p[3] = !right && bottom ? 128 : 255;
        }
    return bitmap;
}

const std::uint8_t* pixel(const Bitmap& bitmap, int x, int y) {
    return &bitmap.rgba[(static_cast<std::size_t>(y) * bitmap.width + x) * 4];
}

TEST(ImageCodecTest, PngAndTiffRoundTripKeepingColoursAndAlpha) {
    const Bitmap original = quadrants(33, 17);
    for (auto type : {ImageFileType::png, ImageFileType::tiff}) {
        auto file = ImageCodec::encode(original, type);
        ASSERT_TRUE(file) << description(type);
        EXPECT_EQ(ImageCodec::sniff(*file), type);
        auto decoded = ImageCodec::decode(*file);
        ASSERT_TRUE(decoded) << description(type);
        ASSERT_EQ(decoded->width, original.width);
        ASSERT_EQ(decoded->height, original.height);
        // PNG is exact; TIFF goes through premultiplied alpha, so half-transparent pixels may
        // move by a step.
        const int tolerance = type == ImageFileType::png ? 0 : 2;
        int worst = 0;
        for (std::size_t i = 0; i < original.rgba.size(); ++i)
            worst = std::max(worst, std::abs(decoded->rgba[i] - original.rgba[i]));
        EXPECT_LE(worst, tolerance) << description(type);
        EXPECT_EQ(pixel(*decoded, 0, 16)[3], 128) << description(type);
    }
}

TEST(ImageCodecTest, JpegKeepsSizeAndColoursWithinToleranceAndLaysAlphaOnWhite) {
    const Bitmap original = quadrants(64, 48);
    auto file = ImageCodec::encode(original, ImageFileType::jpeg, 0.85);
    ASSERT_TRUE(file);
    EXPECT_EQ(ImageCodec::sniff(*file), ImageFileType::jpeg);
    auto decoded = ImageCodec::decode(*file);
    ASSERT_TRUE(decoded);
    ASSERT_EQ(decoded->width, 64);
    ASSERT_EQ(decoded->height, 48);
    auto near = [](const std::uint8_t* got, int r, int g, int b) {
        return std::abs(got[0] - r) <= 12 && std::abs(got[1] - g) <= 12 &&
               std::abs(got[2] - b) <= 12 && got[3] == 255;
    };
    EXPECT_TRUE(near(pixel(*decoded, 8, 8), 20, 40, 180));
    EXPECT_TRUE(near(pixel(*decoded, 56, 8), 230, 40, 180));
    EXPECT_TRUE(near(pixel(*decoded, 56, 40), 230, 200, 10));
    // 50% of (20, 200, 180) over white.
    EXPECT_TRUE(near(pixel(*decoded, 8, 40), 137, 227, 217));
    // Lower quality, smaller file.
    auto rough = ImageCodec::encode(original, ImageFileType::jpeg, 0.2);
    ASSERT_TRUE(rough);
    EXPECT_LT(rough->size(), file->size());
}

TEST(ImageCodecTest, BrokenFilesAndBadBitmapsGiveNothing) {
    const Bitmap original = quadrants(32, 32);
    for (auto type : {ImageFileType::png, ImageFileType::jpeg, ImageFileType::tiff}) {
        Bytes file = ImageCodec::encode(original, type).value();
        Bytes truncated(file.begin(), file.begin() + static_cast<long>(file.size() / 2));
        EXPECT_FALSE(ImageCodec::decode(truncated)) << description(type);
        Bytes headerOnly(file.begin(), file.begin() + 8);
        EXPECT_FALSE(ImageCodec::decode(headerOnly)) << description(type);
    }
    EXPECT_FALSE(ImageCodec::decode(bytesOf("plain text, no image")));
    EXPECT_FALSE(ImageCodec::decode(Bytes{}));
    EXPECT_FALSE(ImageCodec::encode(Bitmap{0, 0, {}}, ImageFileType::png));
    EXPECT_FALSE(ImageCodec::encode(Bitmap{4, 4, Bytes(10)}, ImageFileType::jpeg));
}

TEST(ImageCodecTest, HugeDeclaredSizeIsRefusedBeforeDecoding) {
    // A PNG header claiming 100000 x 100000 pixels, with no data behind it.
    Bytes png = ImageCodec::encode(quadrants(2, 2), ImageFileType::png).value();
    const std::uint32_t huge = 100000;
    for (int i = 0; i < 4; ++i) {
        png[16 + i] = static_cast<std::uint8_t>(huge >> (24 - 8 * i));
        png[20 + i] = static_cast<std::uint8_t>(huge >> (24 - 8 * i));
    }
    EXPECT_FALSE(ImageCodec::decode(png));
}

}  // namespace
TEST(ImageCodecTest, ABitmapTooLongForJpegEncodesAsPngOnly) {
    // One pixel wide and longer than JPEG's largest side, yet small in pixels.
    const Bitmap strip = quadrants(1, ImageCodec::jpegMaxSide + 1);
    EXPECT_FALSE(ImageCodec::encode(strip, ImageFileType::jpeg));
    auto png = ImageCodec::encode(strip, ImageFileType::png);
    ASSERT_TRUE(png);
    EXPECT_EQ(ImageCodec::decode(*png), strip);
    EXPECT_TRUE(ImageCodec::encode(quadrants(2, ImageCodec::jpegMaxSide), ImageFileType::jpeg));
}

TEST(ImageCodecTest, APixelLimitRefusesLargerImagesOfEveryTypeAndKeepsTheRest) {
    const Bitmap original = quadrants(32, 16);  // 512 pixels
    for (auto type : {ImageFileType::png, ImageFileType::jpeg, ImageFileType::tiff}) {
        Bytes file = ImageCodec::encode(original, type).value();
        EXPECT_FALSE(ImageCodec::decode(file, 511)) << description(type);
        auto decoded = ImageCodec::decode(file, 512);
        ASSERT_TRUE(decoded) << description(type);
        EXPECT_EQ(decoded->width, 32);
        EXPECT_EQ(decoded->height, 16);
        // A limit above the codec's own never lets more through than the codec's own.
        EXPECT_TRUE(ImageCodec::decode(file, ImageCodec::maxPixels * 2)) << description(type);
    }
}

}  // namespace vl
