#include "client/CameraSource.h"

#include "Capture/AnnexB.h"
#include "client/StreamClient.h"
#include "platform/videocodec/x265/X265VideoCodecService.h"

#include <algorithm>
#include <cstdio>
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

// MARK: - The camera connection

namespace vl {

std::unique_ptr<CameraStream> CameraStream::open(const std::string& host, std::uint16_t port,
                                                 std::string source,
                                                 std::function<void(const std::string&)> report,
                                                 std::string* error) {
    // The source is tried once up front, so that a bad file fails before the session goes on.
    if (!CameraSource::open(source, 64, 36, error)) return nullptr;
    std::unique_ptr<CameraStream> stream(new CameraStream);
    stream->client_ = StreamClient::connect(host, port, StreamOptions::media());
    if (!stream->client_->waitForState(ConnectionState::ready, std::chrono::seconds(10))) {
        if (error) *error = "the camera port does not answer";
        return nullptr;
    }
    // A stream exists for the server once something is sent on it: an empty video packet.
    stream->client_->send(Packet(PacketType::pktVideoStreamData, InteractionType::rdpVideo));
    stream->source_ = std::move(source);
    stream->report_ = std::move(report);
    stream->thread_ = std::thread([raw = stream.get()] { raw->run(); });
    return stream;
}

CameraStream::~CameraStream() {
    stopping_ = true;
    if (thread_.joinable()) thread_.join();
    if (client_) client_->close();
}

bool CameraStream::isOpen() const {
    return client_ && client_->isOpen();
}

void CameraStream::run() {
    using namespace std::chrono;
    std::unique_ptr<CameraSource> pictures;
    std::unique_ptr<CameraEncoder> encoder;
    int width = 0, height = 0;
    std::size_t handled = 0;  // server packets already acted on
    steady_clock::time_point next = steady_clock::now();
    while (!stopping_) {
        const auto packets = client_->packets();
        for (; handled < packets.size(); ++handled) {
            const Packet& packet = packets[handled];
            if (packet.subType == InteractionType::camStop) {
                report_("camStop");
                encoder.reset();
                pictures.reset();
                width = height = 0;
            } else if (packet.subType == InteractionType::camStart) {
                const std::string size = packet.data ? stringOf(*packet.data) : std::string();
                report_("camStart " + size);
                int w = 0, h = 0;
                if (std::sscanf(size.c_str(), "%dx%d", &w, &h) != 2 || w <= 0 || h <= 0 ||
                    w > 4096 || h > 4096 || w % 2 || h % 2)
                    continue;
                if (encoder && w == width && h == height) continue;  // already at that size
                std::string error;
                pictures = CameraSource::open(source_, w, h, &error);
                encoder = pictures ? CameraEncoder::create(w, h, &error) : nullptr;
                if (!encoder) {
                    report_("camera: " + error);
                    pictures.reset();
                    continue;
                }
                width = w;
                height = h;
                next = steady_clock::now();
            }
        }
        if (!encoder) {
            std::this_thread::sleep_for(milliseconds(10));
            continue;
        }
        std::this_thread::sleep_until(next);
        next += milliseconds(40);
        if (steady_clock::now() > next) next = steady_clock::now();  // behind: skip, never burst
        Bytes unit = encoder->encode(pictures->nextFrame());
        if (unit.empty()) continue;
        client_->send(
            Packet(PacketType::pktVideoStreamData, InteractionType::rdpVideo, std::move(unit)));
        ++framesSent_;
    }
}

}  // namespace vl
