// aaceld: AAC-ELD access units in an MP4 audio file through libavformat — the
// AudioSpecificConfig as decoder configuration, the 240-sample priming as an edit list.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vl::aac::tools {

class Mp4AudioWriter {
  public:
    static std::unique_ptr<Mp4AudioWriter> open(const std::string& path,
                                                const std::vector<uint8_t>& audioSpecificConfig,
                                                int channels, int bitRate, std::string& error);
    ~Mp4AudioWriter();
    bool write(const std::vector<uint8_t>& unit, std::string& error);
    bool finish(std::string& error);

  private:
    struct Muxer;
    explicit Mp4AudioWriter(std::unique_ptr<Muxer> muxer);
    std::unique_ptr<Muxer> muxer_;
};

struct Mp4AudioTrack {
    std::vector<uint8_t> audioSpecificConfig;
    int sampleRate = 0;
    int channels = 0;
    int64_t skipSamples = 0;  // priming to drop from the decoded start
    std::vector<std::vector<uint8_t>> units;
};

std::optional<Mp4AudioTrack> readMp4Audio(const std::string& path, std::string& error);

}  // namespace vl::aac::tools
