// base: standard Base64 (RFC 4648 alphabet, padded), with strict decoding.
#pragma once

#include "base/Bytes.h"

#include <optional>
#include <string>
#include <string_view>

namespace vl {

std::string base64Encode(ByteView bytes);
inline std::string base64Encode(std::string_view text) {
    return base64Encode(ByteView(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

// Nothing unless the text is canonical padded Base64: length a multiple of four, only the
// standard alphabet, '=' only as trailing padding, and unused trailing bits zero.
std::optional<Bytes> base64Decode(std::string_view text);
inline std::optional<Bytes> base64Decode(ByteView bytes) {
    return base64Decode(
        std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

}  // namespace vl
