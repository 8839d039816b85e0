// Image files from either side: decoded, and re-encoded the way the clipboard does (a decoded
// bitmap must always encode).
#include "platform/pasteboard/convert/ImageCodec.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // A few header bytes can ask for a bitmap of hundreds of megabytes; refusing large ones from
    // the header keeps every input cheap while the same code decides.
    auto bitmap = vl::ImageCodec::decode(vl::ByteView(data, size), 512 * 512);
    if (!bitmap) return 0;
    if (!vl::ImageCodec::encode(*bitmap, vl::ImageFileType::jpeg, 0.85)) __builtin_trap();
    if (!vl::ImageCodec::encode(*bitmap, vl::ImageFileType::png)) __builtin_trap();
    return 0;
}
