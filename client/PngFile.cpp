#include "client/PngFile.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
}

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <memory>

namespace vl {

namespace {

struct CodecContextFree {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameFree {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketFree {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};

bool fail(std::string* error, std::string text) {
    if (error) *error = std::move(text);
    return false;
}

}  // namespace

bool writePng(const std::string& path, int width, int height, ByteView rgb, std::string* error) {
    if (width <= 0 || height <= 0 ||
        rgb.size() != static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 3)
        return fail(error, "picture of " + std::to_string(width) + "x" + std::to_string(height) +
                               " with " + std::to_string(rgb.size()) + " bytes");
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_PNG);
    if (!codec) return fail(error, "libavcodec has no PNG encoder");
    std::unique_ptr<AVCodecContext, CodecContextFree> context(avcodec_alloc_context3(codec));
    std::unique_ptr<AVFrame, FrameFree> frame(av_frame_alloc());
    std::unique_ptr<AVPacket, PacketFree> packet(av_packet_alloc());
    if (!context || !frame || !packet) return fail(error, "out of memory");
    context->width = width;
    context->height = height;
    context->pix_fmt = AV_PIX_FMT_RGB24;
    context->time_base = {1, 1};
    if (avcodec_open2(context.get(), codec, nullptr) < 0)
        return fail(error, "cannot open the PNG encoder");

    frame->format = AV_PIX_FMT_RGB24;
    frame->width = width;
    frame->height = height;
    if (av_frame_get_buffer(frame.get(), 0) < 0) return fail(error, "out of memory");
    for (int y = 0; y < height; ++y)
        std::copy_n(rgb.data() + static_cast<std::size_t>(y) * width * 3,
                    static_cast<std::size_t>(width) * 3,
                    frame->data[0] + static_cast<std::ptrdiff_t>(y) * frame->linesize[0]);
    if (avcodec_send_frame(context.get(), frame.get()) < 0 ||
        avcodec_receive_packet(context.get(), packet.get()) < 0)
        return fail(error, "the PNG encoder failed");

    {
        std::ofstream file(path, std::ios::binary | std::ios::trunc);
        file.write(reinterpret_cast<const char*>(packet->data), packet->size);
        file.close();
        if (!file.fail()) return true;
    }
    std::remove(path.c_str());
    return fail(error, "cannot write " + path);
}

}  // namespace vl
