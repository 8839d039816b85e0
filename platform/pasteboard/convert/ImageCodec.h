// platform/pasteboard: bitmap image files in and out — PNG, JPEG and TIFF — through one small seam,
// so the clipboard never touches a codec library directly.
#pragma once

#include "base/Bytes.h"

#include <cstdint>
#include <optional>
#include <string_view>

namespace vl {

enum class ImageFileType { png, jpeg, tiff };

std::string_view description(ImageFileType type);

// Decoded pixels: 8-bit RGBA, rows top to bottom, no padding.
struct Bitmap {
    int width = 0;
    int height = 0;
    Bytes rgba;

    friend bool operator==(const Bitmap&, const Bitmap&) = default;
};

namespace ImageCodec {

// Images larger than this many pixels are refused before any pixel memory is taken.
inline constexpr std::int64_t maxPixels = 8192LL * 8192LL;

// JPEG cannot describe a longer side: such bitmaps encode as PNG or TIFF only.
inline constexpr int jpegMaxSide = 65500;

// The file type named by the bytes' signature.
std::optional<ImageFileType> sniff(ByteView file);

// Any of the three types; none for bytes that are not a complete image of one of them, or for an
// image of more than `pixelLimit` pixels (never more than maxPixels), refused from its header.
std::optional<Bitmap> decode(ByteView file, std::int64_t pixelLimit = maxPixels);

// `quality` (0...1) is used by JPEG only; JPEG has no alpha, so pixels are laid on white.
// None for a bitmap whose size and pixels disagree, or a JPEG side beyond jpegMaxSide.
std::optional<Bytes> encode(const Bitmap& bitmap, ImageFileType type, double quality = 0.85);

}  // namespace ImageCodec

}  // namespace vl
