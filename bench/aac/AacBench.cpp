// AAC-ELD benchmarks, each beside libavcodec's AAC-LC (the encoder `ffmpeg -c:a aac` runs)
// measured in the same run:
// - encode and decode speed as a multiple of real time per channel (target >= 100x for encoding,
//   so that 7.1 in real time costs under 8 % of a core), for stereo, 5.1 and 7.1;
// - a quality table: SNR and audio bandwidth of every test item at several bit rates, ours beside
//   AAC-LC at the same rate, with our largest frame against its bit budget and libavcodec
//   warnings counted. `--no-quality` skips the table.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>

#include "aac/tests/CodecTestSupport.h"
#include "aac/tests/TestSignals.h"
#include "bench/aac/FfmpegAacLc.h"

using namespace vl;
using namespace vl::aac;
using namespace vl::aac::test;

namespace {

EldChannelLayout layoutFor(int channels) {
    return channels == 2   ? EldChannelLayout::stereo
           : channels == 6 ? EldChannelLayout::fivePointOne
                           : EldChannelLayout::sevenPointOne;
}

// One second of pink noise in every channel, each channel a different stretch of it.
std::vector<float> noiseSecond(int channels) {
    static const TestItem pink = pinkNoise(3.0);
    std::vector<float> v(std::size_t(channels) * 48000);
    for (int i = 0; i < 48000; ++i)
        for (int c = 0; c < channels; ++c)
            v[std::size_t(i) * channels + c] =
                pink.samples[std::size_t(i + 9973 * (c / 2)) * 2 + c % 2];
    return v;
}

void perChannelRealTime(benchmark::State& state, int channels) {
    // One iteration is one second of audio in every channel.
    state.counters["xRT_per_channel"] =
        benchmark::Counter(channels, benchmark::Counter::kIsIterationInvariantRate);
}

void BM_EldEncode(benchmark::State& state) {
    const int channels = int(state.range(0));
    const auto input = noiseSecond(channels);
    AacEldEncoder encoder(layoutFor(channels));
    std::size_t bytes = 0;
    for (auto _ : state)
        for (int start = 0; start < 48000; start += 480)
            bytes += encoder.encode(input.data() + std::size_t(start) * channels).size();
    benchmark::DoNotOptimize(bytes);
    perChannelRealTime(state, channels);
}

void BM_LcEncode(benchmark::State& state) {
    const int channels = int(state.range(0));
    const auto input = noiseSecond(channels);
    bench::LcEncoder encoder(channels, defaultBitRate(layoutFor(channels)));
    std::vector<std::vector<uint8_t>> packets;
    for (auto _ : state) {
        packets.clear();
        encoder.encode(input, packets, false);
    }
    perChannelRealTime(state, channels);
}

void BM_EldDecode(benchmark::State& state) {
    const int channels = int(state.range(0));
    const auto input = noiseSecond(channels);
    AacEldEncoder encoder(layoutFor(channels));
    std::vector<std::vector<uint8_t>> units;
    for (int start = 0; start < 48000; start += 480)
        units.push_back(encoder.encode(input.data() + std::size_t(start) * channels));
    auto decoder = AacEldDecoder::create(encoder.audioSpecificConfig());
    if (!decoder) return state.SkipWithError("no decoder");
    int failures = 0;
    for (auto _ : state)
        for (const auto& unit : units) failures += !decoder->decode(unit.data(), unit.size());
    if (failures) state.SkipWithError("units failed to decode");
    perChannelRealTime(state, channels);
}

void BM_LcDecode(benchmark::State& state) {
    const int channels = int(state.range(0));
    const auto input = noiseSecond(channels);
    bench::LcEncoder encoder(channels, defaultBitRate(layoutFor(channels)));
    std::vector<std::vector<uint8_t>> units;
    encoder.encode(input, units, true);
    bench::LcDecoder decoder(encoder.config(), channels);
    std::vector<std::vector<float>> out;
    for (auto _ : state) {
        for (const auto& unit : units) decoder.decode(unit, out);
        for (auto& ch : out) ch.clear();
    }
    perChannelRealTime(state, channels);
}

BENCHMARK(BM_EldEncode)->Arg(2)->Arg(6)->Arg(8)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LcEncode)->Arg(2)->Arg(6)->Arg(8)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EldDecode)->Arg(2)->Arg(6)->Arg(8)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LcDecode)->Arg(2)->Arg(6)->Arg(8)->Unit(benchmark::kMillisecond);

class RateReporter : public benchmark::ConsoleReporter {
  public:
    std::map<std::string, double> realTime;  // per channel multiple, by run name
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            auto found = run.counters.find("xRT_per_channel");
            if (found != run.counters.end()) realTime[run.benchmark_name()] = found->second;
        }
    }
};

struct Measured {
    double snr = 0, bandwidth = 0, kbps = 0;
};

// SNR averaged over the channels, bandwidth the narrowest channel's; `decoded` lines up with the
// input delayed by kDelay.
Measured measure(const TestItem& item, const std::vector<std::vector<float>>& decoded) {
    Measured m;
    m.bandwidth = 1e9;
    for (int c = 0; c < item.channels; ++c) {
        const auto ref = delayedChannel(item.samples, item.channels, c, decoded[c].size());
        m.snr += snrDb(ref, decoded[c], 4800) / item.channels;
        m.bandwidth = std::min(m.bandwidth, bandwidthHz(ref, decoded[c], 4800));
    }
    return m;
}

// AAC-LC round trip, its output shifted so that it lines up like ours. The shift is the encoder's
// priming, confirmed against the neighbouring delays.
Measured lcRoundTrip(const TestItem& item, int bitRate, int& warnings) {
    DecoderWarnings counted;
    bench::LcEncoder encoder(item.channels, bitRate);
    std::vector<std::vector<uint8_t>> units;
    encoder.encode(item.samples, units, true);
    bench::LcDecoder decoder(encoder.config(), item.channels);
    std::vector<std::vector<float>> out;
    std::size_t bytes = 0;
    for (const auto& unit : units) {
        bytes += unit.size();
        decoder.decode(unit, out);
    }
    warnings = counted.seen();
    const std::size_t frames = item.samples.size() / item.channels;
    double bestSnr = -1e9;
    int bestShift = 0;
    for (int shift = encoder.priming() - 3; shift <= encoder.priming() + 3; ++shift) {
        std::vector<float> ch(frames + kDelay, 0.0f);
        for (std::size_t i = kDelay; i < ch.size(); ++i)
            if (i - kDelay + shift < out[0].size()) ch[i] = out[0][i - kDelay + shift];
        const double snr =
            snrDb(delayedChannel(item.samples, item.channels, 0, ch.size()), ch, 4800);
        if (snr > bestSnr) bestSnr = snr, bestShift = shift;
    }
    if (bestShift != encoder.priming())
        std::printf("note: AAC-LC lines up at %d, not its priming %d\n", bestShift,
                    encoder.priming());
    std::vector<std::vector<float>> aligned(item.channels,
                                            std::vector<float>(frames + kDelay, 0.0f));
    for (int c = 0; c < item.channels; ++c)
        for (std::size_t i = kDelay; i < aligned[c].size(); ++i)
            if (i - kDelay + bestShift < out[c].size())
                aligned[c][i] = out[c][i - kDelay + bestShift];
    Measured m = measure(item, aligned);
    m.kbps = bytes * 8.0 / (double(frames) / 48000.0) / 1000.0;
    return m;
}

void qualityTable() {
    std::vector<TestItem> items = {multiTone(), pinkNoise(), chirp(), clicks(), castanets()};
    const auto dir = std::filesystem::temp_directory_path() / "vl-aac-bench-speech";
    std::filesystem::create_directories(dir);
    if (auto s = speech(dir))
        items.push_back(std::move(*s));
    else
        std::printf("note: espeak-ng or ffmpeg missing, no speech item\n");
    std::filesystem::remove_all(dir);

    std::printf(
        "\nQuality, stereo: ours (AAC-ELD 480) beside libavcodec AAC-LC at the same rate\n");
    std::printf("%-20s %5s | %7s %7s %7s %9s %4s | %7s %7s %7s %4s\n", "item", "kb/s", "SNR dB",
                "bw Hz", "kbit/s", "max/budg", "warn", "LC SNR", "LC bw", "kbit/s", "warn");
    for (int rate : {96000, 144000, 192000}) {
        for (const TestItem& item : items) {
            const RoundTrip rt = roundTrip(EldChannelLayout::stereo, item.samples, rate);
            Measured ours = measure(item, rt.output);
            ours.kbps = rt.meanBytes * 8 * 100 / 1000;
            int lcWarnings = 0;
            const Measured lc = lcRoundTrip(item, rate, lcWarnings);
            std::printf("%-20s %5d | %7.1f %7.0f %7.1f %4d/%-4d %4d | %7.1f %7.0f %7.1f %4d%s\n",
                        item.name.c_str(), rate / 1000, ours.snr, ours.bandwidth, ours.kbps,
                        rt.maxBits, rt.budget, rt.decoderWarnings, lc.snr, lc.bandwidth, lc.kbps,
                        lcWarnings,
                        rt.overBudget || rt.decodeFailures ? "  OVER BUDGET/FAILED" : "");
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    bool quality = true;
    std::vector<char*> args;
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "--no-quality") == 0)
            quality = false;
        else
            args.push_back(argv[i]);
    }
    int count = int(args.size());
    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;
    RateReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    auto rt = [&](const std::string& name) {
        auto found = reporter.realTime.find(name);
        return found == reporter.realTime.end() ? 0.0 : found->second;
    };
    std::printf(
        "\nSpeed, multiple of real time per channel on one core (target >= 100x encoding)\n");
    std::printf("%-8s %10s %10s %8s %10s %10s %8s\n", "layout", "ELD enc", "LC enc", "ratio",
                "ELD dec", "LC dec", "ratio");
    for (int channels : {2, 6, 8}) {
        const std::string arg = "/" + std::to_string(channels);
        const double ee = rt("BM_EldEncode" + arg), le = rt("BM_LcEncode" + arg);
        const double ed = rt("BM_EldDecode" + arg), ld = rt("BM_LcDecode" + arg);
        std::printf("%-8s %9.0fx %9.0fx %8.2f %9.0fx %9.0fx %8.2f\n",
                    description(layoutFor(channels)), ee, le, le > 0 ? ee / le : 0.0, ed, ld,
                    ld > 0 ? ed / ld : 0.0);
        if (channels == 8 && ee > 0)
            std::printf("7.1 encoded in real time costs %.1f %% of one core\n", 100.0 * 8 / ee);
    }
    if (quality) qualityTable();
    return 0;
}
