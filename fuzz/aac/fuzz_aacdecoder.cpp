// The decoders of client bytes fed arbitrary access units: random, truncated, oversized, or of
// another channel configuration. A unit either decodes to exactly 480 finite frames per channel or
// yields nothing; the microphone decoder counts every non-empty unit once.
//
// Input: one byte choosing the decoder configuration, then units, each a 16-bit big-endian length
// (up to 65535, so beyond any unit the format allows) and that many bytes; the last unit is cut
// short where the input ends.
#include <cmath>
#include <cstdlib>

#include "Capture/ZuAudioDecoder.h"
#include "aac/AacEldDecoder.h"
#include "aac/AacEldEncoder.h"
#include "base/Logger.h"

extern "C" {
#include <libavutil/log.h>
}

using namespace vl;

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

std::vector<ByteView> unitsOf(const std::uint8_t* bytes, std::size_t size) {
    std::vector<ByteView> units;
    std::size_t at = 0;
    while (at + 2 <= size) {
        std::size_t length = std::size_t(bytes[at]) << 8 | bytes[at + 1];
        at += 2;
        length = std::min(length, size - at);
        units.emplace_back(bytes + at, length);
        at += length;
    }
    return units;
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

namespace {

// Made once and reset for every input: opening a codec costs more than decoding a whole input.
struct Decoders {
    Decoders() {
        using aac::EldChannelLayout;
        for (EldChannelLayout layout :
             {EldChannelLayout::mono, EldChannelLayout::stereo, EldChannelLayout::fivePointOne,
              EldChannelLayout::sevenPointOne}) {
            eld.push_back(aac::AacEldDecoder::create(aac::audioSpecificConfig(layout)));
            check(eld.back() != nullptr);
        }
        microphone.onPCMDecoded = [this](const ZuAudioBuffer& buffer) {
            check(buffer.channelCount == 2 && buffer.frameLength == 480 && !buffer.interleaved);
            check(buffer.samples.size() == 960);
            for (float v : buffer.samples) check(std::isfinite(v));
            ++delivered;
        };
        microphone.start();
        check(microphone.isRunning());
    }
    std::vector<std::unique_ptr<aac::AacEldDecoder>> eld;
    ZuAudioDecoder microphone;
    std::int64_t delivered = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    static Decoders decoders;
    if (size < 1) return 0;
    const auto units = unitsOf(bytes + 1, size - 1);
    const int choice = bytes[0] % 5;

    if (choice == 4) {
        // The microphone path: the stereo decoder and its counters.
        ZuAudioDecoder& decoder = decoders.microphone;
        decoder.reset();
        const std::int64_t decodedBefore = decoder.decodedCount();
        const std::int64_t failedBefore = decoder.decodeFailures();
        const std::int64_t deliveredBefore = decoders.delivered;
        std::int64_t nonEmpty = 0;
        for (ByteView unit : units) {
            nonEmpty += unit.empty() ? 0 : 1;
            decoder.handleAudioPacket(unit);
        }
        const std::int64_t decoded = decoder.decodedCount() - decodedBefore;
        check(decoded + decoder.decodeFailures() - failedBefore == nonEmpty);
        check(decoders.delivered - deliveredBefore == decoded);
        return 0;
    }

    aac::AacEldDecoder& decoder = *decoders.eld[choice];
    decoder.reset();
    for (ByteView unit : units) {
        auto audio = decoder.decode(unit.data(), unit.size());
        check(audio.has_value() == (decoder.lastError() == aac::DecodeError::none));
        if (!audio) continue;
        check(unit.size() <=
              aac::AacEldDecoder::kMaxUnitBytesPerChannel * std::size_t(decoder.channelCount()));
        check(audio->channels == decoder.channelCount() && audio->frames == 480);
        check(audio->planar.size() == std::size_t(audio->channels) * 480);
        for (float v : audio->planar) check(std::isfinite(v));
    }
    return 0;
}
