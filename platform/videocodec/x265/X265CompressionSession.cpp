#include "platform/videocodec/x265/X265CompressionSession.h"

#include <x265.h>

#include <libyuv/convert.h>
#include <libyuv/planar_functions.h>
#include <algorithm>
#include <cmath>
#include <cstring>

namespace vl {

namespace {

// HEVC NAL unit types of the parameter sets.
constexpr std::uint32_t nalVps = 32;
constexpr std::uint32_t nalPps = 34;

// Code points of the VUI (ITU-T H.273).
int primariesCode(ColorPrimaries primaries) {
    return primaries == ColorPrimaries::bt2020 ? 9 : 1;
}
int transferCode(TransferFunction transfer) {
    switch (transfer) {
        case TransferFunction::bt709:
            return 1;
        case TransferFunction::sRGB:
            return 13;
        case TransferFunction::pq:
            return 16;
    }
    return 2;
}
int matrixCode(YCbCrMatrix matrix) {
    switch (matrix) {
        case YCbCrMatrix::bt601:
            return 6;
        case YCbCrMatrix::bt709:
            return 1;
        case YCbCrMatrix::bt2020:
            return 9;
    }
    return 2;
}

}  // namespace

X265CompressionSession::X265CompressionSession(int width, int height)
    : width_(width), height_(height) {}

X265CompressionSession::~X265CompressionSession() {
    invalidate();
}

CodecStatus X265CompressionSession::setProperties(const CompressionProperties& properties) {
    std::lock_guard lock(mutex_);
    if (invalidated_) return CodecStatus::invalidSession;
    properties_ = properties;
    // The parameters take effect when the encoder opens; a change after that re-opens it.
    if (encoder_) closeEncoder();
    // Power efficiency has no counterpart in x265: accepted, with no effect.
    if (properties.allowFrameReordering || properties.allowOpenGOP) {
        return CodecStatus::propertyNotSupported;
    }
    return CodecStatus::noErr;
}

CodecStatus X265CompressionSession::prepareToEncodeFrames() {
    std::lock_guard lock(mutex_);
    if (invalidated_) return CodecStatus::invalidSession;
    // Without the colour fields the encoder waits for the first frame's colour description.
    if (properties_.colorPrimaries && properties_.transferFunction && properties_.yCbCrMatrix) {
        return open(ColorDescription{});
    }
    return CodecStatus::noErr;
}

CodecResult<std::string> X265CompressionSession::encoderID() const {
    std::lock_guard lock(mutex_);
    if (invalidated_) return {{}, CodecStatus::invalidSession};
    return {std::string("x265 ") + x265_version_str + " (software)", CodecStatus::noErr};
}

void X265CompressionSession::configure(x265_param& p, const CompressionProperties& properties,
                                       int width, int height) {
    p.logLevel = X265_LOG_ERROR;
    p.sourceWidth = width;
    p.sourceHeight = height;
    p.internalCsp = X265_CSP_I420;
    const double fps = properties.expectedFrameRate > 0 ? properties.expectedFrameRate : 60;
    p.fpsNum = static_cast<std::uint32_t>(std::lround(fps * 1000));
    p.fpsDenom = 1000;

    // Every picture leaves the encoder in the call that submitted it.
    p.bframes = 0;
    p.lookaheadDepth = 0;
    p.frameNumThreads = 1;
    p.maxSlices = 1;
    p.bOpenGOP = 0;
    p.scenecutThreshold = 0;
    // Parameter sets with every key frame, as length-prefixed units.
    p.bRepeatHeaders = 1;
    p.bAnnexB = 0;
    p.bEmitInfoSEI = 0;
    p.bEmitHRDSEI = 0;
    p.bEnableAccessUnitDelimiters = 0;

    int keyInterval = properties.maxKeyFrameInterval;
    if (properties.maxKeyFrameIntervalDuration > 0) {
        const int byDuration = static_cast<int>(fps * properties.maxKeyFrameIntervalDuration);
        keyInterval = keyInterval > 0 ? std::min(keyInterval, byDuration) : byDuration;
    }
    p.keyframeMax = keyInterval > 0 ? keyInterval : -1;  // -1: no periodic key frames
    p.keyframeMin = 1;
    // Within the interval a column of intra blocks sweeps the picture instead of one whole intra
    // picture: a full key picture of a desktop is several times a frame's size and encode time,
    // the stall a viewer sees. Key pictures remain at the start and wherever one is forced.
    if (keyInterval > 0) p.bIntraRefresh = 1;

    const bool limited = properties.dataRateLimitBytes > 0 && properties.dataRateLimitSeconds > 0;
    const double peakBitsPerSecond = limited ? static_cast<double>(properties.dataRateLimitBytes) *
                                                   8 / properties.dataRateLimitSeconds
                                             : static_cast<double>(properties.averageBitRate);
    if (properties.quality > 0) {
        // A quality target capped by the rate limit, the same for every picture. An average-rate
        // target spends the average on every picture, so each small change of a still desktop
        // re-codes all of it and never settles; a quality that varies with each picture's
        // complexity does the same whenever it rises. Held constant, what did not change is
        // skipped. Quality 0.85 is rate factor 23, x265's usual choice.
        p.rc.rateControlMode = X265_RC_CRF;
        p.rc.rfConstant = 40 - 20 * std::min(1.0, properties.quality);
        p.rc.qCompress = 1.0;
    } else if (properties.averageBitRate > 0) {
        p.rc.rateControlMode = X265_RC_ABR;
        p.rc.bitrate = static_cast<int>(properties.averageBitRate / 1000);
    }
    if (peakBitsPerSecond > 0) {
        // The limit holds over its window (one second): a key picture may take a good share of
        // it. A buffer of a frame or two starves the first key picture, and the pictures after
        // it then re-code the whole desktop at the buffer's rate for a dozen frames.
        p.rc.vbvMaxBitrate = static_cast<int>(peakBitsPerSecond / 1000);
        p.rc.vbvBufferSize = static_cast<int>(peakBitsPerSecond / 1000 *
                                              (limited ? properties.dataRateLimitSeconds : 1.0));
        p.rc.vbvBufferInit = 0.9;
    }
    if (properties.minAllowedFrameQP > 0) p.rc.qpMin = properties.minAllowedFrameQP;
}

CodecStatus X265CompressionSession::open(const ColorDescription& frameColor) {
    const bool main10 = properties_.profileLevel == VideoProfile::hevcMain10AutoLevel;
    const int depth = main10 ? 10 : 8;
    api_ = x265_api_get(depth);
    if (!api_) return CodecStatus::couldNotCreateInstance;
    param_ = api_->param_alloc();
    if (!param_) return CodecStatus::allocationFailed;
    if (api_->param_default_preset(param_, preset, tune) < 0) {
        closeEncoder();
        return CodecStatus::couldNotCreateInstance;
    }
    configure(*param_, properties_, width_, height_);
    x265_param& p = *param_;
    p.internalBitDepth = depth;

    // The colour the samples were converted with: the properties where set, otherwise the
    // frame's own description.
    p.vui.bEnableVideoSignalTypePresentFlag = 1;
    p.vui.videoFormat = 5;  // unspecified
    p.vui.bEnableVideoFullRangeFlag = frameColor.fullRange ? 1 : 0;
    p.vui.bEnableColorDescriptionPresentFlag = 1;
    p.vui.colorPrimaries = primariesCode(properties_.colorPrimaries.value_or(frameColor.primaries));
    p.vui.transferCharacteristics =
        transferCode(properties_.transferFunction.value_or(frameColor.transfer));
    p.vui.matrixCoeffs = matrixCode(properties_.yCbCrMatrix.value_or(frameColor.matrix));

    if (api_->param_apply_profile(param_, main10 ? "main10" : "main") < 0) {
        closeEncoder();
        return CodecStatus::propertyNotSupported;
    }
    encoder_ = api_->encoder_open(param_);
    if (!encoder_) {
        closeEncoder();
        return CodecStatus::couldNotCreateInstance;
    }
    // What the encoder actually runs with (it may adjust what it was given).
    api_->encoder_parameters(encoder_, param_);
    opened_ = OpenedParameters{depth,
                               p.keyframeMax,
                               p.bIntraRefresh != 0,
                               p.rc.rateControlMode == X265_RC_CRF ? p.rc.rfConstant : 0.0,
                               p.rc.bitrate,
                               p.rc.vbvMaxBitrate,
                               p.rc.vbvBufferSize,
                               p.rc.qpMin,
                               p.vui.colorPrimaries,
                               p.vui.transferCharacteristics,
                               p.vui.matrixCoeffs,
                               p.vui.bEnableVideoFullRangeFlag != 0};
    return CodecStatus::noErr;
}

void X265CompressionSession::closeEncoder() {
    if (encoder_) api_->encoder_close(encoder_);
    encoder_ = nullptr;
    if (param_) api_->param_free(param_);
    param_ = nullptr;
    opened_.reset();
}

std::optional<X265CompressionSession::OpenedParameters> X265CompressionSession::openedParameters()
    const {
    std::lock_guard lock(mutex_);
    return opened_;
}

void X265CompressionSession::deliver(
    void* nalsPointer, std::uint32_t nalCount, void* pictureOutPointer,
    std::vector<std::pair<EncodeCompletion, std::optional<EncodedSample>>>& ready) {
    auto* nals = static_cast<x265_nal*>(nalsPointer);
    auto* pictureOut = static_cast<x265_picture*>(pictureOutPointer);
    EncodedSample sample;
    std::vector<Bytes> parameterSets;
    std::size_t total = 0;
    for (std::uint32_t i = 0; i < nalCount; ++i) total += nals[i].sizeBytes;
    sample.data.reserve(total);
    for (std::uint32_t i = 0; i < nalCount; ++i) {
        const x265_nal& nal = nals[i];
        if (nal.type >= nalVps && nal.type <= nalPps && nal.sizeBytes > 4) {
            // The length prefix belongs to the sample layout, not to the parameter set.
            parameterSets.emplace_back(nal.payload + 4, nal.payload + nal.sizeBytes);
        } else {
            sample.data.insert(sample.data.end(), nal.payload, nal.payload + nal.sizeBytes);
        }
    }
    if (!parameterSets.empty() &&
        (!formatDescription_ || formatDescription_->parameterSets != parameterSets)) {
        auto description = std::make_shared<VideoFormatDescription>();
        description->width = width_;
        description->height = height_;
        description->parameterSets = std::move(parameterSets);
        description->nalUnitHeaderLength = 4;
        formatDescription_ = description;
    }
    sample.formatDescription = formatDescription_;
    const bool key = pictureOut->sliceType == X265_TYPE_IDR;
    if (!key) sample.notSync = true;

    // The picture belongs to the oldest pending frame with its pts; earlier ones were dropped.
    while (!pending_.empty() && pending_.front().pts < pictureOut->pts) {
        ready.emplace_back(std::move(pending_.front().completion), std::nullopt);
        pending_.pop_front();
    }
    if (pending_.empty() || pending_.front().pts != pictureOut->pts) return;
    sample.presentationTime = pending_.front().presentationTime;
    sample.duration = pending_.front().duration;
    ready.emplace_back(std::move(pending_.front().completion), std::move(sample));
    pending_.pop_front();
}

CodecStatus X265CompressionSession::encodeFrame(const PixelBuffer& frame,
                                                MediaTime presentationTime, MediaTime duration,
                                                FrameOptions options,
                                                const EncodeCompletion& completion) {
    std::vector<std::pair<EncodeCompletion, std::optional<EncodedSample>>> ready;
    {
        std::lock_guard lock(mutex_);
        if (invalidated_) return CodecStatus::invalidSession;
        if (frame.width != width_ || frame.height != height_ || frame.planes.size() != 2) {
            return CodecStatus::pixelTransferNotSupported;
        }
        if (!encoder_) {
            if (const CodecStatus status = open(frame.color); status != CodecStatus::noErr) {
                return status;
            }
        }

        // x265 reads planar 4:2:0: the interleaved chroma plane is split into Cb and Cr.
        const PixelPlane& luma = frame.planes[0];
        const PixelPlane& chroma = frame.planes[1];
        const bool tenBit = frame.format == PixelFormat::biPlanar420Video10;
        const int sampleBytes = tenBit ? 2 : 1;
        const int chromaWidth = chroma.width;
        const int chromaHeight = chroma.height;
        const std::size_t chromaPlaneBytes =
            static_cast<std::size_t>(chromaWidth) * chromaHeight * sampleBytes;
        const std::size_t lumaBytes = tenBit ? static_cast<std::size_t>(width_) * height_ * 2 : 0;
        scratch_.resize(lumaBytes + 2 * chromaPlaneBytes);
        std::uint8_t* cb = scratch_.data() + lumaBytes;
        std::uint8_t* cr = cb + chromaPlaneBytes;
        x265_picture picture;
        api_->picture_init(param_, &picture);
        if (tenBit) {
            // P010 keeps its 10 bits at the top of each word; x265 wants them at the bottom.
            auto* y16 = reinterpret_cast<std::uint16_t*>(scratch_.data());
            libyuv::P010ToI010(reinterpret_cast<const std::uint16_t*>(luma.bytes.data()),
                               static_cast<int>(luma.bytesPerRow / 2),
                               reinterpret_cast<const std::uint16_t*>(chroma.bytes.data()),
                               static_cast<int>(chroma.bytesPerRow / 2), y16, width_,
                               reinterpret_cast<std::uint16_t*>(cb), chromaWidth,
                               reinterpret_cast<std::uint16_t*>(cr), chromaWidth, width_, height_);
            picture.planes[0] = y16;
            picture.stride[0] = width_ * 2;
            picture.bitDepth = 10;
        } else {
            libyuv::SplitUVPlane(chroma.bytes.data(), static_cast<int>(chroma.bytesPerRow), cb,
                                 chromaWidth, cr, chromaWidth, chromaWidth, chromaHeight);
            picture.planes[0] = const_cast<std::uint8_t*>(luma.bytes.data());
            picture.stride[0] = static_cast<int>(luma.bytesPerRow);
            picture.bitDepth = 8;
        }
        picture.planes[1] = cb;
        picture.planes[2] = cr;
        picture.stride[1] = chromaWidth * sampleBytes;
        picture.stride[2] = chromaWidth * sampleBytes;
        picture.colorSpace = X265_CSP_I420;
        picture.pts = nextPts_++;
        picture.sliceType = options.forceKeyFrame ? X265_TYPE_IDR : X265_TYPE_AUTO;
        pending_.push_back({picture.pts, presentationTime, duration, completion});

        x265_nal* nals = nullptr;
        std::uint32_t nalCount = 0;
        x265_picture pictureOut;
        api_->picture_init(param_, &pictureOut);
        const int result = api_->encoder_encode(encoder_, &nals, &nalCount, &picture, &pictureOut);
        if (result < 0) {
            pending_.pop_back();
            return CodecStatus::encoderMalfunction;
        }
        if (result > 0) deliver(nals, nalCount, &pictureOut, ready);
    }
    for (auto& [callback, sample] : ready) {
        if (callback) callback(CodecStatus::noErr, std::move(sample));
    }
    return CodecStatus::noErr;
}

CodecStatus X265CompressionSession::completeFrames() {
    std::vector<std::pair<EncodeCompletion, std::optional<EncodedSample>>> ready;
    {
        std::lock_guard lock(mutex_);
        if (invalidated_) return CodecStatus::invalidSession;
        while (encoder_ && !pending_.empty()) {
            x265_nal* nals = nullptr;
            std::uint32_t nalCount = 0;
            x265_picture pictureOut;
            api_->picture_init(param_, &pictureOut);
            const int result =
                api_->encoder_encode(encoder_, &nals, &nalCount, nullptr, &pictureOut);
            if (result <= 0) break;
            deliver(nals, nalCount, &pictureOut, ready);
        }
        // Whatever the encoder did not give back is reported as dropped.
        for (auto& pending : pending_) {
            ready.emplace_back(std::move(pending.completion), std::nullopt);
        }
        pending_.clear();
    }
    for (auto& [callback, sample] : ready) {
        if (callback) callback(CodecStatus::noErr, std::move(sample));
    }
    return CodecStatus::noErr;
}

void X265CompressionSession::invalidate() {
    std::lock_guard lock(mutex_);
    if (invalidated_) return;
    invalidated_ = true;
    pending_.clear();
    if (api_) closeEncoder();
}

}  // namespace vl
