// platform/videocodec: HEVC compression sessions in tiers (hardware with low-latency rate
// control down to software), the list of encoders, and the codec status codes.
#pragma once

#include "base/Bytes.h"
#include "platform/capture/PixelBuffer.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vl {

// Status codes in the platform's numbering: 0 is success, failures are negative.
enum class CodecStatus : std::int32_t {
    noErr = 0,
    propertyNotSupported = -12900,
    parameterError = -12902,
    invalidSession = -12903,
    allocationFailed = -12904,
    pixelTransferNotSupported = -12905,
    couldNotFindVideoEncoder = -12908,
    couldNotCreateInstance = -12910,
    encoderMalfunction = -12912,
    encoderListUnavailable = -12915,
};
const char* description(CodecStatus status);
inline constexpr std::int32_t code(CodecStatus status) {
    return static_cast<std::int32_t>(status);
}

template <typename T>
struct CodecResult {
    T value{};
    CodecStatus status = CodecStatus::noErr;
    bool ok() const { return status == CodecStatus::noErr; }
};

// The tiers a capture tries, in this order.
enum class EncoderTier { hwLowLatency, hwOnly, hwPreferred, software };
// "HW + low-latency RC", "HW", "HW preferred", "SW fallback".
const char* description(EncoderTier tier);

struct EncoderRequirements {
    bool requireHardwareAcceleratedVideoEncoder = false;
    bool enableHardwareAcceleratedVideoEncoder = false;
    bool enableLowLatencyRateControl = false;

    static EncoderRequirements forTier(EncoderTier tier);
    // "{RequireHardwareAcceleratedVideoEncoder: true, ...}"; "{}" when nothing is specified.
    std::string description() const;
};

enum class VideoProfile { hevcMainAutoLevel, hevcMain10AutoLevel };

// The properties of a session, set in one call. Colour fields that are left empty are taken
// from the first frame's colour description.
struct CompressionProperties {
    bool realTime = true;
    bool allowFrameReordering = false;
    bool allowOpenGOP = false;
    std::int64_t averageBitRate = 0;  // bits per second
    // At most dataRateLimitBytes in any dataRateLimitSeconds; 0 is no limit.
    std::int64_t dataRateLimitBytes = 0;
    double dataRateLimitSeconds = 1;
    double quality = 0.85;  // 0 … 1
    double expectedFrameRate = 60;
    int maxKeyFrameInterval = 0;             // frames; 0 is no limit
    double maxKeyFrameIntervalDuration = 0;  // seconds; 0 is no limit
    bool maximizePowerEfficiency = false;
    int minAllowedFrameQP = 0;  // 0 is the encoder's own
    VideoProfile profileLevel = VideoProfile::hevcMainAutoLevel;
    std::optional<ColorPrimaries> colorPrimaries;
    std::optional<TransferFunction> transferFunction;
    std::optional<YCbCrMatrix> yCbCrMatrix;
};

// What a key frame needs besides its picture: the parameter sets, in index order (VPS, SPS, PPS).
struct VideoFormatDescription {
    int width = 0;
    int height = 0;
    std::vector<Bytes> parameterSets;
    int nalUnitHeaderLength = 4;  // size of the big-endian length before each unit of a sample
};

struct EncodedSample {
    // NAL units, each preceded by its length in nalUnitHeaderLength big-endian bytes. Parameter
    // sets are not repeated here; they are in the format description.
    Bytes data;
    std::shared_ptr<const VideoFormatDescription> formatDescription;
    // The sample's "not sync" attachment: absent or false on a key frame.
    std::optional<bool> notSync;
    MediaTime presentationTime{0};
    MediaTime duration{0};

    bool isKeyFrame() const { return !notSync.value_or(false); }
};

struct FrameOptions {
    bool forceKeyFrame = false;
};

// Status and sample of one submitted frame; no sample when the encoder dropped the frame.
using EncodeCompletion = std::function<void(CodecStatus, std::optional<EncodedSample>)>;

class CompressionSession {
  public:
    virtual ~CompressionSession() = default;

    virtual CodecStatus setProperties(const CompressionProperties& properties) = 0;
    virtual CodecStatus prepareToEncodeFrames() = 0;
    // The encoder's identifier, e.g. "x265 3.5 (software)".
    virtual CodecResult<std::string> encoderID() const = 0;

    // Returns the submit status. The completion runs before encodeFrame returns: every picture
    // comes back from the call that submitted it, in submission order.
    virtual CodecStatus encodeFrame(const PixelBuffer& frame, MediaTime presentationTime,
                                    MediaTime duration, FrameOptions options,
                                    const EncodeCompletion& completion) = 0;
    // Emits every frame still held by the encoder (none with the low-latency configuration).
    virtual CodecStatus completeFrames() = 0;
    // Ends the session; later calls answer invalidSession.
    virtual void invalidate() = 0;
};

struct VideoEncoderInfo {
    std::string codecType;  // "hvc1"
    std::string name;
    std::string encoderID;
    bool isHardwareAccelerated = false;
};

// Supplied by the composition root (real backend) or by tests (fake).
class VideoCodecService {
  public:
    virtual ~VideoCodecService() = default;

    // An HEVC session of width x height; fails with a status where the requirements cannot be
    // met (e.g. hardware required and none present).
    virtual CodecResult<std::unique_ptr<CompressionSession>> createCompressionSession(
        int width, int height, const EncoderRequirements& requirements) = 0;
    virtual CodecResult<std::vector<VideoEncoderInfo>> listEncoders() = 0;
};

}  // namespace vl
