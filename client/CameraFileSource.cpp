#include "client/CameraSource.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libswscale/swscale.h>
}

namespace vl {

namespace {

class VideoFileSource final : public CameraSource {
  public:
    VideoFileSource(int width, int height) : width_(width), height_(height) {}
    ~VideoFileSource() override {
        sws_freeContext(scaler_);
        av_frame_free(&frame_);
        av_packet_free(&packet_);
        avcodec_free_context(&codec_);
        avformat_close_input(&format_);
    }

    bool open(const std::string& path, std::string* error) {
        if (avformat_open_input(&format_, path.c_str(), nullptr, nullptr) < 0 ||
            avformat_find_stream_info(format_, nullptr) < 0) {
            *error = "cannot read " + path;
            return false;
        }
        const AVCodec* decoder = nullptr;
        stream_ = av_find_best_stream(format_, AVMEDIA_TYPE_VIDEO, -1, -1, &decoder, 0);
        if (stream_ < 0 || !decoder) {
            *error = "no video stream in " + path;
            return false;
        }
        codec_ = avcodec_alloc_context3(decoder);
        avcodec_parameters_to_context(codec_, format_->streams[stream_]->codecpar);
        if (avcodec_open2(codec_, decoder, nullptr) < 0) {
            *error = "cannot decode the video of " + path;
            return false;
        }
        frame_ = av_frame_alloc();
        packet_ = av_packet_alloc();
        return true;
    }

    PixelBuffer nextFrame() override {
        PixelBuffer out =
            makePixelBuffer(width_, height_, PixelFormat::biPlanar420Video8, ColorDescription{});
        // At the end, start again from the beginning; give up after a few empty rounds.
        for (int rounds = 0; rounds < 3;) {
            const int received = avcodec_receive_frame(codec_, frame_);
            if (received == 0) {
                scale(out);
                return out;
            }
            if (received == AVERROR_EOF) {
                av_seek_frame(format_, stream_, 0, AVSEEK_FLAG_BACKWARD);
                avcodec_flush_buffers(codec_);
                ++rounds;
                continue;
            }
            if (av_read_frame(format_, packet_) < 0) {
                avcodec_send_packet(codec_, nullptr);  // drain, then EOF
                continue;
            }
            if (packet_->stream_index == stream_) avcodec_send_packet(codec_, packet_);
            av_packet_unref(packet_);
        }
        return out;  // black: the file has no picture
    }

  private:
    void scale(PixelBuffer& out) {
        scaler_ = sws_getCachedContext(scaler_, frame_->width, frame_->height,
                                       static_cast<AVPixelFormat>(frame_->format), width_, height_,
                                       AV_PIX_FMT_NV12, SWS_BILINEAR, nullptr, nullptr, nullptr);
        if (!scaler_) return;
        std::uint8_t* planes[2] = {out.planes[0].bytes.data(), out.planes[1].bytes.data()};
        const int strides[2] = {static_cast<int>(out.planes[0].bytesPerRow),
                                static_cast<int>(out.planes[1].bytesPerRow)};
        sws_scale(scaler_, frame_->data, frame_->linesize, 0, frame_->height, planes, strides);
    }

    int width_;
    int height_;
    AVFormatContext* format_ = nullptr;
    AVCodecContext* codec_ = nullptr;
    AVFrame* frame_ = nullptr;
    AVPacket* packet_ = nullptr;
    SwsContext* scaler_ = nullptr;
    int stream_ = -1;
};

}  // namespace

std::unique_ptr<CameraSource> openVideoFile(const std::string& path, int width, int height,
                                            std::string* error) {
    auto source = std::make_unique<VideoFileSource>(width, height);
    std::string reason;
    if (!source->open(path, &reason)) {
        if (error) *error = reason;
        return nullptr;
    }
    return source;
}

}  // namespace vl
