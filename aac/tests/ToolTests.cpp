// The aaceld tool's MP4 files as FFmpeg reads them: decoder configuration, priming and length.
#include <gtest/gtest.h>

#include <unistd.h>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "aac/tests/CodecTestSupport.h"
#include "aac/tools/WavFile.h"

namespace vl::aac::test {
namespace {

namespace fs = std::filesystem;

int run(const std::string& command) {
    return std::system((command + " >/dev/null 2>&1").c_str());
}

std::vector<float> readRawFloats(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<float> v(bytes.size() / sizeof(float));
    std::memcpy(v.data(), bytes.data(), v.size() * sizeof(float));
    return v;
}

// Channel c of an interleaved signal, with no delay.
std::vector<float> channelOf(const std::vector<float>& interleaved, int channels, int c) {
    std::vector<float> v(interleaved.size() / channels);
    for (std::size_t i = 0; i < v.size(); ++i) v[i] = interleaved[i * channels + c];
    return v;
}

// FFmpeg drops the signalled priming, so its output lines up with the input sample for sample;
// a wrong priming of even one sample would cost a tone most of its SNR. The last frames are left
// out of the comparison: the tone's hard stop there is a transient that costs SNR of its own.
TEST(AacEldTool, FfmpegReadsTheFileAlignedWithTheInput) {
    const fs::path dir = fs::temp_directory_path() / ("vl-aac-tool-" + std::to_string(getpid()));
    fs::create_directories(dir);
    tools::WavAudio wav;
    wav.sampleRate = 48000;
    wav.channels = 2;
    wav.samples =
        makeSignal(2, 48000, [](int c, int i) { return sineAt(c ? 1500.0 : 1000.0, 0.1, i); });
    std::string error;
    ASSERT_TRUE(tools::writeWav((dir / "in.wav").string(), wav, error)) << error;

    ASSERT_EQ(run(std::string(AACELD_PATH) + " encode '" + (dir / "in.wav").string() + "' '" +
                  (dir / "eld.m4a").string() + "'"),
              0);
    ASSERT_EQ(run("ffmpeg -nostdin -y -v error -i '" + (dir / "eld.m4a").string() +
                  "' -f f32le -c:a pcm_f32le '" + (dir / "out.raw").string() + "'"),
              0)
        << "ffmpeg (scripts/setup) must read the file";
    const auto decoded = readRawFloats(dir / "out.raw");
    const std::size_t kCompared = 48000 - 4 * 480;
    ASSERT_GE(decoded.size(), wav.samples.size());
    for (int c = 0; c < 2; ++c) {
        auto in = channelOf(wav.samples, 2, c);
        auto out = channelOf(decoded, 2, c);
        in.resize(kCompared);
        out.resize(kCompared);
        EXPECT_GT(snrDb(in, out, 4800), 35.0) << "channel " << c;
    }

    // And back through the tool itself, priming dropped the same way.
    ASSERT_EQ(run(std::string(AACELD_PATH) + " decode '" + (dir / "eld.m4a").string() + "' '" +
                  (dir / "back.wav").string() + "'"),
              0);
    auto back = tools::readWav((dir / "back.wav").string(), error);
    ASSERT_TRUE(back) << error;
    ASSERT_EQ(back->channels, 2);
    ASSERT_GE(back->samples.size(), wav.samples.size());
    auto in = channelOf(wav.samples, 2, 1);
    auto out = channelOf(back->samples, 2, 1);
    in.resize(kCompared);
    out.resize(kCompared);
    EXPECT_GT(snrDb(in, out, 4800), 35.0);
    fs::remove_all(dir);
}

}  // namespace
}  // namespace vl::aac::test
