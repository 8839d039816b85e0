#include "platform/videocodec/libavcodec/HevcDecoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include <cstring>

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

std::unique_ptr<HevcDecoder> HevcDecoder::create() {
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_HEVC);
    if (!codec) return nullptr;
    std::unique_ptr<HevcDecoder> decoder(new HevcDecoder());
    decoder->context_ = avcodec_alloc_context3(codec);
    decoder->frame_ = av_frame_alloc();
    decoder->packet_ = av_packet_alloc();
    if (!decoder->context_ || !decoder->frame_ || !decoder->packet_) return nullptr;
    // Frame threads would hold pictures back; one thread gives each picture out at once.
    decoder->context_->thread_count = 1;
    decoder->context_->flags |= AV_CODEC_FLAG_LOW_DELAY;
    if (avcodec_open2(decoder->context_, codec, nullptr) < 0) return nullptr;
    return decoder;
}

HevcDecoder::~HevcDecoder() {
    av_packet_free(&packet_);
    av_frame_free(&frame_);
    avcodec_free_context(&context_);
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
        const auto format = static_cast<AVPixelFormat>(frame_->format);
        const AVPixFmtDescriptor* descriptor = av_pix_fmt_desc_get(format);
        if (!descriptor || descriptor->nb_components < 3 || descriptor->log2_chroma_w != 1 ||
            descriptor->log2_chroma_h != 1) {
            ++errors_;
            lastError_ = "not a 4:2:0 picture";
            av_frame_unref(frame_);
            continue;
        }
        DecodedPicture picture;
        picture.width = frame_->width;
        picture.height = frame_->height;
        picture.bitDepth = descriptor->comp[0].depth;
        picture.keyFrame = frame_->key_frame != 0;
        picture.colorPrimaries = frame_->color_primaries;
        picture.transferCharacteristics = frame_->color_trc;
        picture.matrixCoefficients = frame_->colorspace;
        picture.fullRange = frame_->color_range == AVCOL_RANGE_JPEG;
        const int sampleBytes = picture.bitDepth > 8 ? 2 : 1;
        for (int plane = 0; plane < 3; ++plane) {
            const int width = plane == 0 ? picture.width : (picture.width + 1) / 2;
            const int height = plane == 0 ? picture.height : (picture.height + 1) / 2;
            picture.strides[plane] = width * sampleBytes;
            picture.planes[plane].resize(static_cast<std::size_t>(picture.strides[plane]) * height);
            for (int y = 0; y < height; ++y) {
                std::memcpy(
                    picture.planes[plane].data() +
                        static_cast<std::size_t>(y) * picture.strides[plane],
                    frame_->data[plane] + static_cast<std::size_t>(y) * frame_->linesize[plane],
                    static_cast<std::size_t>(picture.strides[plane]));
            }
        }
        pictures.push_back(std::move(picture));
        av_frame_unref(frame_);
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
