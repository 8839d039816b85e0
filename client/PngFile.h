// client: a decoded picture written as a PNG file (libavcodec's PNG encoder).
#pragma once

#include "base/Bytes.h"

#include <string>

namespace vl {

// `rgb` is packed 8-bit RGB, width * height * 3 bytes. False (and why) when the picture is
// malformed or the file cannot be written; a partly written file is removed.
bool writePng(const std::string& path, int width, int height, ByteView rgb, std::string* error);

}  // namespace vl
