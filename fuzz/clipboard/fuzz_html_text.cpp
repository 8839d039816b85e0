#include "platform/pasteboard/convert/HtmlText.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    (void)vl::HtmlText::plainText(vl::ByteView(data, size));
    return 0;
}
