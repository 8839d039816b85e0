// Video benchmarks, each against a baseline in the same run:
// - BGRA → NV12 at 1080p with libyuv (what capture uses) and with swscale;
// - HEVC encoding of 1080p and 4K frames through the compression session, and raw x265 with the
//   same settings on the same frames;
// - capture on a private Xvfb: time per complete frame (grab, cursor, conversion).
#include "base/DispatchQueue.h"
#include "platform/capture/ColorConversion.h"
#include "platform/capture/fake/FakeCaptureService.h"
#include "platform/capture/tests/XvfbServer.h"
#include "platform/capture/x11/X11CaptureService.h"
#include "platform/capture/x11/X11CaptureStream.h"
#include "platform/videocodec/x265/X265CompressionSession.h"

#include <benchmark/benchmark.h>
#include <x265.h>
#include <xcb/xcb.h>

extern "C" {
#include <libswscale/swscale.h>
}

#include <cstdlib>
#include <ctime>
#include <future>
#include <iostream>
#include <map>
#include <thread>

namespace vl {
namespace {

// A desktop-like picture: flat panels, text-like stripes and a gradient.
std::vector<std::uint8_t> desktopBGRA(int width, int height, int shift = 0) {
    std::vector<std::uint8_t> pixels(static_cast<std::size_t>(width) * height * 4);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            std::uint8_t* p = pixels.data() + (static_cast<std::size_t>(y) * width + x) * 4;
            const bool panel = (x / 256 + y / 256) % 2 == 0;
            const bool stripe = ((y + shift) % 16) < 2 && (x % 200) < 150;
            p[0] = stripe ? 20 : static_cast<std::uint8_t>(panel ? 240 : (x + shift) & 0xff);
            p[1] = stripe ? 20 : static_cast<std::uint8_t>(panel ? 240 : y & 0xff);
            p[2] = stripe ? 20 : static_cast<std::uint8_t>(panel ? 245 : 128);
            p[3] = 255;
        }
    }
    return pixels;
}

void BM_ConvertLibyuv(benchmark::State& state) {
    const int width = 1920, height = 1080;
    const auto pixels = desktopBGRA(width, height);
    PixelBuffer out = makePixelBuffer(width, height, PixelFormat::biPlanar420Video8, {});
    for (auto _ : state) {
        convertBGRAToNV12(pixels.data(), width * 4, width, height, out);
        benchmark::DoNotOptimize(out.planes[0].bytes.data());
    }
}
BENCHMARK(BM_ConvertLibyuv)->Unit(benchmark::kMillisecond);

void BM_ConvertSwscale(benchmark::State& state) {
    const int width = 1920, height = 1080;
    const auto pixels = desktopBGRA(width, height);
    PixelBuffer out = makePixelBuffer(width, height, PixelFormat::biPlanar420Video8, {});
    SwsContext* sws = sws_getContext(width, height, AV_PIX_FMT_BGRA, width, height, AV_PIX_FMT_NV12,
                                     SWS_BILINEAR, nullptr, nullptr, nullptr);
    const std::uint8_t* source[1] = {pixels.data()};
    const int sourceStride[1] = {width * 4};
    std::uint8_t* destination[2] = {out.planes[0].bytes.data(), out.planes[1].bytes.data()};
    const int destinationStride[2] = {static_cast<int>(out.planes[0].bytesPerRow),
                                      static_cast<int>(out.planes[1].bytesPerRow)};
    for (auto _ : state) {
        sws_scale(sws, source, sourceStride, 0, height, destination, destinationStride);
        benchmark::DoNotOptimize(out.planes[0].bytes.data());
    }
    sws_freeContext(sws);
}
BENCHMARK(BM_ConvertSwscale)->Unit(benchmark::kMillisecond);

void BM_ConvertHdrP010(benchmark::State& state) {
    const int width = 1920, height = 1080;
    const auto pixels = desktopBGRA(width, height);
    PixelBuffer out = makePixelBuffer(width, height, PixelFormat::biPlanar420Video10, {});
    HdrConverter converter;
    for (auto _ : state) {
        converter.convert(pixels.data(), width * 4, width, height, out);
        benchmark::DoNotOptimize(out.planes[0].bytes.data());
    }
}
BENCHMARK(BM_ConvertHdrP010)->Unit(benchmark::kMillisecond);

constexpr int encodeFrames = 16;

std::vector<PixelBuffer> encodeInput(int width, int height) {
    std::vector<PixelBuffer> frames;
    for (int n = 0; n < encodeFrames; ++n) {
        PixelBuffer frame = makePixelBuffer(width, height, PixelFormat::biPlanar420Video8, {});
        const auto pixels = desktopBGRA(width, height, n * 3);
        convertBGRAToNV12(pixels.data(), static_cast<std::size_t>(width) * 4, width, height, frame);
        frames.push_back(std::move(frame));
    }
    return frames;
}

CompressionProperties captureProperties(int width, int height) {
    CompressionProperties properties;
    const double average = static_cast<double>(width) * height / 8294400.0 * 60;
    properties.averageBitRate = static_cast<std::int64_t>(average * 1e6);
    properties.dataRateLimitBytes = static_cast<std::int64_t>(average * 1.5 * 1e6 * 0.125);
    properties.expectedFrameRate = 60;
    properties.maxKeyFrameInterval = 120;
    properties.maxKeyFrameIntervalDuration = 2;
    properties.minAllowedFrameQP = 10;
    return properties;
}

// The baseline: x265 driven directly, configured by the session's own code, fed planar frames.
class RawX265 {
  public:
    RawX265(int width, int height) : width_(width) {
        p_ = x265_param_alloc();
        x265_param_default_preset(p_, X265CompressionSession::preset, X265CompressionSession::tune);
        X265CompressionSession::configure(*p_, captureProperties(width, height), width, height);
        x265_param_apply_profile(p_, "main");
        encoder_ = x265_encoder_open(p_);
        x265_picture_init(p_, &picture_);
    }
    ~RawX265() {
        x265_encoder_close(encoder_);
        x265_param_free(p_);
    }
    // Planar input, prepared before timing starts.
    std::size_t encode(const std::uint8_t* luma, const std::vector<std::uint8_t>& chroma) {
        picture_.planes[0] = const_cast<std::uint8_t*>(luma);
        picture_.planes[1] = const_cast<std::uint8_t*>(chroma.data());
        picture_.planes[2] = const_cast<std::uint8_t*>(chroma.data() + chroma.size() / 2);
        picture_.stride[0] = width_;
        picture_.stride[1] = width_ / 2;
        picture_.stride[2] = width_ / 2;
        picture_.pts = pts_++;
        x265_nal* nals = nullptr;
        std::uint32_t count = 0;
        x265_encoder_encode(encoder_, &nals, &count, &picture_, nullptr);
        std::size_t bytes = 0;
        for (std::uint32_t i = 0; i < count; ++i) bytes += nals[i].sizeBytes;
        return bytes;
    }

  private:
    int width_;
    x265_param* p_ = nullptr;
    x265_encoder* encoder_ = nullptr;
    x265_picture picture_;
    std::int64_t pts_ = 0;
};

double processCpuMilliseconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

// The session and raw x265 take turns, eight frames each, so both see the same machine load.
// Reported per frame: wall and process CPU (all encoder threads) milliseconds of each, and the
// ratio raw / session (1.0 = no overhead; >= 0.9 is the target).
void BM_EncodeSessionVersusRawX265(benchmark::State& state) {
    const int width = static_cast<int>(state.range(0));
    const int height = static_cast<int>(state.range(1));
    const auto frames = encodeInput(width, height);
    std::vector<std::vector<std::uint8_t>> planar;
    for (const auto& frame : frames) {
        std::vector<std::uint8_t> chroma(frame.planes[1].bytes.size());
        const std::size_t half = chroma.size() / 2;
        for (std::size_t i = 0; i < half; ++i) {
            chroma[i] = frame.planes[1].bytes[2 * i];
            chroma[half + i] = frame.planes[1].bytes[2 * i + 1];
        }
        planar.push_back(std::move(chroma));
    }
    X265CompressionSession session(width, height);
    session.setProperties(captureProperties(width, height));
    RawX265 raw(width, height);
    double sessionWall = 0, sessionCpu = 0, rawWall = 0, rawCpu = 0;
    std::size_t sessionBytes = 0, rawBytes = 0;
    std::int64_t n = 0;
    for (auto _ : state) {
        auto wall = Clock::now();
        double cpu = processCpuMilliseconds();
        for (int i = 0; i < 8; ++i, ++n) {
            session.encodeFrame(frames[n % encodeFrames], MediaTime{n}, {}, {},
                                [&](CodecStatus, std::optional<EncodedSample> sample) {
                                    if (sample) sessionBytes += sample->data.size();
                                });
        }
        sessionWall += std::chrono::duration<double, std::milli>(Clock::now() - wall).count();
        sessionCpu += processCpuMilliseconds() - cpu;
        wall = Clock::now();
        cpu = processCpuMilliseconds();
        for (int i = 0; i < 8; ++i) {
            const auto k = (n - 8 + i) % encodeFrames;
            rawBytes += raw.encode(frames[k].planes[0].bytes.data(), planar[k]);
        }
        rawWall += std::chrono::duration<double, std::milli>(Clock::now() - wall).count();
        rawCpu += processCpuMilliseconds() - cpu;
    }
    const double count = static_cast<double>(n);
    state.counters["session_ms"] = sessionWall / count;
    state.counters["raw_ms"] = rawWall / count;
    state.counters["session_cpu_ms"] = sessionCpu / count;
    state.counters["raw_cpu_ms"] = rawCpu / count;
    state.counters["ratio_wall"] = rawWall / sessionWall;
    state.counters["ratio_cpu"] = rawCpu / sessionCpu;
    state.counters["session_B"] = static_cast<double>(sessionBytes) / count;
    state.counters["raw_B"] = static_cast<double>(rawBytes) / count;
}
BENCHMARK(BM_EncodeSessionVersusRawX265)
    ->Args({1920, 1080})
    ->Args({3840, 2160})
    ->Iterations(8)
    ->Unit(benchmark::kMillisecond);

// Capture at 1080p on Xvfb while a client repaints the screen: mean time per complete frame.
void BM_CaptureX11(benchmark::State& state) {
    test::XvfbServer server(1920, 1080);
    if (!server.running()) {
        state.SkipWithError("no free display :80 … :84 for Xvfb");
        return;
    }
    X11CaptureService service(server.name());
    const auto displays = service.shareableDisplays();
    if (displays.empty()) {
        state.SkipWithError("no display");
        return;
    }
    DispatchQueue queue("com.corvane.vantrel.capture.screen");
    StreamConfiguration configuration;
    configuration.width = 1920;
    configuration.height = 1080;
    configuration.minimumFrameInterval = MediaTime{1'000'000'000 / 60};
    configuration.showsCursor = true;
    X11CaptureStream stream(server.name(), displays[0].displayID, configuration, queue,
                            {[](const CapturedFrame&) {}, {}}, nullptr);
    std::promise<void> started;
    stream.start([&](std::optional<CaptureError>) { started.set_value(); });
    started.get_future().wait();

    xcb_connection_t* painter = xcb_connect(server.name().c_str(), nullptr);
    xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(painter)).data;
    const xcb_gcontext_t gc = xcb_generate_id(painter);
    xcb_create_gc(painter, gc, screen->root, 0, nullptr);
    std::uint32_t colour = 0;
    for (auto _ : state) {
        // One repaint per frame interval, so every frame is a complete one.
        const auto deadline = Clock::now() + std::chrono::milliseconds(1000);
        while (Clock::now() < deadline) {
            colour = (colour + 0x010203) & 0xffffff;
            xcb_change_gc(painter, gc, XCB_GC_FOREGROUND, &colour);
            const xcb_rectangle_t all{0, 0, 1920, 1080};
            xcb_poly_fill_rectangle(painter, screen->root, gc, 1, &all);
            std::free(xcb_get_input_focus_reply(painter, xcb_get_input_focus(painter), nullptr));
            std::this_thread::sleep_for(std::chrono::milliseconds(16));
        }
    }
    xcb_disconnect(painter);
    const auto statistics = stream.statistics();
    std::promise<void> stopped;
    stream.stop([&](std::optional<CaptureError>) { stopped.set_value(); });
    stopped.get_future().wait();
    state.counters["complete_frames"] = static_cast<double>(statistics.completeFrames);
    state.counters["ms/complete_frame"] =
        statistics.completeFrames == 0
            ? 0
            : std::chrono::duration<double, std::milli>(statistics.completeFrameTime).count() /
                  static_cast<double>(statistics.completeFrames);
    state.counters["shm"] = statistics.sharedMemory ? 1 : 0;
}
BENCHMARK(BM_CaptureX11)->Iterations(3)->Unit(benchmark::kMillisecond);

// Prints, after the table, each measurement against its baseline.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const auto& run : runs) {
            if (run.run_type == Run::RT_Iteration && run.iterations > 0) {
                times_[run.benchmark_name()] = run.GetAdjustedRealTime();
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        ratio("BGRA->NV12 1080p, swscale / libyuv", "BM_ConvertSwscale", "BM_ConvertLibyuv");
        ratio("encode 1080p, raw x265 / session (>= 0.9 is on par)",
              "BM_EncodeRawX265/1920/1080/min_time:3.000",
              "BM_EncodeSession/1920/1080/min_time:3.000");
        ratio("encode 4K, raw x265 / session (>= 0.9 is on par)",
              "BM_EncodeRawX265/3840/2160/min_time:3.000",
              "BM_EncodeSession/3840/2160/min_time:3.000");
    }

  private:
    void ratio(const char* label, const std::string& numerator, const std::string& denominator) {
        const auto n = times_.find(numerator);
        const auto d = times_.find(denominator);
        if (n == times_.end() || d == times_.end() || d->second == 0) return;
        std::cout << "ratio  " << label << ": " << n->second / d->second << "\n";
    }
    std::map<std::string, double> times_;
};

}  // namespace
}  // namespace vl

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    vl::RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
}
