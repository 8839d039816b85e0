// Sharing-session benchmarks on a private desktop — Xvfb (:90 to :94) or a headless Mutter with a
// virtual monitor (--desktop x11|mutter|both; both runs each measurement on X11, then on Mutter,
// and compares) — each beside its baseline in the same run:
// - throughput: the whole pipeline — capture (X11 grab, or Mutter's PipeWire buffer), BGRA →
//   NV12, x265, Annex-B, packets, loopback QUIC to a receiving client — unpaced (the screen
//   changes as soon as the previous change has been taken), beside raw x265 encoding the very
//   frames the pipeline encoded with the session's settings;
// - latency, glass to glass: a square toggles between black and white; from the display server
//   having the drawing (X11: drawn; Mutter: the client's frame committed) to the client having
//   decoded a picture that shows it (sampled beside the pointer); median and p99, beside the
//   target of one frame time plus the mean encode time; then the stage table of those samples
//   (the pipeline's frame trace joined to the client's arrivals), and x265 alone on the session's
//   frames with the same pauses, the encode stage's own spread;
// - static desktop: CPU time of this process and of the compositor while nothing changes, and
//   the frames sent, beside the same pipeline while the screen scrolls at the frame rate.
#include "Capture/VNSCapture.h"
#include "base/FrameTrace.h"
#include "base/Logger.h"
#include "base/Uuid.h"
#include "bench/session/BenchDesktop.h"
#include "bench/session/StageTable.h"
#include "client/StreamClient.h"
#include "client/VideoSink.h"
#include "comm/VideoServer.h"
#include "comm/testing/RecordingSessionEnvironment.h"
#include "platform/videocodec/x265/X265CompressionSession.h"
#include "platform/videocodec/x265/X265VideoCodecService.h"

#include <x265.h>

#include <unistd.h>
#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <functional>
#include <future>
#include <mutex>
#include <numeric>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

using namespace vl;
using namespace std::chrono_literals;

namespace {

double seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}
double ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

double processCpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// CPU seconds of other processes (user + system), from /proc.
double otherCpuSeconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), {});
    const auto close = text.rfind(')');
    if (close == std::string::npos) return 0;
    std::vector<std::string> fields;
    std::string field;
    for (char c : text.substr(close + 2)) {
        if (c == ' ') {
            fields.push_back(field);
            field.clear();
        } else {
            field += c;
        }
    }
    // After the name: state is field 0, utime 11, stime 12.
    if (fields.size() < 13) return 0;
    return (std::stod(fields[11]) + std::stod(fields[12])) /
           static_cast<double>(sysconf(_SC_CLK_TCK));
}
double otherCpuSeconds(const std::vector<pid_t>& pids) {
    double total = 0;
    for (pid_t pid : pids) total += otherCpuSeconds(pid);
    return total;
}

// What a measurement found, for the comparison of desktops: its headline figure.
struct Outcome {
    int status = 1;
    double figure = 0;
};

std::unique_ptr<bench::BenchDesktop> startDesktop(bench::DesktopKind kind, int width, int height,
                                                  int fps) {
    std::string error;
    auto desktop = bench::BenchDesktop::start(kind, width, height, fps, &error);
    if (!desktop)
        std::fprintf(stderr, "no %s desktop: %s\n", bench::description(kind), error.c_str());
    return desktop;
}

// The codec the pipeline encodes with: x265, with each encode timed and the first frames kept,
// so that the baseline can encode exactly those frames with exactly these properties.
class ObservedCodec : public VideoCodecService {
  public:
    struct Shared {
        std::mutex mutex;
        std::condition_variable changed;
        std::optional<CompressionProperties> properties;
        std::vector<PixelBuffer> kept;
        std::size_t keep = 0;
        std::vector<double> encodeMs;
        std::uint64_t started = 0;  // frames handed to the encoder
    };

    explicit ObservedCodec(std::size_t keep) { shared_->keep = keep; }
    std::shared_ptr<Shared> shared() const { return shared_; }

    CodecResult<std::unique_ptr<CompressionSession>> createCompressionSession(
        int width, int height, const EncoderRequirements& requirements) override {
        auto inner = x265_.createCompressionSession(width, height, requirements);
        if (!inner.value) return inner;
        CodecResult<std::unique_ptr<CompressionSession>> result;
        result.status = inner.status;
        result.value = std::make_unique<Session>(std::move(inner.value), shared_);
        return result;
    }
    CodecResult<std::vector<VideoEncoderInfo>> listEncoders() override {
        return x265_.listEncoders();
    }

  private:
    class Session : public CompressionSession {
      public:
        Session(std::unique_ptr<CompressionSession> inner, std::shared_ptr<Shared> shared)
            : inner_(std::move(inner)), shared_(std::move(shared)) {}
        CodecStatus setProperties(const CompressionProperties& properties) override {
            std::lock_guard lock(shared_->mutex);
            shared_->properties = properties;
            return inner_->setProperties(properties);
        }
        CodecStatus prepareToEncodeFrames() override { return inner_->prepareToEncodeFrames(); }
        CodecResult<std::string> encoderID() const override { return inner_->encoderID(); }
        CodecStatus encodeFrame(const PixelBuffer& frame, MediaTime presentationTime,
                                MediaTime duration, FrameOptions options,
                                const EncodeCompletion& completion) override {
            {
                std::lock_guard lock(shared_->mutex);
                if (shared_->kept.size() < shared_->keep) shared_->kept.push_back(frame);
                ++shared_->started;
            }
            shared_->changed.notify_all();
            const auto start = Clock::now();
            const auto status =
                inner_->encodeFrame(frame, presentationTime, duration, options, completion);
            const double took = ms(Clock::now() - start);
            std::lock_guard lock(shared_->mutex);
            shared_->encodeMs.push_back(took);
            return status;
        }
        CodecStatus completeFrames() override { return inner_->completeFrames(); }
        void invalidate() override { inner_->invalidate(); }

      private:
        std::unique_ptr<CompressionSession> inner_;
        std::shared_ptr<Shared> shared_;
    };

    X265VideoCodecService x265_;
    std::shared_ptr<Shared> shared_ = std::make_shared<Shared>();
};

// The baseline: x265 driven directly, configured by the session's own code from the same
// properties, fed planar copies of the frames the pipeline encoded (prepared before timing).
class RawX265 {
  public:
    RawX265(int width, int height, const CompressionProperties& properties) : width_(width) {
        p_ = x265_param_alloc();
        x265_param_default_preset(p_, X265CompressionSession::preset, X265CompressionSession::tune);
        X265CompressionSession::configure(*p_, properties, width, height);
        x265_param_apply_profile(p_, "main");
        encoder_ = x265_encoder_open(p_);
        x265_picture_init(p_, &picture_);
    }
    ~RawX265() {
        if (encoder_) x265_encoder_close(encoder_);
        x265_param_free(p_);
    }
    bool ok() const { return encoder_ != nullptr; }
    std::size_t encode(const std::vector<std::uint8_t>& planar) {
        const std::size_t luma = static_cast<std::size_t>(width_) * height();
        picture_.planes[0] = const_cast<std::uint8_t*>(planar.data());
        picture_.planes[1] = const_cast<std::uint8_t*>(planar.data() + luma);
        picture_.planes[2] = const_cast<std::uint8_t*>(planar.data() + luma + luma / 4);
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
    static std::vector<std::uint8_t> planar(const PixelBuffer& nv12) {
        const std::size_t luma = static_cast<std::size_t>(nv12.width) * nv12.height;
        std::vector<std::uint8_t> out(luma + luma / 2);
        for (int y = 0; y < nv12.height; ++y)
            std::copy_n(nv12.planes[0].bytes.data() + y * nv12.planes[0].bytesPerRow, nv12.width,
                        out.data() + static_cast<std::size_t>(y) * nv12.width);
        std::uint8_t* cb = out.data() + luma;
        std::uint8_t* cr = cb + luma / 4;
        for (int y = 0; y < nv12.height / 2; ++y) {
            const std::uint8_t* row = nv12.planes[1].bytes.data() + y * nv12.planes[1].bytesPerRow;
            for (int x = 0; x < nv12.width / 2; ++x) {
                *cb++ = row[2 * x];
                *cr++ = row[2 * x + 1];
            }
        }
        return out;
    }

  private:
    int height() const { return p_->sourceHeight; }
    int width_;
    x265_param* p_ = nullptr;
    x265_encoder* encoder_ = nullptr;
    x265_picture picture_;
    std::int64_t pts_ = 0;
};

// The server half of a session's video — capture, encoder, video server — and a client that
// registers on the video port and hands each access unit to `onUnit`.
class Pipeline {
  public:
    Pipeline(std::shared_ptr<CaptureService> captureService, int fps,
             std::shared_ptr<ObservedCodec> codec, std::function<void(ByteView)> onUnit)
        : codec_(std::move(codec)) {
        server_ = std::make_shared<VideoServer>(
            0, std::make_shared<DispatchQueue>("VideoServerQueue"), "VideoServer",
            [] { return vl::testing::testIdentity(); });
        server_->start();
        for (int i = 0; i < 100 && !server_->boundPort(); ++i) std::this_thread::sleep_for(20ms);
        std::string error;
        client_ = StreamClient::open("127.0.0.1", server_->boundPort(), 10s, &error, false);
        if (!client_) {
            error_ = "client: " + error;
            return;
        }
        client_->setPacketHandler([onUnit = std::move(onUnit)](Packet&& packet) {
            if (packet.type == PacketType::pktVideoStreamData && packet.data) onUnit(*packet.data);
        });
        client_->send(Packet(PacketType::pktVideoStreamData, InteractionType::rdpVideo));
        for (int i = 0; i < 250 && !server_->clientConnection(); ++i)
            std::this_thread::sleep_for(20ms);
        if (!server_->clientConnection()) {
            error_ = "the client did not register";
            return;
        }
        const auto displays = captureService->shareableDisplays();
        if (displays.empty()) {
            error_ = "no display to capture";
            return;
        }
        VNSCaptureConfig config;
        config.fps = fps;
        capture_ = VNSCapture::make(config, {std::move(captureService), codec_});
        std::promise<std::optional<VNSCaptureError>> started;
        // As the sharing session wires it: the server asks the capture for key pictures.
        std::weak_ptr<VNSCapture> weak = capture_;
        auto handler = server_->frameHandler(Uuid::random(), [weak] {
            if (auto capture = weak.lock()) capture->requestKeyFrame();
        });
        capture_->startCapture(displays[0].displayID, std::move(handler),
                               [&](std::optional<VNSCaptureError> e) { started.set_value(e); });
        if (auto e = started.get_future().get()) error_ = "capture: " + e->description();
    }
    ~Pipeline() { stop(); }
    void stop() {
        if (capture_) capture_->stopCapture();
        capture_.reset();
        if (client_) client_->setPacketHandler(nullptr);
        client_.reset();
        if (server_) server_->stop();
        server_.reset();
    }
    const std::string& error() const { return error_; }

  private:
    std::shared_ptr<ObservedCodec> codec_;
    std::shared_ptr<VideoServer> server_;
    std::unique_ptr<StreamClient> client_;
    std::shared_ptr<VNSCapture> capture_;
    std::string error_;
};

struct Counter {
    std::atomic<std::uint64_t> frames{0};
    std::atomic<std::uint64_t> bytes{0};
    void add(ByteView unit) {
        ++frames;
        bytes += unit.size();
    }
};

// Waits until the encoder has started more than `seen` frames (or the timeout passes).
std::uint64_t waitForEncodeStart(ObservedCodec::Shared& shared, std::uint64_t seen,
                                 std::chrono::milliseconds timeout) {
    std::unique_lock lock(shared.mutex);
    shared.changed.wait_for(lock, timeout, [&] { return shared.started > seen; });
    return shared.started;
}

// 0, 1, … n-1, n-2, … 1, 0, 1, …: the kept frames forth and back, so that the baseline never
// jumps from the last picture to the first (a change the pipeline never had to encode).
std::size_t pingPong(std::size_t i, std::size_t n) {
    if (n < 2) return 0;
    const std::size_t period = 2 * (n - 1);
    const std::size_t k = i % period;
    return k < n ? k : period - k;
}

// The baseline: raw x265 with the pipeline's properties, on the frames the pipeline kept, taken
// forth and back; none before the pipeline encoded anything.
class RawBaseline {
  public:
    static std::unique_ptr<RawBaseline> of(ObservedCodec::Shared& shared) {
        std::vector<PixelBuffer> frames;
        std::optional<CompressionProperties> properties;
        {
            std::lock_guard lock(shared.mutex);
            frames = shared.kept;
            properties = shared.properties;
        }
        if (frames.empty() || !properties) return nullptr;
        auto baseline = std::unique_ptr<RawBaseline>(
            new RawBaseline(frames[0].width, frames[0].height, *properties));
        if (!baseline->encoder_.ok()) return nullptr;
        for (const auto& frame : frames) baseline->planar_.push_back(RawX265::planar(frame));
        return baseline;
    }
    std::size_t frames() const { return planar_.size(); }
    // Encodes the i-th picture of the sequence; its bytes.
    std::size_t encode(std::size_t i) { return encoder_.encode(planar_[pingPong(i, frames())]); }

  private:
    RawBaseline(int width, int height, const CompressionProperties& properties)
        : encoder_(width, height, properties) {}
    RawX265 encoder_;
    std::vector<std::vector<std::uint8_t>> planar_;
};

Outcome throughput(bench::DesktopKind kind, int width, int height, int rounds, double windowSeconds,
                   bool withDrawing) {
    auto desktop = startDesktop(kind, width, height, 240);
    if (!desktop) return {};
    auto& painter = *desktop;
    std::printf(
        "throughput %dx%d on %s (unpaced: capture at up to 240 fps, the screen scrolls as "
        "soon as a frame is taken)\n",
        width, height, desktop->name().c_str());
    double pipelineFps = 0, rawFps = 0;
    for (int round = 0; round < rounds; ++round) {
        auto codec = std::make_shared<ObservedCodec>(90);
        auto shared = codec->shared();
        Counter received;
        std::atomic<bool> painting{true};
        double fps = 0, cpu = 0, xcpu = 0, mbps = 0;
        {
            Pipeline pipeline(desktop->captureService(), 240, codec,
                              [&](ByteView unit) { received.add(unit); });
            if (!pipeline.error().empty()) {
                std::fprintf(stderr, "pipeline: %s\n", pipeline.error().c_str());
                return {};
            }
            // The screen changes as soon as the encoder has taken the previous picture.
            std::thread paint([&] {
                std::uint64_t seen = 0;
                for (int step = 1; painting; ++step) {
                    painter.scroll(step);
                    seen = waitForEncodeStart(*shared, seen, 200ms);
                }
            });
            std::this_thread::sleep_for(1s);  // warm up
            const auto f0 = received.frames.load();
            const auto b0 = received.bytes.load();
            const double c0 = processCpuSeconds();
            const double x0 = otherCpuSeconds(desktop->compositorProcesses());
            const auto t0 = Clock::now();
            std::this_thread::sleep_for(std::chrono::duration<double>(windowSeconds));
            const double took = seconds(Clock::now() - t0);
            fps = static_cast<double>(received.frames - f0) / took;
            mbps = static_cast<double>(received.bytes - b0) * 8 / took / 1e6;
            cpu = (processCpuSeconds() - c0) / took;
            xcpu = (otherCpuSeconds(desktop->compositorProcesses()) - x0) / took;
            painting = false;
            paint.join();
        }
        double encodeMean = 0;
        {
            std::lock_guard lock(shared->mutex);
            encodeMean = std::accumulate(shared->encodeMs.begin(), shared->encodeMs.end(), 0.0) /
                         static_cast<double>(std::max<std::size_t>(1, shared->encodeMs.size()));
        }
        auto raw = RawBaseline::of(*shared);
        if (!raw) {
            std::fprintf(stderr, "the pipeline encoded nothing\n");
            return {};
        }
        // The test client keeps drawing at the pipeline's rate, so that the compositor's share of
        // the machine is the same in both halves: what differs is only the pipeline's own work.
        std::atomic<bool> drawing{withDrawing};
        std::thread draw([&] {
            auto next = Clock::now();
            for (int step = 1; drawing; ++step) {
                painter.scroll(step);
                next += std::chrono::microseconds(static_cast<std::int64_t>(1e6 / fps));
                std::this_thread::sleep_until(next);
            }
        });
        std::size_t rawBytes = 0, n = 0;
        const double c0 = processCpuSeconds();
        const auto t0 = Clock::now();
        while (seconds(Clock::now() - t0) < windowSeconds) rawBytes += raw->encode(n++);
        const double took = seconds(Clock::now() - t0);
        drawing = false;
        draw.join();
        const double rfps = static_cast<double>(n) / took;
        const double rcpu = (processCpuSeconds() - c0) / took;
        std::printf(
            "  round %d: pipeline %.1f fps %.1f Mbit/s (mean encode %.2f ms, CPU %.0f %% "
            "+ %s %.0f %%) | raw x265 on the same %zu frames %.1f fps %.1f Mbit/s "
            "(CPU %.0f %%) | ratio %.3f\n",
            round + 1, fps, mbps, encodeMean, cpu * 100, desktop->compositorName(), xcpu * 100,
            raw->frames(), rfps, static_cast<double>(rawBytes) * 8 / took / 1e6, rcpu * 100,
            fps / rfps);
        pipelineFps += fps;
        rawFps += rfps;
    }
    std::printf(
        "RESULT throughput %dx%d on %s (%s): pipeline %.1f fps, raw x265 %.1f fps, ratio %.3f "
        "(target >= 0.9)\n",
        width, height, bench::description(kind),
        withDrawing ? "baseline beside the same drawing" : "baseline alone", pipelineFps / rounds,
        rawFps / rounds, pipelineFps / rawFps);
    return {0, pipelineFps / rawFps};
}

// The baseline of the encode stage: x265 alone, after the session, on the frames the session
// encoded, with its properties and with pauses like the changes' between them, so that its own
// spread on this machine is seen beside the pipeline's.
void printEncoderAlone(ObservedCodec::Shared& shared, const std::string& title, int changes) {
    auto raw = RawBaseline::of(shared);
    if (!raw || raw->frames() < 2) return;
    // The encoder's first picture is a whole key picture; the session's came before its changes
    // too, so it is left out of the times.
    raw->encode(0);
    std::mt19937 random(11);
    std::vector<double> times;
    for (int i = 1; i <= changes; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(60 + random() % 90));
        const auto t0 = Clock::now();
        raw->encode(static_cast<std::size_t>(i));
        times.push_back(ms(Clock::now() - t0));
    }
    const double median = bench::percentileOf(times, 50);
    const double p99 = bench::percentileOf(times, 99);
    std::printf(
        "ENCODER ALONE %s: x265 on %zu of the session's frames, %d encodes with the changes' "
        "pauses: median %.2f ms, p99 %.2f ms (p99/median %.2f)\n",
        title.c_str(), raw->frames(), changes, median, p99, p99 / median);
}

Outcome latency(bench::DesktopKind kind, int width, int height, int fps, int samples) {
    auto desktop = startDesktop(kind, width, height, fps);
    if (!desktop) return {};
    auto& painter = *desktop;
    painter.scroll(0);
    painter.square(false);
    // The first frames are kept for the encoder-alone baseline.
    auto codec = std::make_shared<ObservedCodec>(40);
    FrameTrace::enable(static_cast<std::size_t>(samples) * 200 * frameStageCount);

    // The client decodes every picture and looks at the middle of the square.
    std::mutex mutex;
    std::condition_variable changed;
    std::optional<bool> shownWhite;
    Clock::time_point shownAt;
    // Every unit as it arrived (arrival order), and the one that showed the last change.
    struct Unit {
        Clock::time_point arrived;
        std::size_t bytes;
        bool key;
    };
    std::vector<Unit> units;
    bench::StageTable::Sample shown;
    std::string error;
    VideoSink::Options options;
    options.decode = true;
    options.onPicture = [&](const DecodedPicture& picture, Clock::time_point arrived) {
        // Up and left of the middle, where the pointer (in the middle) does not cover it.
        const bool white = picture.luma(picture.width / 2 - 64, picture.height / 2 - 64) > 128;
        const auto now = Clock::now();
        std::lock_guard lock(mutex);
        if (!shownWhite || *shownWhite != white) {
            shownWhite = white;
            shownAt = now;
            // The unit is the last one that arrived before the sink took it in.
            const auto after =
                std::upper_bound(units.begin(), units.end(), arrived,
                                 [](Clock::time_point t, const Unit& u) { return t < u.arrived; });
            if (after != units.begin()) {
                const auto& unit = *(after - 1);
                shown.unit = static_cast<std::size_t>(after - 1 - units.begin());
                shown.arrived = unit.arrived;
                shown.bytes = unit.bytes;
                shown.keyFrame = unit.key;
            }
            shown.decoded = now;
            shown.presented = now;  // the command-line client presents nothing
        }
        changed.notify_all();
    };
    auto sink = VideoSink::open(options, &error);
    if (!sink) return {};
    Pipeline pipeline(desktop->captureService(), fps, codec, [&](ByteView unit) {
        {
            std::lock_guard lock(mutex);
            units.push_back({Clock::now(), unit.size(), isKeyFrameAccessUnit(unit)});
        }
        sink->push(unit);
    });
    if (!pipeline.error().empty()) {
        std::fprintf(stderr, "pipeline: %s\n", pipeline.error().c_str());
        return {};
    }
    {
        std::unique_lock lock(mutex);
        if (!changed.wait_for(lock, 5s, [&] { return shownWhite.has_value(); })) {
            std::fprintf(stderr, "no first picture\n");
            return {};
        }
    }
    std::vector<double> latencies;
    std::vector<bench::StageTable::Sample> traced;
    int missed = 0;
    std::mt19937 random(7);
    bool white = false;
    for (int i = 0; i < samples; ++i) {
        // Changes at random phases of the capture's frame clock.
        std::this_thread::sleep_for(std::chrono::milliseconds(60 + random() % 90));
        white = !white;
        const auto drawn = painter.square(white);
        std::unique_lock lock(mutex);
        if (changed.wait_for(lock, 2s, [&] { return shownWhite == white; })) {
            latencies.push_back(ms(shownAt - drawn));
            shown.drawn = drawn;
            traced.push_back(shown);
        } else {
            ++missed;
        }
    }
    sink->finish();
    FrameTrace::disable();
    double encodeMean = 0;
    {
        auto shared = codec->shared();
        std::lock_guard lock(shared->mutex);
        encodeMean = std::accumulate(shared->encodeMs.begin(), shared->encodeMs.end(), 0.0) /
                     static_cast<double>(std::max<std::size_t>(1, shared->encodeMs.size()));
    }
    const double target = 1000.0 / fps + encodeMean;
    std::printf(
        "RESULT latency %dx%d@%d on %s: median %.1f ms, p99 %.1f ms, min %.1f, max %.1f over "
        "%zu changes (%d missed); target one frame + mean encode = %.1f + %.1f = %.1f ms; "
        "median / target %.2f\n",
        width, height, fps, bench::description(kind), bench::percentileOf(latencies, 50),
        bench::percentileOf(latencies, 99), bench::percentileOf(latencies, 0),
        bench::percentileOf(latencies, 100), latencies.size(), missed, 1000.0 / fps, encodeMean,
        target, bench::percentileOf(latencies, 50) / target);
    const bench::StageTable table(FrameTrace::marks());
    const std::string title = std::to_string(width) + "x" + std::to_string(height) + "@" +
                              std::to_string(fps) + " on " + bench::description(kind);
    table.print(title, traced);
    // The encoder's first pictures are still settling its rate control; the rest is the steady
    // state of a session.
    constexpr std::size_t settling = 20;
    if (traced.size() > 2 * settling) {
        table.print(title + " after the first " + std::to_string(settling) + " changes",
                    {traced.begin() + settling, traced.end()});
    }
    pipeline.stop();
    printEncoderAlone(*codec->shared(), title, samples);
    return {missed == 0 ? 0 : 1, bench::percentileOf(latencies, 50)};
}

Outcome staticDesktop(bench::DesktopKind kind, int width, int height, int fps,
                      double windowSeconds) {
    auto desktop = startDesktop(kind, width, height, fps);
    if (!desktop) return {};
    auto& painter = *desktop;
    painter.scroll(0);
    auto codec = std::make_shared<ObservedCodec>(0);
    Counter received;
    Pipeline pipeline(desktop->captureService(), fps, codec,
                      [&](ByteView unit) { received.add(unit); });
    if (!pipeline.error().empty()) {
        std::fprintf(stderr, "pipeline: %s\n", pipeline.error().c_str());
        return {};
    }
    std::this_thread::sleep_for(1s);  // the first frame goes out
    const auto xpid = desktop->compositorProcesses();
    auto measure = [&](bool scrolling, double* cpu, double* xcpu, std::uint64_t* frames) {
        std::atomic<bool> running{scrolling};
        std::thread paint([&] {
            auto next = Clock::now();
            for (int step = 1; running; ++step) {
                painter.scroll(step);
                next += std::chrono::microseconds(1'000'000 / fps);
                std::this_thread::sleep_until(next);
            }
        });
        const auto f0 = received.frames.load();
        const double c0 = processCpuSeconds();
        const double x0 = otherCpuSeconds(xpid);
        const auto t0 = Clock::now();
        std::this_thread::sleep_for(std::chrono::duration<double>(windowSeconds));
        const double took = seconds(Clock::now() - t0);
        *cpu = (processCpuSeconds() - c0) / took;
        *xcpu = (otherCpuSeconds(xpid) - x0) / took;
        *frames = received.frames - f0;
        running = false;
        paint.join();
        std::this_thread::sleep_for(500ms);
    };
    double cpuStill = 0, xStill = 0, cpuMoving = 0, xMoving = 0;
    std::uint64_t framesStill = 0, framesMoving = 0;
    measure(false, &cpuStill, &xStill, &framesStill);
    measure(true, &cpuMoving, &xMoving, &framesMoving);
    std::printf(
        "RESULT static %dx%d@%d on %s over %.0f s: still desktop CPU %.2f %% of a core "
        "(+ %s %.2f %%), %llu frames sent | scrolling desktop CPU %.1f %% "
        "(+ %s %.1f %%), %llu frames | still / scrolling %.4f\n",
        width, height, fps, bench::description(kind), windowSeconds, cpuStill * 100,
        desktop->compositorName(), xStill * 100, static_cast<unsigned long long>(framesStill),
        cpuMoving * 100, desktop->compositorName(), xMoving * 100,
        static_cast<unsigned long long>(framesMoving), cpuMoving > 0 ? cpuStill / cpuMoving : 0.0);
    return {framesStill == 0 ? 0 : 1, cpuStill};
}

void usage() {
    std::fprintf(stderr,
                 "usage: bench_session throughput [ROUNDS] [SECONDS] [alone] [--desktop D]\n"
                 "       bench_session latency [SAMPLES] [--desktop D]\n"
                 "       bench_session static [SECONDS] [--desktop D]\n"
                 "       bench_session all [--desktop D]\n"
                 "D: x11 (the default), mutter, or both (each measurement on X11, then Mutter)\n");
}

// Runs one measurement on each desktop asked for; with both, says how Mutter's headline figure
// compares with X11's.
int onDesktops(const std::vector<bench::DesktopKind>& kinds, const char* what, const char* target,
               const std::function<Outcome(bench::DesktopKind)>& measure) {
    std::vector<Outcome> outcomes;
    int status = 0;
    for (auto kind : kinds) {
        outcomes.push_back(measure(kind));
        status |= outcomes.back().status;
    }
    if (outcomes.size() == 2 && outcomes[0].status == 0 && outcomes[1].status == 0 &&
        outcomes[0].figure > 0)
        std::printf("RESULT compare %s: Mutter %.3f, X11 %.3f, Mutter / X11 %.2f%s\n", what,
                    outcomes[1].figure, outcomes[0].figure, outcomes[1].figure / outcomes[0].figure,
                    target);
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    Logger::shared().setWritesToStderr(false);
    std::vector<std::string> args(argv + 1, argv + argc);
    std::vector<bench::DesktopKind> kinds = {bench::DesktopKind::x11};
    for (std::size_t i = 0; i + 1 < args.size(); ++i) {
        if (args[i] != "--desktop") continue;
        if (args[i + 1] == "both") {
            kinds = {bench::DesktopKind::x11, bench::DesktopKind::mutter};
        } else if (auto kind = bench::desktopKindNamed(args[i + 1])) {
            kinds = {*kind};
        } else {
            usage();
            return 2;
        }
        args.erase(args.begin() + static_cast<std::ptrdiff_t>(i),
                   args.begin() + static_cast<std::ptrdiff_t>(i) + 2);
        break;
    }
    const std::string what = !args.empty() ? args[0] : "all";
    auto arg = [&](std::size_t i, double fallback) {
        return args.size() > i ? std::atof(args[i].c_str()) : fallback;
    };
    int status = 0;
    if (what == "throughput" || what == "all") {
        const int rounds = static_cast<int>(arg(1, 2));
        const double window = arg(2, 4);
        // Drawing beside the baseline unless told "alone".
        const bool drawing = !(args.size() > 3 && args[3] == "alone");
        for (auto [w, h] : {std::pair{1280, 720}, std::pair{1920, 1080}}) {
            const std::string name =
                "throughput ratio " + std::to_string(w) + "x" + std::to_string(h);
            status |= onDesktops(kinds, name.c_str(), "", [&](bench::DesktopKind kind) {
                return throughput(kind, w, h, rounds, window, drawing);
            });
        }
    }
    if (what == "latency" || what == "all") {
        const int samples = static_cast<int>(arg(1, 100));
        for (auto [w, h, fps] : {std::tuple{1280, 720, 60}, std::tuple{1920, 1080, 30}}) {
            const std::string name = "latency median " + std::to_string(w) + "x" +
                                     std::to_string(h) + "@" + std::to_string(fps);
            status |= onDesktops(
                kinds, name.c_str(), " (target <= 1.2)",
                [&](bench::DesktopKind kind) { return latency(kind, w, h, fps, samples); });
        }
    }
    if (what == "static" || what == "all") {
        status |= onDesktops(kinds, "still desktop CPU", "", [&](bench::DesktopKind kind) {
            return staticDesktop(kind, 1920, 1080, 60, arg(1, 10));
        });
    }
    if (what != "throughput" && what != "latency" && what != "static" && what != "all") {
        usage();
        return 2;
    }
    return status;
}
