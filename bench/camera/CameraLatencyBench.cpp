// Client frame to consumer: the client's camera frames over QUIC to the camera server, through the
// lensway socket, decoded and sent on the 25 fps tick to a PipeWire consumer (gst-launch-1.0
// pipewiresrc). Every frame is one flat grey level, changing from frame to frame; a frame has
// arrived with the first consumer buffer at its level. Also the CPU of lensway while it decodes
// 1080p25, beside ffmpeg decoding the same stream (one thread) as the baseline.
//   bench_camera LENSWAY_PROGRAM [FRAMES]
#include "Lensway/tests/PrivateMediaSession.h"
#include "base/testing/Eventually.h"
#include "client/CameraSource.h"
#include "client/StreamClient.h"
#include "comm/CameraRelay.h"
#include "comm/testing/TestIdentity.h"
#include "platform/cameradevices/lensway/LenswayCameraDevices.h"
#include "platform/notify/sdbus/SdBusNotifyCenter.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace vl;
using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

namespace {

constexpr int width = 1920, height = 1080;

int levelOf(int index) {
    return 30 + (index % 6) * 35;
}

double cpuSeconds(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), {});
    const auto close = text.rfind(')');
    if (close == std::string::npos) return 0;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    double ticks = 0;
    for (int i = 3; fields >> field; ++i)
        if (i == 14 || i == 15) ticks += std::stod(field);
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

double percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, static_cast<std::size_t>(p * values.size()))];
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_camera LENSWAY_PROGRAM [FRAMES]\n");
        return 2;
    }
    const int frames = argc > 2 ? std::atoi(argv[2]) : 100;
    auto session = vl::testing::PrivateMediaSession::start();
    if (!session) {
        std::fprintf(stderr, "no PipeWire session\n");
        return 1;
    }
    const auto socket = session->runtimeFolder() / "lensway" / "camera.sock";
    auto lensway =
        session->spawn({argv[1], "--no-v4l2", "--socket", socket.string()}, "lensway.log");
    std::shared_ptr<NotifyCenter> notify = SdBusNotifyCenter::open(session->busAddress());
    if (!lensway || !notify ||
        !vl::testing::eventually([&] { return std::filesystem::exists(socket); }, 10s)) {
        std::fprintf(stderr, "lensway did not start\n");
        return 1;
    }

    // The frames, encoded before the clock starts.
    std::string error;
    auto encoder = CameraEncoder::create(width, height, &error);
    if (!encoder) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    std::vector<Bytes> units;
    for (int i = 0; i < frames; ++i) {
        PixelBuffer picture =
            makePixelBuffer(width, height, PixelFormat::biPlanar420Video8, ColorDescription{});
        std::fill(picture.planes[0].bytes.begin(), picture.planes[0].bytes.end(),
                  std::uint8_t(levelOf(i)));
        std::fill(picture.planes[1].bytes.begin(), picture.planes[1].bytes.end(),
                  std::uint8_t(128));
        units.push_back(encoder->encode(picture));
    }
    const auto streamFile = session->runtimeFolder() / "stream.hevc";
    {
        std::ofstream out(streamFile, std::ios::binary);
        for (const Bytes& unit : units)
            out.write(reinterpret_cast<const char*>(unit.data()), std::streamsize(unit.size()));
    }

    // The server's camera relay, in process, on a free port.
    CameraRelay relay(vl::testing::testIdentity,
                      {notify, std::make_shared<LenswayCameraDevices>(socket)});
    relay.startVisionProCam({0, std::make_shared<ClientGate>()});
    if (!session->waitFor("pw-cli ls Node", "corvane-persona-camera")) {
        std::fprintf(stderr, "the camera was not listed\n");
        return 1;
    }
    auto client =
        StreamClient::connect("127.0.0.1", relay.camServer()->boundPort(), StreamOptions::media());
    client->waitForState(ConnectionState::ready);
    client->send(Packet(PacketType::pktVideoStreamData, InteractionType::rdpVideo));

    // The consumer, reading raw frames from a pipe; only each frame's centre is kept.
    const auto fifo = session->runtimeFolder() / "camera.nv12";
    ::mkfifo(fifo.c_str(), 0600);
    const int fd = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    auto consumer = session->spawn(
        {"gst-launch-1.0", "-q", "pipewiresrc", "target-object=corvane-persona-camera", "!",
         "video/x-raw,format=NV12,width=1920,height=1080", "!", "filesink",
         "location=" + fifo.string()},
        "gst.log");
    std::mutex mutex;
    std::vector<std::pair<SteadyClock::time_point, int>> arrivals;
    std::atomic<bool> reading{true};
    std::thread reader([&] {
        const std::size_t frameSize = std::size_t(width) * height * 3 / 2;
        const std::size_t centre = std::size_t(height / 2) * width + width / 2;
        std::vector<std::uint8_t> chunk(1 << 20);
        std::size_t offset = 0;  // within the current frame
        while (reading) {
            pollfd readable{fd, POLLIN, 0};
            if (::poll(&readable, 1, 50) <= 0) continue;
            const ssize_t n = ::read(fd, chunk.data(), chunk.size());
            if (n <= 0) continue;
            for (std::size_t i = 0; i < std::size_t(n);) {
                const std::size_t take = std::min(std::size_t(n) - i, frameSize - offset);
                if (offset <= centre && centre < offset + take) {
                    std::lock_guard lock(mutex);
                    arrivals.emplace_back(SteadyClock::now(), chunk[i + centre - offset]);
                }
                offset = (offset + take) % frameSize;
                i += take;
            }
        }
    });
    auto waitForPackets = client->waitFor(
        [](const Packet& p) { return p.subType == InteractionType::camStart; }, 10s);
    if (!waitForPackets) {
        std::fprintf(stderr, "no camStart\n");
        return 1;
    }

    std::vector<SteadyClock::time_point> sent;
    const double cpuBefore = cpuSeconds(lensway->pid());
    const auto start = SteadyClock::now();
    for (int i = 0; i < frames; ++i) {
        std::this_thread::sleep_until(start + i * 40ms);
        sent.push_back(SteadyClock::now());
        client->send(Packet(PacketType::pktVideoStreamData, InteractionType::rdpVideo, units[i]));
    }
    std::this_thread::sleep_for(300ms);
    const double lenswayCpu = cpuSeconds(lensway->pid()) - cpuBefore;
    const double streamed = std::chrono::duration<double>(SteadyClock::now() - start).count();
    reading = false;
    reader.join();
    consumer->stop();
    relay.stopVisionProCam();

    std::vector<double> latencies;
    int missed = 0;
    for (int i = 1; i < frames; ++i) {  // frame 0 also waits for the decoder's start
        std::optional<double> found;
        std::lock_guard lock(mutex);
        for (const auto& [when, level] : arrivals)
            if (when > sent[i] && std::abs(level - levelOf(i)) <= 10 && when < sent[i] + 200ms) {
                found = std::chrono::duration<double, std::milli>(when - sent[i]).count();
                break;
            }
        if (found)
            latencies.push_back(*found);
        else
            ++missed;
    }

    // Baseline: ffmpeg decoding the same stream on one thread, paced at 25 fps as lensway is.
    const std::string ffmpeg = "ffmpeg -hide_banner -loglevel error -threads 1 -re -i '" +
                               streamFile.string() + "' -f null - ";
    const auto ffStart = SteadyClock::now();
    struct rusage before {
    }, after{};
    getrusage(RUSAGE_CHILDREN, &before);
    const int ffStatus = std::system(ffmpeg.c_str());
    getrusage(RUSAGE_CHILDREN, &after);
    const double ffWall = std::chrono::duration<double>(SteadyClock::now() - ffStart).count();
    auto seconds = [](const timeval& t) { return double(t.tv_sec) + t.tv_usec / 1e6; };
    const double ffCpu = seconds(after.ru_utime) - seconds(before.ru_utime) +
                         seconds(after.ru_stime) - seconds(before.ru_stime);

    std::printf(
        "client frame to consumer, 1920x1080: %zu frames, %d missed, median %.1f ms, p99 "
        "%.1f ms (one frame interval is 40 ms)\n",
        latencies.size(), missed, percentile(latencies, 0.5), percentile(latencies, 0.99));
    std::printf("lensway CPU at 1080p25: %.1f%% of one core (%.2f s over %.1f s)\n",
                100 * lenswayCpu / streamed, lenswayCpu, streamed);
    if (ffStatus == 0)
        std::printf(
            "ffmpeg decoding the same stream: %.1f%% of one core (%.2f s over %.1f s); "
            "lensway / ffmpeg = %.2f\n",
            100 * ffCpu / ffWall, ffCpu, ffWall, (lenswayCpu / streamed) / (ffCpu / ffWall));
    if (ffStatus == 0)
        // The target is one frame interval plus decode: ffmpeg's time per frame stands for decode.
        std::printf(
            "decode per frame (ffmpeg, one thread): %.1f ms; target for the median: %.1f ms\n",
            1000 * ffCpu / frames, 40 + 1000 * ffCpu / frames);
    ::close(fd);
    return 0;
}
