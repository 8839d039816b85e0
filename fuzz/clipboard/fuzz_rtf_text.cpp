#include "platform/pasteboard/convert/RtfText.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto text = vl::RtfText::plainText(vl::ByteView(data, size));
    // The text never grows beyond a few bytes per input byte.
    if (text && text->size() > size * 8 + 16) __builtin_trap();
    return 0;
}
