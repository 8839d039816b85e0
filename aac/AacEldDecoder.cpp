#include "aac/AacEldDecoder.h"

#include <cmath>
#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/log.h>
#include <libavutil/mem.h>
}

namespace vl::aac {

const char* description(DecodeError error) {
    switch (error) {
        case DecodeError::none:
            return "no error";
        case DecodeError::emptyUnit:
            return "empty access unit";
        case DecodeError::oversizedUnit:
            return "access unit larger than the format allows";
        case DecodeError::rejected:
            return "the codec rejected the access unit";
        case DecodeError::wrongShape:
            return "decoded audio has an unexpected shape";
    }
    return "unknown error";
}

struct AacEldDecoder::Codec {
    AVCodecContext* context = nullptr;
    AVPacket* packet = nullptr;
    AVFrame* frame = nullptr;
    int channels = 0;
    ~Codec() {
        av_frame_free(&frame);
        av_packet_free(&packet);
        avcodec_free_context(&context);
    }
};

std::unique_ptr<AacEldDecoder> AacEldDecoder::create(const std::vector<uint8_t>& config,
                                                     std::string* why) {
    auto fail = [why](const char* text) {
        if (why) *why = text;
        return std::unique_ptr<AacEldDecoder>();
    };
    if (config.empty() || config.size() > 64) return fail("bad AudioSpecificConfig size");
    const AVCodec* aac = avcodec_find_decoder_by_name("aac");
    if (!aac) return fail("libavcodec has no aac decoder");
    auto codec = std::make_unique<Codec>();
    codec->context = avcodec_alloc_context3(aac);
    codec->packet = av_packet_alloc();
    codec->frame = av_frame_alloc();
    if (!codec->context || !codec->packet || !codec->frame) return fail("out of memory");
    codec->context->extradata =
        static_cast<uint8_t*>(av_mallocz(config.size() + AV_INPUT_BUFFER_PADDING_SIZE));
    if (!codec->context->extradata) return fail("out of memory");
    std::memcpy(codec->context->extradata, config.data(), config.size());
    codec->context->extradata_size = int(config.size());
    codec->context->sample_rate = 48000;
    if (avcodec_open2(codec->context, aac, nullptr) < 0)
        return fail("libavcodec rejected the AudioSpecificConfig");
    codec->channels = codec->context->ch_layout.nb_channels;
    if (codec->channels <= 0) return fail("configuration without channels");
    return std::unique_ptr<AacEldDecoder>(new AacEldDecoder(std::move(codec)));
}

AacEldDecoder::AacEldDecoder(std::unique_ptr<Codec> codec) : codec_(std::move(codec)) {}
AacEldDecoder::~AacEldDecoder() = default;

int AacEldDecoder::channelCount() const {
    return codec_->channels;
}
int AacEldDecoder::sampleRate() const {
    return codec_->context->sample_rate;
}

std::vector<std::string> AacEldDecoder::channelNames() const {
    std::vector<std::string> names;
    const AVChannelLayout& layout = codec_->context->ch_layout;
    for (int i = 0; i < layout.nb_channels; ++i) {
        char name[32] = {};
        av_channel_name(name, sizeof name, av_channel_layout_channel_from_index(&layout, i));
        names.emplace_back(name);
    }
    return names;
}

void AacEldDecoder::quietCodecMessages() {
    // Errors (16) and warnings (24) land on debug (48), which the default level (32) hides.
    codec_->context->log_level_offset = AV_LOG_DEBUG - AV_LOG_ERROR;
}

void AacEldDecoder::reset() {
    avcodec_flush_buffers(codec_->context);
    lastError_ = DecodeError::none;
}

std::optional<DecodedAudio> AacEldDecoder::decode(const uint8_t* data, std::size_t size) {
    lastError_ = DecodeError::none;
    if (!data || size == 0) {
        lastError_ = DecodeError::emptyUnit;
        return std::nullopt;
    }
    if (size > kMaxUnitBytesPerChannel * std::size_t(codec_->channels)) {
        lastError_ = DecodeError::oversizedUnit;
        return std::nullopt;
    }
    AVPacket* packet = codec_->packet;
    av_packet_unref(packet);
    if (av_new_packet(packet, int(size)) < 0) {
        lastError_ = DecodeError::rejected;
        return std::nullopt;
    }
    std::memcpy(packet->data, data, size);
    const int sent = avcodec_send_packet(codec_->context, packet);
    av_packet_unref(packet);
    if (sent < 0) {
        lastError_ = DecodeError::rejected;
        return std::nullopt;
    }
    AVFrame* frame = codec_->frame;
    if (avcodec_receive_frame(codec_->context, frame) < 0) {
        lastError_ = DecodeError::rejected;
        return std::nullopt;
    }
    // Drain anything further so the next unit starts clean; one unit is one frame.
    std::optional<DecodedAudio> result;
    if (frame->nb_samples != kFrameLength || frame->ch_layout.nb_channels != codec_->channels ||
        frame->format != AV_SAMPLE_FMT_FLTP) {
        lastError_ = DecodeError::wrongShape;
    } else {
        DecodedAudio audio;
        audio.channels = codec_->channels;
        audio.frames = frame->nb_samples;
        audio.planar.resize(std::size_t(audio.channels) * audio.frames);
        for (int c = 0; c < audio.channels; ++c) {
            const float* src = reinterpret_cast<const float*>(frame->extended_data[c]);
            float* dst = audio.planar.data() + std::size_t(c) * audio.frames;
            for (int i = 0; i < audio.frames; ++i) dst[i] = std::isfinite(src[i]) ? src[i] : 0.0f;
        }
        result = std::move(audio);
    }
    av_frame_unref(frame);
    while (avcodec_receive_frame(codec_->context, frame) >= 0) av_frame_unref(frame);
    return result;
}

}  // namespace vl::aac
