#include "platform/capture/Interface.h"

namespace vl {

const char* description(PixelFormat format) {
    switch (format) {
        case PixelFormat::biPlanar420Video8:
            return "420v";
        case PixelFormat::biPlanar420Video10:
            return "x420";
    }
    return "unknown";
}

PixelBuffer makePixelBuffer(int width, int height, PixelFormat format, ColorDescription color) {
    PixelBuffer buffer;
    buffer.format = format;
    buffer.width = width;
    buffer.height = height;
    buffer.color = color;
    const std::size_t sampleBytes = format == PixelFormat::biPlanar420Video10 ? 2 : 1;
    const int chromaWidth = (width + 1) / 2;
    const int chromaHeight = (height + 1) / 2;
    PixelPlane luma;
    luma.width = width;
    luma.height = height;
    luma.bytesPerRow = static_cast<std::size_t>(width) * sampleBytes;
    luma.bytes.resize(luma.bytesPerRow * static_cast<std::size_t>(height));
    PixelPlane chroma;
    chroma.width = chromaWidth;
    chroma.height = chromaHeight;
    chroma.bytesPerRow = static_cast<std::size_t>(chromaWidth) * 2 * sampleBytes;
    chroma.bytes.resize(chroma.bytesPerRow * static_cast<std::size_t>(chromaHeight));
    buffer.planes.push_back(std::move(luma));
    buffer.planes.push_back(std::move(chroma));
    return buffer;
}

const char* description(FrameStatus status) {
    switch (status) {
        case FrameStatus::complete:
            return "complete";
        case FrameStatus::idle:
            return "idle";
        case FrameStatus::blank:
            return "blank";
        case FrameStatus::suspended:
            return "suspended";
        case FrameStatus::started:
            return "started";
        case FrameStatus::stopped:
            return "stopped";
    }
    return "unknown";
}

const char* description(CaptureErrorCode code) {
    switch (code) {
        case CaptureErrorCode::displayNotFound:
            return "Display not found";
        case CaptureErrorCode::connectionFailed:
            return "Display server connection failed";
        case CaptureErrorCode::unsupported:
            return "Configuration not supported";
        case CaptureErrorCode::alreadyRunning:
            return "Stream already running";
        case CaptureErrorCode::notRunning:
            return "Stream not running";
        case CaptureErrorCode::grabFailed:
            return "Screen grab failed";
    }
    return "Unknown capture error";
}

std::string CaptureError::description() const {
    std::string text = vl::description(code);
    if (!detail.empty()) text += ": " + detail;
    return text;
}

}  // namespace vl
