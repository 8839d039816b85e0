#include "aac/tools/Mp4Audio.h"

#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/mem.h>
}

namespace vl::aac::tools {
namespace {

constexpr int kFrame = 480;
constexpr int kPriming = 240;

std::string avError(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

}  // namespace

struct Mp4AudioWriter::Muxer {
    AVFormatContext* format = nullptr;
    AVStream* stream = nullptr;
    AVPacket* packet = nullptr;
    int64_t nextPts = -kPriming;
    bool headerWritten = false;
    bool trailerWritten = false;
    ~Muxer() {
        if (format && headerWritten && !trailerWritten) av_write_trailer(format);
        if (format && !(format->oformat->flags & AVFMT_NOFILE)) avio_closep(&format->pb);
        avformat_free_context(format);
        av_packet_free(&packet);
    }
};

Mp4AudioWriter::Mp4AudioWriter(std::unique_ptr<Muxer> muxer) : muxer_(std::move(muxer)) {}
Mp4AudioWriter::~Mp4AudioWriter() = default;

std::unique_ptr<Mp4AudioWriter> Mp4AudioWriter::open(const std::string& path,
                                                     const std::vector<uint8_t>& config,
                                                     int channels, int bitRate,
                                                     std::string& error) {
    auto m = std::make_unique<Muxer>();
    int rc = avformat_alloc_output_context2(&m->format, nullptr, "mp4", path.c_str());
    if (rc < 0 || !m->format) {
        error = "cannot create MP4 muxer: " + avError(rc);
        return nullptr;
    }
    m->stream = avformat_new_stream(m->format, nullptr);
    m->packet = av_packet_alloc();
    if (!m->stream || !m->packet) {
        error = "out of memory";
        return nullptr;
    }
    AVCodecParameters* par = m->stream->codecpar;
    par->codec_type = AVMEDIA_TYPE_AUDIO;
    par->codec_id = AV_CODEC_ID_AAC;
    par->profile = 38;  // object type 39 - 1, as libavcodec numbers AAC profiles
    par->sample_rate = 48000;
    par->frame_size = kFrame;
    par->bit_rate = bitRate;
    par->initial_padding = kPriming;
    av_channel_layout_default(&par->ch_layout, channels);
    par->extradata =
        static_cast<uint8_t*>(av_mallocz(config.size() + AV_INPUT_BUFFER_PADDING_SIZE));
    if (!par->extradata) {
        error = "out of memory";
        return nullptr;
    }
    std::memcpy(par->extradata, config.data(), config.size());
    par->extradata_size = int(config.size());
    m->stream->time_base = AVRational{1, 48000};
    if (!(m->format->oformat->flags & AVFMT_NOFILE)) {
        rc = avio_open(&m->format->pb, path.c_str(), AVIO_FLAG_WRITE);
        if (rc < 0) {
            error = "cannot open " + path + ": " + avError(rc);
            return nullptr;
        }
    }
    rc = avformat_write_header(m->format, nullptr);
    if (rc < 0) {
        error = "cannot write MP4 header: " + avError(rc);
        return nullptr;
    }
    m->headerWritten = true;
    return std::unique_ptr<Mp4AudioWriter>(new Mp4AudioWriter(std::move(m)));
}

// The first unit's first 240 samples are codec delay: timestamps start at -240, which the MP4
// muxer records as an edit list so readers drop them.
bool Mp4AudioWriter::write(const std::vector<uint8_t>& unit, std::string& error) {
    AVPacket* p = muxer_->packet;
    av_packet_unref(p);
    if (av_new_packet(p, int(unit.size())) < 0) {
        error = "out of memory";
        return false;
    }
    if (!unit.empty()) std::memcpy(p->data, unit.data(), unit.size());
    p->stream_index = muxer_->stream->index;
    p->pts = p->dts = muxer_->nextPts;
    p->duration = kFrame;
    p->flags |= AV_PKT_FLAG_KEY;
    av_packet_rescale_ts(p, AVRational{1, 48000}, muxer_->stream->time_base);
    muxer_->nextPts += kFrame;
    const int rc = av_interleaved_write_frame(muxer_->format, p);
    if (rc < 0) {
        error = "cannot write packet: " + avError(rc);
        return false;
    }
    return true;
}

bool Mp4AudioWriter::finish(std::string& error) {
    const int rc = av_write_trailer(muxer_->format);
    muxer_->trailerWritten = true;
    if (rc < 0) {
        error = "cannot finish MP4: " + avError(rc);
        return false;
    }
    return true;
}

std::optional<Mp4AudioTrack> readMp4Audio(const std::string& path, std::string& error) {
    AVFormatContext* format = nullptr;
    int rc = avformat_open_input(&format, path.c_str(), nullptr, nullptr);
    if (rc < 0) {
        error = "cannot open " + path + ": " + avError(rc);
        return std::nullopt;
    }
    struct Closer {
        AVFormatContext** f;
        ~Closer() { avformat_close_input(f); }
    } closer{&format};
    rc = avformat_find_stream_info(format, nullptr);
    if (rc < 0) {
        error = "cannot read stream info: " + avError(rc);
        return std::nullopt;
    }
    const int index = av_find_best_stream(format, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    if (index < 0) {
        error = "no audio stream in " + path;
        return std::nullopt;
    }
    AVStream* stream = format->streams[index];
    if (stream->codecpar->codec_id != AV_CODEC_ID_AAC || stream->codecpar->extradata_size <= 0) {
        error = "the audio stream is not AAC with a decoder configuration";
        return std::nullopt;
    }
    Mp4AudioTrack track;
    track.audioSpecificConfig.assign(
        stream->codecpar->extradata,
        stream->codecpar->extradata + stream->codecpar->extradata_size);
    track.sampleRate = stream->codecpar->sample_rate;
    track.channels = stream->codecpar->ch_layout.nb_channels;
    AVPacket* packet = av_packet_alloc();
    bool first = true;
    while (av_read_frame(format, packet) >= 0) {
        if (packet->stream_index == index) {
            if (first) {
                first = false;
                size_t size = 0;
                const uint8_t* skip =
                    av_packet_get_side_data(packet, AV_PKT_DATA_SKIP_SAMPLES, &size);
                if (skip && size >= 4)
                    track.skipSamples =
                        skip[0] | skip[1] << 8 | skip[2] << 16 | int64_t(skip[3]) << 24;
                else if (packet->pts != AV_NOPTS_VALUE && packet->pts < 0)
                    track.skipSamples =
                        av_rescale_q(-packet->pts, stream->time_base, AVRational{1, 48000});
            }
            track.units.emplace_back(packet->data, packet->data + packet->size);
        }
        av_packet_unref(packet);
    }
    av_packet_free(&packet);
    return track;
}

}  // namespace vl::aac::tools
