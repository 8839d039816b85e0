#include "client/CameraSource.h"

#include "Capture/AnnexB.h"
#include "platform/videocodec/x265/X265VideoCodecService.h"

#include <algorithm>
#include <optional>

namespace vl {

namespace {

void fillRect(PixelBuffer& frame, int x0, int y0, int x1, int y1, TestPattern::Yuv colour) {
    x0 = std::clamp(x0 & ~1, 0, frame.width);
    x1 = std::clamp(x1 & ~1, 0, frame.width);
    y0 = std::clamp(y0 & ~1, 0, frame.height);
    y1 = std::clamp(y1 & ~1, 0, frame.height);
    PixelPlane& luma = frame.planes[0];
    PixelPlane& chroma = frame.planes[1];
    for (int y = y0; y < y1; ++y)
        std::fill_n(luma.bytes.begin() + static_cast<std::ptrdiff_t>(y * luma.bytesPerRow + x0),
                    x1 - x0, colour.y);
    for (int y = y0 / 2; y < y1 / 2; ++y) {
        std::uint8_t* row = chroma.bytes.data() + y * chroma.bytesPerRow;
        for (int x = x0 / 2; x < x1 / 2; ++x) {
            row[2 * x] = colour.u;
            row[2 * x + 1] = colour.v;
        }
    }
}

}  // namespace

PixelBuffer TestPattern::nextFrame() {
    PixelBuffer frame =
        makePixelBuffer(width_, height_, PixelFormat::biPlanar420Video8, ColorDescription{});
    const int w = width_, h = height_;
    fillRect(frame, 0, 0, w / 2, h / 2, quadrantColours[0]);
    fillRect(frame, w / 2, 0, w, h / 2, quadrantColours[1]);
    fillRect(frame, 0, h / 2, w / 2, h, quadrantColours[2]);
    fillRect(frame, w / 2, h / 2, w, h, quadrantColours[3]);
    // The square crosses the width in 100 frames (4 s at 25 fps).
    const int side = std::max(2, h / 10);
    const int x = (frame_ % 100) * (w - side) / 99;
    fillRect(frame, x, h / 2 - side / 2, x + side, h / 2 + side / 2, squareColour);
    ++frame_;
    return frame;
}

std::unique_ptr<CameraEncoder> CameraEncoder::create(int width, int height, std::string* error) {
    X265VideoCodecService service;
    auto created = service.createCompressionSession(width, height, EncoderRequirements{});
    if (!created.ok()) {
        if (error) *error = std::string("no HEVC encoder: ") + description(created.status);
        return nullptr;
    }
    CompressionProperties properties;
    properties.expectedFrameRate = 25;
    properties.averageBitRate = static_cast<std::int64_t>(width) * height * 25 / 10;
    properties.maxKeyFrameIntervalDuration = 2;
    created.value->setProperties(properties);
    created.value->prepareToEncodeFrames();
    std::unique_ptr<CameraEncoder> encoder(new CameraEncoder);
    encoder->session_ = std::move(created.value);
    return encoder;
}

CameraEncoder::~CameraEncoder() {
    if (session_) session_->invalidate();
}

Bytes CameraEncoder::encode(const PixelBuffer& frame, bool forceKeyFrame) {
    const MediaTime duration = std::chrono::milliseconds(40);
    std::optional<EncodedSample> encoded;
    FrameOptions options;
    options.forceKeyFrame = forceKeyFrame || frames_ == 0;
    session_->encodeFrame(frame, duration * frames_, duration, options,
                          [&](CodecStatus status, std::optional<EncodedSample> sample) {
                              if (status == CodecStatus::noErr) encoded = std::move(sample);
                          });
    ++frames_;
    if (!encoded) return {};
    std::vector<ByteView> parameterSets;
    if (encoded->isKeyFrame() && encoded->formatDescription)
        for (const Bytes& set : encoded->formatDescription->parameterSets)
            parameterSets.emplace_back(set);
    return assembleAnnexB(
        encoded->data,
        encoded->formatDescription ? encoded->formatDescription->nalUnitHeaderLength : 4,
        parameterSets);
}

std::unique_ptr<CameraSource> CameraSource::open(const std::string& source, int width, int height,
                                                 std::string* error) {
    if (source == "testpattern" || source == "pattern")
        return std::make_unique<TestPattern>(width, height);
    return openVideoFile(source, width, height, error);
}

}  // namespace vl
