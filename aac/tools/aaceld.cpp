// aaceld: encode WAV to AAC-ELD in MP4 with our encoder, or decode such a file to WAV.
//   aaceld encode in.wav out.m4a [--bitrate N] [--layout mono|stereo|5.1|7.1]
//   aaceld decode in.m4a out.wav
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "aac/AacEldDecoder.h"
#include "aac/AacEldEncoder.h"
#include "aac/tools/Mp4Audio.h"
#include "aac/tools/WavFile.h"

namespace {

using namespace vl::aac;
using namespace vl::aac::tools;

constexpr int kFrame = 480;
constexpr int kDelay = 240;

int usage() {
    std::fprintf(
        stderr,
        "usage: aaceld encode in.wav out.m4a [--bitrate N] [--layout mono|stereo|5.1|7.1]\n"
        "       aaceld decode in.m4a out.wav\n");
    return 2;
}

int fail(const std::string& message) {
    std::fprintf(stderr, "aaceld: %s\n", message.c_str());
    return 1;
}

std::optional<EldChannelLayout> layoutNamed(const std::string& name) {
    if (name == "mono") return EldChannelLayout::mono;
    if (name == "stereo") return EldChannelLayout::stereo;
    if (name == "5.1") return EldChannelLayout::fivePointOne;
    if (name == "7.1") return EldChannelLayout::sevenPointOne;
    return std::nullopt;
}

std::optional<EldChannelLayout> layoutForChannels(int channels) {
    switch (channels) {
        case 1:
            return EldChannelLayout::mono;
        case 2:
            return EldChannelLayout::stereo;
        case 6:
            return EldChannelLayout::fivePointOne;
        case 8:
            return EldChannelLayout::sevenPointOne;
    }
    return std::nullopt;
}

int encode(const std::string& in, const std::string& out, int bitRate,
           std::optional<EldChannelLayout> layout) {
    std::string error;
    auto wav = readWav(in, error);
    if (!wav) return fail(error);
    if (wav->sampleRate != 48000) return fail("input must be 48000 Hz");
    if (!layout) layout = layoutForChannels(wav->channels);
    if (!layout || channelCount(*layout) != wav->channels)
        return fail("the input's " + std::to_string(wav->channels) +
                    " channels do not match a layout (1, 2, 6 or 8 channels)");
    const int channels = wav->channels;
    // WAV orders 7.1 as FL FR FC LFE BL BR SL SR; the encoder takes the side pair first.
    static constexpr int kFromWav71[8] = {0, 1, 2, 3, 6, 7, 4, 5};

    AacEldEncoder encoder(*layout, bitRate);
    auto writer = Mp4AudioWriter::open(out, encoder.audioSpecificConfig(), channels,
                                       encoder.bitRate(), error);
    if (!writer) return fail(error);
    // Enough frames that the last input sample leaves the codec delay.
    const std::size_t frames = wav->frames();
    const std::size_t units = (frames + kDelay + kFrame - 1) / kFrame;
    std::vector<float> chunk(std::size_t(kFrame) * channels);
    int maxBits = 0;
    for (std::size_t u = 0; u < units; ++u) {
        for (int i = 0; i < kFrame; ++i) {
            const std::size_t frame = u * kFrame + i;
            for (int c = 0; c < channels; ++c) {
                const int source = channels == 8 ? kFromWav71[c] : c;
                chunk[std::size_t(i) * channels + c] =
                    frame < frames ? wav->samples[frame * channels + source] : 0.0f;
            }
        }
        const auto unit = encoder.encode(chunk.data());
        maxBits = std::max(maxBits, encoder.lastFrame().bits);
        if (!writer->write(unit, error)) return fail(error);
    }
    if (!writer->finish(error)) return fail(error);
    std::printf("%s: %zu access units, %s, %d bit/s, largest %d of %d bits\n", out.c_str(), units,
                description(*layout), encoder.bitRate(), maxBits, encoder.bitsPerFrame());
    return 0;
}

int decode(const std::string& in, const std::string& out) {
    std::string error;
    auto track = readMp4Audio(in, error);
    if (!track) return fail(error);
    auto decoder = AacEldDecoder::create(track->audioSpecificConfig, &error);
    if (!decoder) return fail(error);
    static const std::map<std::string, uint32_t> kSpeakerBits = {
        {"FL", 0x1},  {"FR", 0x2},  {"FC", 0x4},   {"LFE", 0x8},
        {"BL", 0x10}, {"BR", 0x20}, {"SL", 0x200}, {"SR", 0x400}};
    WavAudio wav;
    wav.sampleRate = 48000;
    wav.channels = decoder->channelCount();
    for (const std::string& name : decoder->channelNames()) {
        const auto bit = kSpeakerBits.find(name);
        if (bit != kSpeakerBits.end()) wav.channelMask |= bit->second;
    }
    int failures = 0;
    int64_t skip = track->skipSamples;
    for (const auto& unit : track->units) {
        auto audio = decoder->decode(unit.data(), unit.size());
        if (!audio) {
            ++failures;
            std::fprintf(stderr, "aaceld: unit %zu: %s\n", &unit - track->units.data(),
                         description(decoder->lastError()));
            wav.samples.insert(wav.samples.end(), std::size_t(kFrame) * wav.channels, 0.0f);
            continue;
        }
        for (int i = 0; i < audio->frames; ++i)
            for (int c = 0; c < audio->channels; ++c) wav.samples.push_back(audio->channel(c)[i]);
    }
    const std::size_t drop = std::min<std::size_t>(
        std::size_t(std::max<int64_t>(skip, 0)) * wav.channels, wav.samples.size());
    wav.samples.erase(wav.samples.begin(), wav.samples.begin() + std::ptrdiff_t(drop));
    if (!writeWav(out, wav, error)) return fail(error);
    std::printf("%s: %zu access units, %d channels, %lld priming samples dropped, %d failed\n",
                out.c_str(), track->units.size(), wav.channels, static_cast<long long>(skip),
                failures);
    return failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) return usage();
    const std::string command = argv[1];
    if (command == "decode" && argc == 4) return decode(argv[2], argv[3]);
    if (command != "encode") return usage();
    int bitRate = 0;
    std::optional<EldChannelLayout> layout;
    for (int i = 4; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--bitrate" && i + 1 < argc) {
            bitRate = std::atoi(argv[++i]);
            if (bitRate <= 0) return fail("bad bit rate");
        } else if (option == "--layout" && i + 1 < argc) {
            layout = layoutNamed(argv[++i]);
            if (!layout) return fail("unknown layout");
        } else {
            return usage();
        }
    }
    return encode(argv[2], argv[3], bitRate, layout);
}
