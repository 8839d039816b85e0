#include "client/ShareRequest.h"

#include "comm/DisplayDescriptor.h"

#include <filesystem>

namespace vl {

namespace {

// The server clamps odd rates, so say exactly what it will use.
std::optional<DisplayDescriptor> readSize(const std::string& text, std::optional<int> fps,
                                          bool hdr) {
    auto parsed = parseDisplayDescriptor(text);
    if (!parsed || parsed->width <= 0 || parsed->height <= 0) return std::nullopt;
    DisplayDescriptor descriptor;
    descriptor.width = parsed->width;
    descriptor.height = parsed->height;
    descriptor.fps = text.find('@') == std::string::npos && fps ? *fps : parsed->fps;
    descriptor.hdr = hdr || parsed->hdr;
    return descriptor;
}

std::string descriptorText(const DisplayDescriptor& d) {
    return std::to_string(d.width) + "x" + std::to_string(d.height) + "@" + std::to_string(d.fps) +
           (d.hdr ? " HDR" : "");
}

}  // namespace

std::optional<ShareRequest> ShareRequest::make(const std::string& size, bool hdr,
                                               const std::optional<std::string>& extra,
                                               std::string* error) {
    auto main = readSize(size, std::nullopt, hdr);
    if (!main) {
        if (error) *error = "unreadable size '" + size + "' (expected WxH[@FPS])";
        return std::nullopt;
    }
    ShareRequest request;
    request.descriptor = descriptorText(*main);
    if (extra) {
        auto second = readSize(*extra, main->fps, hdr);
        if (!second) {
            if (error) *error = "unreadable extra size '" + *extra + "' (expected WxH[@FPS])";
            return std::nullopt;
        }
        request.extraDescriptor = descriptorText(*second);
    }
    return request;
}

std::string extraRecordPath(const std::string& recordPath) {
    std::filesystem::path path(recordPath);
    auto extension = path.extension().string();
    if (extension.empty()) extension = ".hevc";
    return (path.parent_path() / (path.stem().string() + "-extra" + extension)).string();
}

}  // namespace vl
