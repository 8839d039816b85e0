// The encoder fed arbitrary float samples — NaN, infinities, huge and denormal values — in
// arbitrary slices, for every layout and a range of bit rates: every packet stays within its
// frame's budget (the average plus at most one average frame saved by earlier frames), the bits
// sent never run ahead of the rate by more than that reservoir, and every packet decodes with the
// reference decoder to finite audio.
//
// Input: a layout byte, a bit-rate byte, a slicing byte, then raw 32-bit floats: up to two
// frames' worth (the first fills the reservoir, the second may spend it), the rest is ignored.
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <map>

#include "Capture/ZuAudioEncoder.h"
#include "aac/AacEldDecoder.h"
#include "base/Logger.h"

extern "C" {
#include <libavutil/log.h>
}

using namespace vl;

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

// Undefined behaviour (an overflowing rate computation, say) fails the run instead of scrolling by.
extern "C" const char* __ubsan_default_options() {
    return "halt_on_error=1:print_stacktrace=1";
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    Logger::shared().setWritesToStderr(false);
    av_log_set_level(AV_LOG_QUIET);  // the codec's complaints about garbage units
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    if (size < 3) return 0;
    const ZuChannels layouts[] = {ZuChannels::stereo, ZuChannels::twoPointOne,
                                  ZuChannels::fivePointOne, ZuChannels::sevenPointOne,
                                  ZuChannels::atmos};
    const ZuChannels layout = layouts[bytes[0] % 5];
    const std::uint32_t n = channelCount(layout);
    // 0: the default rate; otherwise 8 to 255 kbit/s per channel (the encoder clamps).
    const int bitRate = bytes[1] == 0 ? 0 : int(bytes[1]) * 1000 * int(n);
    const std::uint32_t slice = 1 + bytes[2] * 4u;  // frames per buffer
    // Encoders and reference decoders are made once and reset for every input: making one costs
    // more than encoding a frame. A bounded number of encoders is kept (about 250 KB each).
    static std::map<std::pair<ZuChannels, int>, std::unique_ptr<ZuAudioEncoder>> encoders;
    if (encoders.size() >= 64 && !encoders.contains({layout, bitRate})) encoders.clear();
    auto& encoder = encoders[{layout, bitRate}];
    if (!encoder) encoder = ZuAudioEncoder::create(layout, bitRate);
    check(encoder != nullptr);
    encoder->reset();
    static std::map<Bytes, std::unique_ptr<aac::AacEldDecoder>> decoders;
    auto& decoder = decoders[encoder->audioSpecificConfig()];
    if (!decoder) decoder = aac::AacEldDecoder::create(encoder->audioSpecificConfig());
    check(decoder != nullptr);
    decoder->reset();
    const std::size_t averageBits = std::size_t(encoder->bitRate()) * 480 / 48000;
    // A byte's padding of slack on top of the reservoir, which is one average frame.
    const std::size_t frameBudgetBits = 2 * averageBits + 7;
    std::size_t packets = 0, sentBits = 0;

    constexpr std::size_t maxFrames = 2;
    std::vector<float> samples(std::min((size - 3) / sizeof(float), maxFrames * 480 * n));
    if (!samples.empty()) std::memcpy(samples.data(), bytes + 3, samples.size() * sizeof(float));
    // Short inputs are repeated so that every run produces at least one packet.
    const std::size_t wanted = std::size_t(480) * n;
    const std::size_t given = samples.size();
    for (std::size_t i = given; given > 0 && i < wanted; ++i) samples.push_back(samples[i % given]);

    for (std::size_t at = 0; at < samples.size(); at += std::size_t(slice) * n) {
        const std::size_t end = std::min(samples.size(), at + std::size_t(slice) * n);
        ZuAudioBuffer buffer = ZuAudioBuffer::makeInterleaved(
            n, std::vector<float>(samples.begin() + at, samples.begin() + end));
        for (const Bytes& packet : encoder->encode(buffer)) {
            check(!packet.empty() && packet.size() * 8 <= frameBudgetBits);
            sentBits += packet.size() * 8;
            check(sentBits <= ++packets * averageBits + averageBits + 7);
            auto audio = decoder->decode(packet.data(), packet.size());
            check(audio.has_value());
            check(audio->frames == 480 && audio->channels == int(encoder->codedChannelCount()));
            for (float v : audio->planar) check(std::isfinite(v) && std::fabs(v) < 8.0f);
        }
    }
    return 0;
}
