// A session with only the viewer's sound and clipboard: connects, starts the main display, plays
// its system audio through ViewerAudio and keeps $DISPLAY's clipboard in step through
// ViewerClipboard, for the given seconds (0: until SIGINT or SIGTERM); then prints the audio
// counters. For end-to-end tests and latency measurements of these two pieces without the viewer's
// window.
#include "client/ControlClient.h"
#include "client/SessionClient.h"
#include "client/viewer/clipboard/ViewerClipboard.h"
#include "client/viewer/media/ViewerAudio.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

using namespace vl;

namespace {
std::atomic<bool> interrupted{false};
void onSignal(int) {
    interrupted = true;
}
}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: viewer-media-probe HOST:PORT PASSWORD SECONDS [WxH@FPS]\n");
        return 2;
    }
    const auto target = parseHostPort(argv[1], 8788);
    const double seconds = std::atof(argv[3]);
    const std::string descriptor = argc > 4 ? argv[4] : "1280x720@30";
    if (!target) return 2;

    std::string error;
    auto control = ControlClient::open(target->first, target->second,
                                       {"viewer-media-probe", "viewer media probe", "1.0"}, &error);
    if (!control) {
        std::fprintf(stderr, "cannot reach %s: %s\n", argv[1], error.c_str());
        return 1;
    }
    auto answer = control->connect(argv[2]);
    if (!answer || answer->result != InteractionType::ret200) {
        std::fprintf(stderr, "connect refused\n");
        return 1;
    }
    SessionClient session(*control);
    auto main = session.startMain(descriptor, &error);
    if (!main) {
        std::fprintf(stderr, "start: %s\n", error.c_str());
        return 1;
    }
    const ZuChannels layout =
        resolutionOfSupportedAudioChannels(Resolution::from(int(main->width), int(main->height)));
    auto audio =
        ViewerAudio::open(control->host(), std::uint16_t(main->sharedAudioPort), layout, &error);
    if (!audio) {
        std::fprintf(stderr, "audio: %s\n", error.c_str());
        session.stop();
        return 1;
    }
    StreamClient& stream = control->stream();
    const std::string shareId = main->sharedID;
    auto clipboard = std::make_unique<ViewerClipboard>([&stream, shareId](ClipboardEvent event) {
        event.shareId = shareId;
        stream.send(Packet(PacketType::pktInteractiveTap, InteractionType::clipboard,
                           bytesOf(event.toJson())));
        std::printf("clipboard out %s %zu bytes\n", std::string(description(event.type)).c_str(),
                    event.data.size());
        std::fflush(stdout);
    });
    std::printf("playing %s audio from port %lld\n", description(layout),
                static_cast<long long>(main->sharedAudioPort));
    std::fflush(stdout);

    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!interrupted && (seconds <= 0 || std::chrono::steady_clock::now() < end)) {
        while (auto packet = stream.waitFor(
                   [](const Packet& p) { return p.subType == InteractionType::clipboard; },
                   std::chrono::milliseconds(50))) {
            auto event =
                ClipboardEvent::fromJson(packet->data ? ByteView(*packet->data) : ByteView{});
            if (!event) continue;
            std::printf("clipboard in %s %zu bytes\n",
                        std::string(description(event->type)).c_str(), event->data.size());
            std::fflush(stdout);
            clipboard->handle(*event);
        }
    }
    clipboard.reset();
    const auto stats = audio->stats();
    audio.reset();
    session.stop();
    control->disconnect();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    std::printf(
        "audio packets %llu decode errors %llu underruns %llu overruns %llu dropped %llu "
        "added latency %.1f ms\n",
        static_cast<unsigned long long>(stats.packets),
        static_cast<unsigned long long>(stats.decodeErrors),
        static_cast<unsigned long long>(stats.underruns),
        static_cast<unsigned long long>(stats.overruns),
        static_cast<unsigned long long>(stats.droppedFrames), stats.addedLatencyMs);
    return stats.packets > 0 ? 0 : 1;
}
