#include "client/AudioSink.h"

#include "Capture/ZuAudioEncoder.h"
#include "aac/AacEldDecoder.h"
#include "aac/tools/WavFile.h"

#include <algorithm>
#include <cmath>

namespace vl {

namespace {
// WAVE speaker masks in the stream's channel order (L R C LFE Ls Rs Rls Rrs, then the heights).
std::uint32_t speakerMask(ZuChannels layout) {
    switch (layout) {
        case ZuChannels::stereo:
            return 0x3;
        case ZuChannels::twoPointOne:
            return 0x3 | 0x8;
        case ZuChannels::fivePointOne:
            return 0x3f;
        case ZuChannels::sevenPointOne:
            return 0x63f;
        case ZuChannels::atmos:
            return 0x63f | 0x1000 | 0x4000 | 0x8000 | 0x20000;
    }
    return 0;
}
}  // namespace

AudioSink::AudioSink(ZuChannels layout, std::unique_ptr<aac::AacEldDecoder> decoder)
    : layout_(layout), decoder_(std::move(decoder)) {}

AudioSink::~AudioSink() {
    if (!stream_) return;
    // The handler runs under the stream's lock: once it is cleared no packet is being taken, and
    // none will be, while the decoder goes.
    stream_->setPacketHandler(nullptr);
    stream_->close();
}

std::unique_ptr<AudioSink> AudioSink::open(const std::string& host, std::uint16_t port,
                                           ZuChannels layout, std::string* error) {
    // The decoder is configured as the server's encoder says: the same layout, the same rate.
    auto encoder = ZuAudioEncoder::create(layout);
    if (!encoder) {
        *error = "no AAC-ELD configuration for " + std::string(description(layout));
        return nullptr;
    }
    std::string why;
    auto decoder = aac::AacEldDecoder::create(encoder->audioSpecificConfig(), &why);
    if (!decoder) {
        *error = "AAC-ELD decoder: " + why;
        return nullptr;
    }
    decoder->quietCodecMessages();
    std::unique_ptr<AudioSink> sink(new AudioSink(layout, std::move(decoder)));
    sink->stream_ = StreamClient::open(host, port, std::chrono::seconds(10), error, false);
    if (!sink->stream_) return nullptr;
    AudioSink* raw = sink.get();
    sink->stream_->setPacketHandler([raw](Packet&& packet) { raw->take(std::move(packet)); });
    // The stream reaches the server with its first bytes; the server echoes them.
    sink->stream_->send(
        Packet(sink->hello_, PacketType::pktAudioStreamData, InteractionType::rdpAudio));
    return sink;
}

void AudioSink::setOnDecoded(
    std::function<void(const std::vector<float>&, Clock::time_point)> handler) {
    std::lock_guard lock(mutex_);
    onDecoded_ = std::move(handler);
}

void AudioSink::setKeepPcm(bool keep) {
    std::lock_guard lock(mutex_);
    keepPcm_ = keep;
    if (!keep) pcm_.clear();
}

void AudioSink::take(Packet&& packet) {
    const auto arrived = Clock::now();
    if (packet.packetId == hello_) return;  // our own, echoed
    if (packet.type != PacketType::pktAudioStreamData || !packet.data) return;
    std::lock_guard lock(mutex_);
    ++packets_;
    auto decoded = decoder_->decode(packet.data->data(), packet.data->size());
    if (!decoded) {
        ++decodeErrors_;
        return;
    }
    const int channels = decoded->channels;
    const int frames = decoded->frames;
    std::vector<float> interleaved(std::size_t(channels) * frames);
    float peak = 0;
    for (int i = 0; i < frames; ++i)
        for (int c = 0; c < channels; ++c) {
            const float v = decoded->channel(c)[i];
            interleaved[std::size_t(i) * channels + c] = v;
            peak = std::max(peak, std::fabs(v));
        }
    if (keepPcm_) pcm_.insert(pcm_.end(), interleaved.begin(), interleaved.end());
    recentPeaks_.push_back(peak);
    if (recentPeaks_.size() > 10) recentPeaks_.erase(recentPeaks_.begin());
    if (onDecoded_) onDecoded_(interleaved, arrived);
}

std::uint64_t AudioSink::packets() const {
    std::lock_guard lock(mutex_);
    return packets_;
}

std::uint64_t AudioSink::decodeErrors() const {
    std::lock_guard lock(mutex_);
    return decodeErrors_;
}

double AudioSink::recentLevelDbfs() const {
    std::lock_guard lock(mutex_);
    float peak = 0;
    for (float p : recentPeaks_) peak = std::max(peak, p);
    return peak > 0 ? 20 * std::log10(double(peak)) : -INFINITY;
}

bool AudioSink::open() const {
    return stream_ && stream_->isOpen();
}

bool AudioSink::finish(const std::string& wavPath, std::string* error) {
    if (stream_) stream_->close();
    aac::tools::WavAudio wav;
    {
        std::lock_guard lock(mutex_);
        wav.sampleRate = 48000;
        wav.channels = decoder_->channelCount();
        wav.channelMask = wav.channels == int(channelCount(layout_)) && wav.channels > 2
                              ? speakerMask(layout_)
                              : 0;
        wav.samples = pcm_;
    }
    if (wavPath.empty()) return true;
    std::string why;
    if (!aac::tools::writeWav(wavPath, wav, why)) {
        *error = "cannot write " + wavPath + ": " + why;
        return false;
    }
    return true;
}

}  // namespace vl
