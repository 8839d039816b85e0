// aac: AAC-ELD decoding through libavcodec's float decoder, configured by the
// AudioSpecificConfig. Bounded: units that are empty, larger than the format allows, rejected
// by the codec or of the wrong shape yield nothing and an error.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vl::aac {

enum class DecodeError { none, emptyUnit, oversizedUnit, rejected, wrongShape };
const char* description(DecodeError error);

struct DecodedAudio {
    int channels = 0;
    int frames = 0;
    std::vector<float> planar;  // channel c at [c * frames, (c + 1) * frames)
    const float* channel(int c) const { return planar.data() + std::size_t(c) * frames; }
};

class AacEldDecoder {
  public:
    static constexpr int kFrameLength = 480;
    static constexpr std::size_t kMaxUnitBytesPerChannel = 768;  // 6144 bits

    // Nothing when libavcodec rejects the configuration; `why` says what failed.
    static std::unique_ptr<AacEldDecoder> create(const std::vector<uint8_t>& audioSpecificConfig,
                                                 std::string* why = nullptr);
    ~AacEldDecoder();
    AacEldDecoder(const AacEldDecoder&) = delete;
    AacEldDecoder& operator=(const AacEldDecoder&) = delete;

    int channelCount() const;
    int sampleRate() const;
    // Output channel names in output order ("FL", "FR", "FC", "LFE", "BL", ...).
    std::vector<std::string> channelNames() const;

    // Moves the codec's own messages about bad units below the default log level, for callers
    // that count and report failures themselves: a peer sending garbage then cannot flood stderr.
    void quietCodecMessages();

    // Forgets what earlier units left in the codec, as if it had just been created: a new stream
    // starts without opening another codec.
    void reset();

    // One raw access unit in, 480 frames per channel out. Non-finite output samples become 0.
    std::optional<DecodedAudio> decode(const uint8_t* data, std::size_t size);
    DecodeError lastError() const { return lastError_; }

  private:
    struct Codec;
    explicit AacEldDecoder(std::unique_ptr<Codec> codec);
    std::unique_ptr<Codec> codec_;
    DecodeError lastError_ = DecodeError::none;
};

}  // namespace vl::aac
