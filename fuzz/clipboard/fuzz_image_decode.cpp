// Image files from either side: decoded, and re-encoded the way the clipboard does (a decoded
// bitmap must always encode).
#include "platform/pasteboard/convert/ImageCodec.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto bitmap = vl::ImageCodec::decode(vl::ByteView(data, size));
    if (!bitmap) return 0;
    if (bitmap->width * bitmap->height > 512 * 512) return 0;  // keep runs fast
    if (!vl::ImageCodec::encode(*bitmap, vl::ImageFileType::jpeg, 0.85)) __builtin_trap();
    if (!vl::ImageCodec::encode(*bitmap, vl::ImageFileType::png)) __builtin_trap();
    return 0;
}
