// platform/pasteboard: the plain text of an RTF document — the visible characters with paragraph,
// line and cell breaks, Unicode escapes and code-page bytes decoded, tables of fonts, colours and
// styles and other hidden destinations left out.
#pragma once

#include "base/Bytes.h"

#include <optional>
#include <string>

namespace vl::RtfText {

// Deeper groups than this make the document unreadable.
inline constexpr int maxGroupDepth = 256;

// UTF-8 text; none when the bytes are not an RTF document (no `{\rtf` start, unbalanced or too
// deeply nested groups).
std::optional<std::string> plainText(ByteView rtf);

}  // namespace vl::RtfText
