// The quality and speed anchor: libavcodec's own AAC-LC encoder (what `ffmpeg -c:a aac` runs)
// and its decoder, driven in process on the same interleaved float input as ours.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/mem.h>
}

namespace vl::bench {

inline void lcCheck(int status, const char* what) {
    if (status < 0) throw std::runtime_error(std::string("libavcodec: ") + what);
}

class LcEncoder {
  public:
    LcEncoder(int channels, int bitRate) : channels_(channels) {
        const AVCodec* codec = avcodec_find_encoder_by_name("aac");
        if (!codec) throw std::runtime_error("libavcodec has no aac encoder");
        ctx_ = avcodec_alloc_context3(codec);
        ctx_->sample_rate = 48000;
        ctx_->sample_fmt = AV_SAMPLE_FMT_FLTP;
        ctx_->bit_rate = bitRate;
        ctx_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        av_channel_layout_default(&ctx_->ch_layout, channels);
        lcCheck(avcodec_open2(ctx_, codec, nullptr), "open aac encoder");
        frame_ = av_frame_alloc();
        packet_ = av_packet_alloc();
    }
    ~LcEncoder() {
        av_packet_free(&packet_);
        av_frame_free(&frame_);
        avcodec_free_context(&ctx_);
    }
    LcEncoder(const LcEncoder&) = delete;
    LcEncoder& operator=(const LcEncoder&) = delete;

    std::vector<uint8_t> config() const {
        return {ctx_->extradata, ctx_->extradata + ctx_->extradata_size};
    }
    int priming() const { return ctx_->initial_padding; }

    // Whole input in frames of the codec's size; `flush` ends the stream.
    void encode(const std::vector<float>& interleaved, std::vector<std::vector<uint8_t>>& out,
                bool flush) {
        const int frames = int(interleaved.size() / channels_);
        for (int start = 0; start < frames; start += ctx_->frame_size) {
            const int n = std::min(ctx_->frame_size, frames - start);
            frame_->nb_samples = n;
            frame_->format = AV_SAMPLE_FMT_FLTP;
            frame_->sample_rate = 48000;
            av_channel_layout_copy(&frame_->ch_layout, &ctx_->ch_layout);
            lcCheck(av_frame_get_buffer(frame_, 0), "frame buffer");
            for (int c = 0; c < channels_; ++c) {
                float* dst = reinterpret_cast<float*>(frame_->extended_data[c]);
                for (int i = 0; i < n; ++i)
                    dst[i] = interleaved[std::size_t(start + i) * channels_ + c];
            }
            frame_->pts = pts_;
            pts_ += n;
            lcCheck(avcodec_send_frame(ctx_, frame_), "send frame");
            av_frame_unref(frame_);
            drain(out);
        }
        if (flush) {
            avcodec_send_frame(ctx_, nullptr);
            drain(out);
        }
    }

  private:
    void drain(std::vector<std::vector<uint8_t>>& out) {
        while (avcodec_receive_packet(ctx_, packet_) >= 0) {
            out.emplace_back(packet_->data, packet_->data + packet_->size);
            av_packet_unref(packet_);
        }
    }
    int channels_;
    int64_t pts_ = 0;
    AVCodecContext* ctx_ = nullptr;
    AVFrame* frame_ = nullptr;
    AVPacket* packet_ = nullptr;
};

class LcDecoder {
  public:
    LcDecoder(const std::vector<uint8_t>& config, int channels) : channels_(channels) {
        const AVCodec* codec = avcodec_find_decoder_by_name("aac");
        ctx_ = avcodec_alloc_context3(codec);
        ctx_->extradata =
            static_cast<uint8_t*>(av_mallocz(config.size() + AV_INPUT_BUFFER_PADDING_SIZE));
        std::memcpy(ctx_->extradata, config.data(), config.size());
        ctx_->extradata_size = int(config.size());
        ctx_->sample_rate = 48000;
        lcCheck(avcodec_open2(ctx_, codec, nullptr), "open aac decoder");
        packet_ = av_packet_alloc();
        frame_ = av_frame_alloc();
    }
    ~LcDecoder() {
        av_frame_free(&frame_);
        av_packet_free(&packet_);
        avcodec_free_context(&ctx_);
    }
    LcDecoder(const LcDecoder&) = delete;
    LcDecoder& operator=(const LcDecoder&) = delete;

    // Appends the decoded samples per channel, priming included.
    void decode(const std::vector<uint8_t>& unit, std::vector<std::vector<float>>& out) {
        out.resize(channels_);
        lcCheck(av_new_packet(packet_, int(unit.size())), "packet");
        std::memcpy(packet_->data, unit.data(), unit.size());
        lcCheck(avcodec_send_packet(ctx_, packet_), "send packet");
        av_packet_unref(packet_);
        while (avcodec_receive_frame(ctx_, frame_) >= 0) {
            for (int c = 0; c < channels_ && c < frame_->ch_layout.nb_channels; ++c) {
                const float* src = reinterpret_cast<const float*>(frame_->extended_data[c]);
                out[c].insert(out[c].end(), src, src + frame_->nb_samples);
            }
            av_frame_unref(frame_);
        }
    }

  private:
    int channels_;
    AVCodecContext* ctx_ = nullptr;
    AVPacket* packet_ = nullptr;
    AVFrame* frame_ = nullptr;
};

}  // namespace vl::bench
