#include "platform/videocodec/vaapi/VaapiCompressionSession.h"

#include "platform/videocodec/NalUnits.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/dict.h>
#include <libavutil/hwcontext.h>
#include <libavutil/opt.h>
}

#include <algorithm>
#include <cmath>
#include <filesystem>

namespace vl {

namespace {

AVColorPrimaries avPrimaries(ColorPrimaries primaries) {
    return primaries == ColorPrimaries::bt2020 ? AVCOL_PRI_BT2020 : AVCOL_PRI_BT709;
}
AVColorTransferCharacteristic avTransfer(TransferFunction transfer) {
    switch (transfer) {
        case TransferFunction::bt709:
            return AVCOL_TRC_BT709;
        case TransferFunction::sRGB:
            return AVCOL_TRC_IEC61966_2_1;
        case TransferFunction::pq:
            return AVCOL_TRC_SMPTE2084;
    }
    return AVCOL_TRC_UNSPECIFIED;
}
AVColorSpace avMatrix(YCbCrMatrix matrix) {
    switch (matrix) {
        case YCbCrMatrix::bt601:
            return AVCOL_SPC_SMPTE170M;
        case YCbCrMatrix::bt709:
            return AVCOL_SPC_BT709;
        case YCbCrMatrix::bt2020:
            return AVCOL_SPC_BT2020_NCL;
    }
    return AVCOL_SPC_UNSPECIFIED;
}

// Opens hevc_vaapi on the device: with `probe`, a small encoder that shows the device can
// encode at all (with low power when asked) and is closed again.
AVCodecContext* openContext(const AVCodec* codec, AVBufferRef* device, int width, int height,
                            bool lowPower, const CompressionProperties& properties,
                            const ColorDescription& color, PixelFormat format,
                            AVBufferRef** framesOut) {
    AVBufferRef* frames = av_hwframe_ctx_alloc(device);
    if (!frames) return nullptr;
    auto* framesContext = reinterpret_cast<AVHWFramesContext*>(frames->data);
    framesContext->format = AV_PIX_FMT_VAAPI;
    framesContext->sw_format =
        format == PixelFormat::biPlanar420Video10 ? AV_PIX_FMT_P010LE : AV_PIX_FMT_NV12;
    framesContext->width = width;
    framesContext->height = height;
    framesContext->initial_pool_size = 8;
    if (av_hwframe_ctx_init(frames) < 0) {
        av_buffer_unref(&frames);
        return nullptr;
    }
    AVCodecContext* context = avcodec_alloc_context3(codec);
    if (!context) {
        av_buffer_unref(&frames);
        return nullptr;
    }
    const double fps = properties.expectedFrameRate > 0 ? properties.expectedFrameRate : 60;
    const int fpsNum = static_cast<int>(std::lround(fps * 1000));
    context->width = width;
    context->height = height;
    context->time_base = AVRational{1000, fpsNum};
    context->framerate = AVRational{fpsNum, 1000};
    context->pix_fmt = AV_PIX_FMT_VAAPI;
    context->hw_frames_ctx = av_buffer_ref(frames);
    context->max_b_frames = 0;
    context->flags |= AV_CODEC_FLAG_LOW_DELAY | AV_CODEC_FLAG_CLOSED_GOP;
    int keyInterval = properties.maxKeyFrameInterval;
    if (properties.maxKeyFrameIntervalDuration > 0) {
        const int byDuration = static_cast<int>(fps * properties.maxKeyFrameIntervalDuration);
        keyInterval = keyInterval > 0 ? std::min(keyInterval, byDuration) : byDuration;
    }
    if (keyInterval > 0) context->gop_size = keyInterval;
    if (properties.averageBitRate > 0) context->bit_rate = properties.averageBitRate;
    if (properties.dataRateLimitBytes > 0 && properties.dataRateLimitSeconds > 0) {
        const double peak = static_cast<double>(properties.dataRateLimitBytes) * 8 /
                            properties.dataRateLimitSeconds;
        context->rc_max_rate = static_cast<std::int64_t>(peak);
        context->rc_buffer_size = static_cast<int>(peak / fps * 1.5);
    }
    if (properties.minAllowedFrameQP > 0) context->qmin = properties.minAllowedFrameQP;
    context->profile =
        format == PixelFormat::biPlanar420Video10 ? FF_PROFILE_HEVC_MAIN_10 : FF_PROFILE_HEVC_MAIN;
    context->color_primaries = avPrimaries(properties.colorPrimaries.value_or(color.primaries));
    context->color_trc = avTransfer(properties.transferFunction.value_or(color.transfer));
    context->colorspace = avMatrix(properties.yCbCrMatrix.value_or(color.matrix));
    context->color_range = color.fullRange ? AVCOL_RANGE_JPEG : AVCOL_RANGE_MPEG;
    AVDictionary* options = nullptr;
    // One frame in flight: each picture leaves in the call that submitted it.
    av_dict_set(&options, "async_depth", "1", 0);
    av_dict_set(&options, "aud", "0", 0);
    if (lowPower) av_dict_set(&options, "low_power", "1", 0);
    const int opened = avcodec_open2(context, codec, &options);
    av_dict_free(&options);
    if (opened < 0) {
        avcodec_free_context(&context);
        av_buffer_unref(&frames);
        return nullptr;
    }
    *framesOut = frames;
    return context;
}

}  // namespace

std::vector<std::string> renderNodes(const std::string& directory) {
    std::vector<std::string> nodes;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(directory, error)) {
        if (entry.path().filename().string().rfind("renderD", 0) == 0) {
            nodes.push_back(entry.path().string());
        }
    }
    std::sort(nodes.begin(), nodes.end());
    return nodes;
}

CodecResult<std::unique_ptr<CompressionSession>> VaapiCompressionSession::create(
    int width, int height, const EncoderRequirements& requirements,
    const std::string& nodeDirectory) {
    const auto nodes = renderNodes(nodeDirectory);
    if (nodes.empty()) return {nullptr, CodecStatus::couldNotFindVideoEncoder};
    const AVCodec* codec = avcodec_find_encoder_by_name("hevc_vaapi");
    if (!codec) return {nullptr, CodecStatus::couldNotFindVideoEncoder};
    const bool lowPower = requirements.enableLowLatencyRateControl;
    for (const auto& node : nodes) {
        AVBufferRef* device = nullptr;
        if (av_hwdevice_ctx_create(&device, AV_HWDEVICE_TYPE_VAAPI, node.c_str(), nullptr, 0) < 0) {
            continue;
        }
        // A device that cannot open a small encoder (in low power when asked) does not serve.
        AVBufferRef* frames = nullptr;
        AVCodecContext* probe = openContext(codec, device, 256, 256, lowPower, {}, {},
                                            PixelFormat::biPlanar420Video8, &frames);
        if (!probe) {
            av_buffer_unref(&device);
            continue;
        }
        avcodec_free_context(&probe);
        av_buffer_unref(&frames);
        return {std::unique_ptr<CompressionSession>(
                    new VaapiCompressionSession(width, height, device, node, lowPower)),
                CodecStatus::noErr};
    }
    return {nullptr, CodecStatus::couldNotFindVideoEncoder};
}

VaapiCompressionSession::VaapiCompressionSession(int width, int height, AVBufferRef* device,
                                                 std::string node, bool lowPower)
    : width_(width),
      height_(height),
      node_(std::move(node)),
      lowPower_(lowPower),
      device_(device),
      packet_(av_packet_alloc()) {}

VaapiCompressionSession::~VaapiCompressionSession() {
    invalidate();
}

CodecStatus VaapiCompressionSession::setProperties(const CompressionProperties& properties) {
    std::lock_guard lock(mutex_);
    if (invalidated_) return CodecStatus::invalidSession;
    properties_ = properties;
    if (context_) closeEncoder();
    if (properties.allowFrameReordering || properties.allowOpenGOP) {
        return CodecStatus::propertyNotSupported;
    }
    return CodecStatus::noErr;
}

CodecStatus VaapiCompressionSession::prepareToEncodeFrames() {
    std::lock_guard lock(mutex_);
    return invalidated_ ? CodecStatus::invalidSession : CodecStatus::noErr;
}

CodecResult<std::string> VaapiCompressionSession::encoderID() const {
    std::lock_guard lock(mutex_);
    if (invalidated_) return {{}, CodecStatus::invalidSession};
    return {"hevc_vaapi " + node_ + (lowPower_ ? " (low power)" : ""), CodecStatus::noErr};
}

CodecStatus VaapiCompressionSession::open(const ColorDescription& frameColor, PixelFormat format) {
    const AVCodec* codec = avcodec_find_encoder_by_name("hevc_vaapi");
    if (!codec) return CodecStatus::couldNotFindVideoEncoder;
    context_ = openContext(codec, device_, width_, height_, lowPower_, properties_, frameColor,
                           format, &frames_);
    if (!context_) return CodecStatus::couldNotCreateInstance;
    openFormat_ = format;
    return CodecStatus::noErr;
}

void VaapiCompressionSession::closeEncoder() {
    avcodec_free_context(&context_);
    av_buffer_unref(&frames_);
}

void VaapiCompressionSession::receivePackets(Ready& ready) {
    while (avcodec_receive_packet(context_, packet_) == 0) {
        EncodedSample sample;
        std::vector<Bytes> parameterSets;
        for (ByteView unit : splitAnnexB(ByteView(packet_->data, packet_->size))) {
            const int type = hevcNalUnitType(unit);
            if (type >= HevcNalType::vps && type <= HevcNalType::pps) {
                parameterSets.emplace_back(unit.begin(), unit.end());
            } else if (type >= 0 && type != HevcNalType::accessUnitDelimiter) {
                appendBigEndian32(sample.data, static_cast<std::uint32_t>(unit.size()));
                sample.data.insert(sample.data.end(), unit.begin(), unit.end());
            }
        }
        if (!parameterSets.empty() &&
            (!formatDescription_ || formatDescription_->parameterSets != parameterSets)) {
            auto description = std::make_shared<VideoFormatDescription>();
            description->width = width_;
            description->height = height_;
            description->parameterSets = std::move(parameterSets);
            formatDescription_ = description;
        }
        sample.formatDescription = formatDescription_;
        if ((packet_->flags & AV_PKT_FLAG_KEY) == 0) sample.notSync = true;
        const std::int64_t pts = packet_->pts;
        av_packet_unref(packet_);
        while (!pending_.empty() && pending_.front().pts < pts) {
            ready.emplace_back(std::move(pending_.front().completion), std::nullopt);
            pending_.pop_front();
        }
        if (pending_.empty() || pending_.front().pts != pts) continue;
        sample.presentationTime = pending_.front().presentationTime;
        sample.duration = pending_.front().duration;
        ready.emplace_back(std::move(pending_.front().completion), std::move(sample));
        pending_.pop_front();
    }
}

CodecStatus VaapiCompressionSession::encodeFrame(const PixelBuffer& frame,
                                                 MediaTime presentationTime, MediaTime duration,
                                                 FrameOptions options,
                                                 const EncodeCompletion& completion) {
    Ready ready;
    {
        std::lock_guard lock(mutex_);
        if (invalidated_) return CodecStatus::invalidSession;
        if (frame.width != width_ || frame.height != height_ || frame.planes.size() != 2) {
            return CodecStatus::pixelTransferNotSupported;
        }
        if (context_ && frame.format != openFormat_) closeEncoder();
        if (!context_) {
            if (const CodecStatus status = open(frame.color, frame.format);
                status != CodecStatus::noErr) {
                return status;
            }
        }
        AVFrame* software = av_frame_alloc();
        AVFrame* hardware = av_frame_alloc();
        software->format =
            frame.format == PixelFormat::biPlanar420Video10 ? AV_PIX_FMT_P010LE : AV_PIX_FMT_NV12;
        software->width = width_;
        software->height = height_;
        for (int plane = 0; plane < 2; ++plane) {
            software->data[plane] = const_cast<std::uint8_t*>(frame.planes[plane].bytes.data());
            software->linesize[plane] = static_cast<int>(frame.planes[plane].bytesPerRow);
        }
        CodecStatus status = CodecStatus::noErr;
        if (av_hwframe_get_buffer(frames_, hardware, 0) < 0 ||
            av_hwframe_transfer_data(hardware, software, 0) < 0) {
            status = CodecStatus::allocationFailed;
        } else {
            hardware->pts = nextPts_++;
            // An intra picture asked of the encoder becomes an IDR picture.
            hardware->pict_type = options.forceKeyFrame ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
            pending_.push_back({hardware->pts, presentationTime, duration, completion});
            if (avcodec_send_frame(context_, hardware) < 0) {
                pending_.pop_back();
                status = CodecStatus::encoderMalfunction;
            } else {
                receivePackets(ready);
            }
        }
        av_frame_free(&hardware);
        av_frame_free(&software);
        if (status != CodecStatus::noErr) return status;
    }
    for (auto& [callback, sample] : ready) {
        if (callback) callback(CodecStatus::noErr, std::move(sample));
    }
    return CodecStatus::noErr;
}

CodecStatus VaapiCompressionSession::completeFrames() {
    Ready ready;
    {
        std::lock_guard lock(mutex_);
        if (invalidated_) return CodecStatus::invalidSession;
        if (context_ && !pending_.empty()) {
            avcodec_send_frame(context_, nullptr);
            receivePackets(ready);
            // A drained encoder takes no more frames; the next frame opens a new one.
            closeEncoder();
        }
        for (auto& pending : pending_)
            ready.emplace_back(std::move(pending.completion), std::nullopt);
        pending_.clear();
    }
    for (auto& [callback, sample] : ready) {
        if (callback) callback(CodecStatus::noErr, std::move(sample));
    }
    return CodecStatus::noErr;
}

void VaapiCompressionSession::invalidate() {
    std::lock_guard lock(mutex_);
    if (invalidated_) return;
    invalidated_ = true;
    pending_.clear();
    closeEncoder();
    av_packet_free(&packet_);
    av_buffer_unref(&device_);
}

CodecResult<std::unique_ptr<CompressionSession>> createVaapiSession(
    int width, int height, const EncoderRequirements& requirements) {
    return VaapiCompressionSession::create(width, height, requirements);
}

}  // namespace vl
