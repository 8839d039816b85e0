#include "Capture/ZuAudioDecoder.h"

#include <cstdio>
#include <string>

#include "aac/AacEldDecoder.h"
#include "aac/AacEldEncoder.h"
#include "base/Log.h"

namespace vl {
namespace {

std::string hex(const Bytes& bytes) {
    std::string text;
    char digits[3];
    for (std::uint8_t b : bytes) {
        std::snprintf(digits, sizeof digits, "%02x", b);
        text += digits;
    }
    return text;
}

std::string joined(const std::vector<std::string>& names) {
    std::string text;
    for (const auto& name : names) text += (text.empty() ? "" : " ") + name;
    return text;
}

}  // namespace

const char* description(ZuAudioDecoder::Channels channels) {
    switch (channels) {
        case ZuAudioDecoder::Channels::stereo:
            return "stereo";
    }
    return "unknown";
}

ZuAudioDecoder::ZuAudioDecoder() = default;

ZuAudioDecoder::~ZuAudioDecoder() {
    stop();
}

bool ZuAudioDecoder::isRunning() const {
    std::lock_guard lock(mutex_);
    return isRunning_;
}

bool ZuAudioDecoder::createDecoder() {
    const Bytes config = aac::audioSpecificConfig(aac::EldChannelLayout::stereo);
    logMsg("🔊 createDecoder in:  48000 Hz AAC-ELD (object type 39, config " + hex(config) +
           "), 480 frames per packet, " + std::to_string(channelCount) + " ch");
    logMsg(
        "🔊 createDecoder out: 48000 Hz 32-bit float deinterleaved, 4 bytes per "
        "frame and channel, " +
        std::to_string(channelCount) + " ch");
    std::string why;
    auto decoder = aac::AacEldDecoder::create(config, &why);
    if (!decoder) {
        logMsg("❌ ZuAudioRender: decoder creation failed: " + why + " — AAC-ELD " +
                   std::to_string(channelCount) + "ch decode likely unsupported",
               LogLevel::error);
        return false;
    }
    // Failures are counted and reported here at a cadence; the codec's own line per bad unit
    // would let a client flood stderr.
    decoder->quietCodecMessages();
    logMsg("✅ ZuAudioRender: AAC-ELD decoder created (" + std::to_string(channelCount) + "ch, " +
           joined(decoder->channelNames()) + ")");
    std::lock_guard lock(mutex_);
    decoder_ = std::move(decoder);
    return true;
}

void ZuAudioDecoder::start() {
    if (isRunning()) return;
    if (createDecoder()) {
        {
            // A stop() that came in meanwhile wins.
            std::lock_guard lock(mutex_);
            isRunning_ = decoder_ != nullptr;
        }
        logMsg("✅ ZuAudioDecoder started (" + std::to_string(channelCount) + "ch, " +
               description(channels) + ")");
        return;
    }
    logMsg("❌ ZuAudioDecoder: not started; probing AAC-ELD channel configurations",
           LogLevel::error);
    using aac::EldChannelLayout;
    for (EldChannelLayout layout :
         {EldChannelLayout::mono, EldChannelLayout::stereo, EldChannelLayout::fivePointOne,
          EldChannelLayout::sevenPointOne}) {
        std::string why;
        const bool ok =
            aac::AacEldDecoder::create(aac::audioSpecificConfig(layout), &why) != nullptr;
        logMsg("🔍   AAC-ELD → " + std::to_string(aac::channelCount(layout)) + "ch (" +
               aac::description(layout) +
               "): " + (ok ? std::string("decodable") : "not decodable (" + why + ")"));
    }
}

void ZuAudioDecoder::stop() {
    std::lock_guard lock(mutex_);
    isRunning_ = false;
    decoder_.reset();
}

void ZuAudioDecoder::reset() {
    std::lock_guard lock(mutex_);
    if (decoder_) decoder_->reset();
}

void ZuAudioDecoder::handleAudioPacket(ByteView payload) {
    std::optional<ZuAudioBuffer> buffer;
    {
        std::lock_guard lock(mutex_);
        if (!isRunning_ || payload.empty()) return;
        buffer = decodeLocked(payload);
    }
    if (!buffer) {
        const std::int64_t failures = ++decodeFailures_;
        if (failures == 1 || failures % 100 == 0)
            logMsg("❌ ZuAudioRender: decode returned nil (" + std::to_string(failures) +
                       " failures so far)",
                   LogLevel::error);
        return;
    }
    const std::int64_t decoded = ++decodedCount_;
    if (decoded == 1) {
        logMsg("✅ ZuAudioRender: FIRST packet decoded → " + std::to_string(buffer->frameLength) +
               " frames, " + std::to_string(buffer->channelCount) + "ch");
    } else if (decoded % logEvery == 0) {
        char peak[32];
        std::snprintf(peak, sizeof peak, "%.4f", double(buffer->peak()));
        logMsg("🔊 ZuAudioDecoder: decoded " + std::to_string(decoded) + ", delivered " +
               std::to_string(scheduledCount_.load()) + ", failures " +
               std::to_string(decodeFailures_.load()) + ", peak=" + peak);
    }
    if (onPCMDecoded) onPCMDecoded(*buffer);
    ++scheduledCount_;
}

std::optional<ZuAudioBuffer> ZuAudioDecoder::decode(ByteView payload) {
    std::lock_guard lock(mutex_);
    return decodeLocked(payload);
}

std::optional<ZuAudioBuffer> ZuAudioDecoder::decodeLocked(ByteView payload) {
    if (!decoder_) return std::nullopt;
    auto audio = decoder_->decode(payload.data(), payload.size());
    // A stereo configuration yields two channels, so only frame counts can differ; the wrapper
    // reports anything but 480 frames as a failure.
    if (audio && audio->channels == int(channelCount) && audio->frames > 0) {
        ZuAudioBuffer buffer;
        buffer.channelCount = channelCount;
        buffer.frameLength = std::uint32_t(audio->frames);
        buffer.interleaved = false;
        buffer.samples = std::move(audio->planar);
        return buffer;
    }
    const std::int64_t failures = decodeFailures_;
    if (failures == 0 || failures % 100 == 0)
        logMsg(std::string("❌ ZuAudioDecoder: decode status=") +
                   aac::description(decoder_->lastError()) +
                   " outPackets=" + std::to_string(audio ? audio->frames : 0) + " — expected " +
                   std::to_string(channelCount) + "ch (" + description(channels) +
                   "); possible client/server tier mismatch",
               LogLevel::error);
    return std::nullopt;
}

}  // namespace vl
