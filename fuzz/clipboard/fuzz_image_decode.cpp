// Image files from either side: decoded, and re-encoded the way the clipboard does (a decoded
// bitmap must always encode: as PNG, and as JPEG unless a side is longer than JPEG can describe).
#include "platform/pasteboard/convert/ImageCodec.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // A few header bytes can ask for a bitmap of hundreds of megabytes; refusing large ones from
    // the header keeps every input cheap while the same code decides.
    auto bitmap = vl::ImageCodec::decode(vl::ByteView(data, size), 512 * 512);
    if (!bitmap) return 0;
    const bool jpegCanHoldIt = bitmap->width <= vl::ImageCodec::jpegMaxSide &&
                               bitmap->height <= vl::ImageCodec::jpegMaxSide;
    if (jpegCanHoldIt && !vl::ImageCodec::encode(*bitmap, vl::ImageFileType::jpeg, 0.85))
        __builtin_trap();
    if (!vl::ImageCodec::encode(*bitmap, vl::ImageFileType::png)) __builtin_trap();
    return 0;
}
