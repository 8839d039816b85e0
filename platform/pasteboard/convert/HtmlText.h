// platform/pasteboard: the plain text of an HTML fragment or document, as a reader sees it — block
// elements and <br> end lines, table cells are separated by tabs, white space collapses outside
// <pre>, scripts, styles and the head are left out. The parser recovers from broken markup and
// never touches the network.
#pragma once

#include "base/Bytes.h"

#include <optional>
#include <string>

namespace vl::HtmlText {

// UTF-8 text (HTML without a charset is read as UTF-8, the clipboard's convention); none when the
// parser yields no document at all.
std::optional<std::string> plainText(ByteView html);

}  // namespace vl::HtmlText
