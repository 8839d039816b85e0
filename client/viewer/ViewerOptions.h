// client/viewer: the viewer's command line. The password comes from --password, a file, or the
// environment, or else is asked for in the window; it never needs to be on the command line.
#pragma once

#include "platform/videocodec/libavcodec/HevcDecoder.h"

#include <optional>
#include <string>

namespace vl {

struct ViewerOptions {
    std::string target;  // HOST[:PORT]; empty: pick from the servers found on the network
    std::optional<std::string> password;
    std::string passwordFile;
    // "WxH[@FPS]"; nothing: the window's size, followed as the user resizes it.
    std::optional<std::string> size;
    bool hdr = false;
    std::optional<std::string> extra;
    bool fullscreen = false;
    // When the server stops or is lost: offer to reconnect in the window, or (false) exit at once.
    bool offerReconnect = true;
    // --decoder software|vaapi|auto (VA-API where a render node opens, else software).
    HevcDecoderOptions::Device decoder = HevcDecoderOptions::Device::automatic;
    // --decode-threads N: software slice threads; 0: half the cores (one to four).
    int decodeThreads = 0;
    // Prints every presentation (time, picture, centre colour) for the latency benchmark.
    bool reportPresent = false;
    double seconds = 0;  // > 0: ends the session after that long (tests and benchmarks)
};

// Nothing (and why) on a word it does not know or a missing value.
std::optional<ViewerOptions> parseViewerOptions(int argc, const char* const* argv,
                                                std::string* error);

// The password from the option, else the file's first line, else the environment variable's
// value; nothing when none gives one (or the file cannot be read, with why).
std::optional<std::string> resolvePassword(const ViewerOptions& options, const char* environment,
                                           std::string* error);

}  // namespace vl
