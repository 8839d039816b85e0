// client: what the share command asks of the server — the main display's descriptor and, when
// wanted, an extra display's — built from the command line's words and checked with the same
// grammar the server reads.
#pragma once

#include <optional>
#include <string>

namespace vl {

struct ShareRequest {
    std::string descriptor;                      // rdpStart, e.g. "1920x1080@60 HDR"
    std::optional<std::string> extraDescriptor;  // displayStart

    // `size` is "WxH[@FPS]"; `extra` is "WxH[@FPS]" and takes the main display's rate and HDR
    // unless it names its own rate. Nothing (and why) when a size cannot be read.
    static std::optional<ShareRequest> make(const std::string& size, bool hdr,
                                            const std::optional<std::string>& extra,
                                            std::string* error);
};

// Where the extra display's stream is recorded: "out.hevc" → "out-extra.hevc"; a name without
// an extension gets "-extra.hevc".
std::string extraRecordPath(const std::string& recordPath);

}  // namespace vl
