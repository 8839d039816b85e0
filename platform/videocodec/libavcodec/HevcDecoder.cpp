#include "platform/videocodec/libavcodec/HevcDecoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/hwcontext.h>
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <cstring>
#include <filesystem>

namespace vl {

int DecodedPicture::luma(int x, int y) const {
    const std::uint8_t* row = planes[0].data() + static_cast<std::size_t>(y) * strides[0];
    if (bitDepth > 8) return row[2 * x] | (row[2 * x + 1] << 8);
    return row[x];
}

Bytes toRGB24(const DecodedPicture& picture) {
    const AVPixelFormat source = picture.bitDepth > 8 ? AV_PIX_FMT_YUV420P10LE : AV_PIX_FMT_YUV420P;
    SwsContext* sws = sws_getContext(picture.width, picture.height, source, picture.width,
                                     picture.height, AV_PIX_FMT_RGB24,
                                     SWS_BILINEAR | SWS_ACCURATE_RND, nullptr, nullptr, nullptr);
    if (!sws) return {};
    int colorspace = SWS_CS_ITU601;
    if (picture.matrixCoefficients == 1) colorspace = SWS_CS_ITU709;
    if (picture.matrixCoefficients == 9) colorspace = SWS_CS_BT2020;
    int* inverse = nullptr;
    int* table = nullptr;
    int sourceRange = 0;
    int destinationRange = 0;
    int brightness = 0;
    int contrast = 0;
    int saturation = 0;
    sws_getColorspaceDetails(sws, &inverse, &sourceRange, &table, &destinationRange, &brightness,
                             &contrast, &saturation);
    sws_setColorspaceDetails(sws, sws_getCoefficients(colorspace), picture.fullRange ? 1 : 0,
                             sws_getCoefficients(SWS_CS_DEFAULT), 1, brightness, contrast,
                             saturation);
    Bytes rgb(static_cast<std::size_t>(picture.width) * picture.height * 3);
    const std::uint8_t* sourcePlanes[3] = {picture.planes[0].data(), picture.planes[1].data(),
                                           picture.planes[2].data()};
    std::uint8_t* destination[1] = {rgb.data()};
    const int destinationStride[1] = {picture.width * 3};
    sws_scale(sws, sourcePlanes, picture.strides, 0, picture.height, destination,
              destinationStride);
    sws_freeContext(sws);
    return rgb;
}

namespace {

// The render node to use: the one named, else the first /dev/dri/renderD*; empty when none.
std::string renderNodeFor(const std::string& named, std::string* reason) {
    if (!named.empty()) {
        if (std::filesystem::exists(named)) return named;
        *reason = "no render node " + named;
        return {};
    }
    std::vector<std::string> nodes;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/dev/dri", error))
        if (entry.path().filename().string().starts_with("renderD"))
            nodes.push_back(entry.path().string());
    if (nodes.empty()) {
        *reason = "no render node in /dev/dri";
        return {};
    }
    return *std::min_element(nodes.begin(), nodes.end());
}

// VA-API surfaces when the device can decode this stream; libavcodec asks again without them when
// the device then fails to set up, and software formats follow.
AVPixelFormat chooseFormat(AVCodecContext* context, const AVPixelFormat* formats) {
    if (context->hw_device_ctx)
        for (const AVPixelFormat* f = formats; *f != AV_PIX_FMT_NONE; ++f)
            if (*f == AV_PIX_FMT_VAAPI) return *f;
    return avcodec_default_get_format(context, formats);
}

}  // namespace

std::unique_ptr<HevcDecoder> HevcDecoder::create() {
    return create(HevcDecoderOptions{});
}

std::unique_ptr<HevcDecoder> HevcDecoder::create(const HevcDecoderOptions& options) {
    std::unique_ptr<HevcDecoder> decoder(new HevcDecoder());
    decoder->frame_ = av_frame_alloc();
    decoder->transfer_ = av_frame_alloc();
    decoder->packet_ = av_packet_alloc();
    if (!decoder->frame_ || !decoder->transfer_ || !decoder->packet_) return nullptr;
    if (!decoder->open(options)) return nullptr;
    return decoder;
}

VideoDecoderFactory HevcDecoder::factory(HevcDecoderOptions options) {
    return [options]() -> std::unique_ptr<VideoDecoder> { return create(options); };
}

bool HevcDecoder::open(const HevcDecoderOptions& options) {
    options_ = options;
    if (options.device == HevcDecoderOptions::Device::software) return openSoftware({});
    std::string reason;
    node_ = renderNodeFor(options.renderNode, &reason);
    if (node_.empty()) return openSoftware(reason);
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_HEVC);
    if (!codec) return false;
    if (const int result =
            av_hwdevice_ctx_create(&hwDevice_, AV_HWDEVICE_TYPE_VAAPI, node_.c_str(), nullptr, 0);
        result < 0) {
        char text[AV_ERROR_MAX_STRING_SIZE] = {};
        av_strerror(result, text, sizeof text);
        return openSoftware("VA-API on " + node_ + " did not open: " + text);
    }
    context_ = avcodec_alloc_context3(codec);
    if (!context_) return false;
    context_->hw_device_ctx = av_buffer_ref(hwDevice_);
    context_->get_format = chooseFormat;
    context_->thread_count = 1;
    context_->flags |= AV_CODEC_FLAG_LOW_DELAY;
    if (avcodec_open2(context_, codec, nullptr) < 0)
        return openSoftware("the HEVC decoder did not open on " + node_);
    return true;
}

bool HevcDecoder::openSoftware(std::string reason) {
    closeContext();
    fallbackReason_ = std::move(reason);
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_HEVC);
    if (!codec) return false;
    context_ = avcodec_alloc_context3(codec);
    if (!context_) return false;
    // Frame threads would hold pictures back; slice threads share out one picture's rows and
    // give it out at once.
    context_->thread_count = std::max(options_.threads, 1);
    context_->thread_type = FF_THREAD_SLICE;
    context_->flags |= AV_CODEC_FLAG_LOW_DELAY;
    return avcodec_open2(context_, codec, nullptr) >= 0;
}

void HevcDecoder::closeContext() {
    avcodec_free_context(&context_);
    av_buffer_unref(&hwDevice_);
}

HevcDecoder::~HevcDecoder() {
    av_packet_free(&packet_);
    av_frame_free(&transfer_);
    av_frame_free(&frame_);
    closeContext();
}

std::string HevcDecoder::description() const {
    if (hwDevice_) return "VA-API on " + node_;
    const int threads = std::max(options_.threads, 1);
    return threads == 1 ? "software" : "software, " + std::to_string(threads) + " slice threads";
}

bool HevcDecoder::copyPicture(const AVFrame& frame, DecodedPicture& picture) {
    const auto format = static_cast<AVPixelFormat>(frame.format);
    const AVPixFmtDescriptor* descriptor = av_pix_fmt_desc_get(format);
    if (!descriptor || descriptor->nb_components < 3 || descriptor->log2_chroma_w != 1 ||
        descriptor->log2_chroma_h != 1 || (descriptor->flags & AV_PIX_FMT_FLAG_HWACCEL))
        return false;
    picture.width = frame.width;
    picture.height = frame.height;
    picture.bitDepth = descriptor->comp[0].depth;
    picture.keyFrame = frame.key_frame != 0;
    picture.colorPrimaries = frame.color_primaries;
    picture.transferCharacteristics = frame.color_trc;
    picture.matrixCoefficients = frame.colorspace;
    picture.fullRange = frame.color_range == AVCOL_RANGE_JPEG;
    const int sampleBytes = picture.bitDepth > 8 ? 2 : 1;
    for (int c = 0; c < 3; ++c) {
        const AVComponentDescriptor& component = descriptor->comp[c];
        const int width = c == 0 ? picture.width : (picture.width + 1) / 2;
        const int height = c == 0 ? picture.height : (picture.height + 1) / 2;
        picture.strides[c] = width * sampleBytes;
        picture.planes[c].resize(static_cast<std::size_t>(picture.strides[c]) * height);
        for (int y = 0; y < height; ++y) {
            std::uint8_t* to =
                picture.planes[c].data() + static_cast<std::size_t>(y) * picture.strides[c];
            const std::uint8_t* from =
                frame.data[component.plane] +
                static_cast<std::size_t>(y) * frame.linesize[component.plane] + component.offset;
            if (component.step == sampleBytes && component.shift == 0) {
                std::memcpy(to, from, static_cast<std::size_t>(picture.strides[c]));
                continue;
            }
            // Interleaved chroma (NV12, P010 from a device), samples in the high bits.
            for (int x = 0; x < width; ++x) {
                const std::uint8_t* s = from + static_cast<std::size_t>(x) * component.step;
                if (sampleBytes == 1) {
                    to[x] = static_cast<std::uint8_t>(s[0] >> component.shift);
                } else {
                    const int v = (s[0] | (s[1] << 8)) >> component.shift;
                    to[2 * x] = static_cast<std::uint8_t>(v);
                    to[2 * x + 1] = static_cast<std::uint8_t>(v >> 8);
                }
            }
        }
    }
    return true;
}

std::vector<DecodedPicture> HevcDecoder::receive() {
    std::vector<DecodedPicture> pictures;
    while (true) {
        const int result = avcodec_receive_frame(context_, frame_);
        if (result == AVERROR(EAGAIN) || result == AVERROR_EOF) break;
        if (result < 0) {
            ++errors_;
            lastError_ = "receive failed";
            break;
        }
        const AVFrame* source = frame_;
        if (frame_->format == AV_PIX_FMT_VAAPI) {
            av_frame_unref(transfer_);
            if (av_hwframe_transfer_data(transfer_, frame_, 0) < 0) {
                ++errors_;
                lastError_ = "a VA-API picture could not be copied to memory";
                av_frame_unref(frame_);
                // The device fails: software from here on, from the next key frame.
                openSoftware("VA-API on " + node_ + " failed: " + lastError_);
                break;
            }
            transfer_->color_primaries = frame_->color_primaries;
            transfer_->color_trc = frame_->color_trc;
            transfer_->colorspace = frame_->colorspace;
            transfer_->color_range = frame_->color_range;
            transfer_->key_frame = frame_->key_frame;
            source = transfer_;
        }
        DecodedPicture picture;
        const bool copied = copyPicture(*source, picture);
        av_frame_unref(frame_);
        av_frame_unref(transfer_);
        if (!copied) {
            ++errors_;
            lastError_ = "not a 4:2:0 picture";
            continue;
        }
        pictures.push_back(std::move(picture));
    }
    return pictures;
}

std::vector<DecodedPicture> HevcDecoder::decode(ByteView accessUnit) {
    if (accessUnit.empty()) return {};
    if (av_new_packet(packet_, static_cast<int>(accessUnit.size())) < 0) {
        ++errors_;
        lastError_ = "out of memory";
        return {};
    }
    std::memcpy(packet_->data, accessUnit.data(), accessUnit.size());
    const int result = avcodec_send_packet(context_, packet_);
    av_packet_unref(packet_);
    if (result < 0) {
        ++errors_;
        char text[AV_ERROR_MAX_STRING_SIZE] = {};
        av_strerror(result, text, sizeof text);
        lastError_ = text;
    }
    return receive();
}

std::vector<DecodedPicture> HevcDecoder::flush() {
    avcodec_send_packet(context_, nullptr);
    auto pictures = receive();
    avcodec_flush_buffers(context_);
    return pictures;
}

}  // namespace vl
