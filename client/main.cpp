// vantrel-link-client: finds servers, connects with the password, measures throughput and runs
// sharing sessions.
#include "client/AudioSink.h"
#include "client/CameraSource.h"
#include "client/ControlClient.h"
#include "client/InputScript.h"
#include "client/MicSource.h"
#include "client/PngFile.h"
#include "client/SessionClient.h"
#include "client/ShareRequest.h"
#include "client/VideoSink.h"
#include "comm/DisplayDescriptor.h"
#include "platform/discovery/avahi/AvahiDiscovery.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

using namespace vl;

namespace {

constexpr std::uint16_t defaultPort = 8788;

void usage(std::FILE* out) {
    std::fprintf(out,
                 "usage: vantrel-link-client discover [--seconds N]\n"
                 "       vantrel-link-client connect HOST[:PORT] --password P [--device-id ID]\n"
                 "                                   [--device-name NAME] [--hold SECONDS]\n"
                 "       vantrel-link-client speedtest HOST[:PORT] --password P [--device-id ID]\n"
                 "       vantrel-link-client share HOST[:PORT] --password P [--size WxH@FPS]\n"
                 "                                 [--hdr] [--extra WxH[@FPS]] [--seconds N]\n"
                 "                                 [--record FILE.hevc] [--snapshot FILE.png]\n"
                 "                                 [--report-pictures]\n"
                 "                                 [--mic FILE.wav]\n"
                 "                                 [--clipboard-send FILE[:TYPE]]...\n"
                 "                                 [--clipboard-out DIR] [--input FILE]\n"
                 "                                 [--audio FILE.wav] [--camera SOURCE]\n"
                 "\n"
                 "PORT is the server's control port (default 8788). share records the main\n"
                 "display's stream to FILE.hevc and an extra display's to FILE-extra.hevc.\n");
}

struct Options {
    std::string command;
    std::string target;
    std::optional<std::string> password;
    ClientIdentity identity;
    double seconds = 3;
    double hold = 0;
    std::string size = "1920x1080@30";
    bool hdr = false;
    std::optional<std::string> extra;
    std::string record;
    std::string snapshot;
    // A line per decoded picture on stdout, for latency benchmarks.
    bool reportPictures = false;
    std::vector<std::string> clipboardSend;  // FILE[:text|image|rtf|html|file], in order
    std::string clipboardOut;
    std::string input;  // a JSON-lines script of timed input messages
    std::string audio;  // the decoded system audio, as WAV
    std::string mic;    // a 48 kHz WAV sent as the microphone while the server asks
    // "testpattern" or a video file, sent while the server asks for it
    std::string camera;
};

std::optional<Options> parse(int argc, char** argv) {
    if (argc < 2) return std::nullopt;
    Options o;
    o.command = argv[1];
    for (int i = 2; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&]() -> std::optional<std::string> {
            if (i + 1 >= argc) return std::nullopt;
            return std::string(argv[++i]);
        };
        std::optional<std::string> v;
        if (arg == "--password" && (v = value()))
            o.password = *v;
        else if (arg == "--device-id" && (v = value()))
            o.identity.deviceID = *v;
        else if (arg == "--device-name" && (v = value()))
            o.identity.deviceName = *v;
        else if (arg == "--seconds" && (v = value()))
            o.seconds = std::atof(v->c_str());
        else if (arg == "--hold" && (v = value()))
            o.hold = std::atof(v->c_str());
        else if (arg == "--size" && (v = value()))
            o.size = *v;
        else if ((arg == "--record" || arg == "--out") && (v = value()))
            o.record = *v;
        else if (arg == "--snapshot" && (v = value()))
            o.snapshot = *v;
        else if (arg == "--extra" && (v = value()))
            o.extra = *v;
        else if (arg == "--clipboard-send" && (v = value()))
            o.clipboardSend.push_back(*v);
        else if (arg == "--clipboard-out" && (v = value()))
            o.clipboardOut = *v;
        else if (arg == "--input" && (v = value()))
            o.input = *v;
        else if (arg == "--camera" && (v = value()))
            o.camera = *v;
        else if (arg == "--audio" && (v = value()))
            o.audio = *v;
        else if (arg == "--mic" && (v = value()))
            o.mic = *v;
        else if (arg == "--report-pictures")
            o.reportPictures = true;
        else if (arg == "--hdr")
            o.hdr = true;
        else if (!arg.starts_with("--") && o.target.empty())
            o.target = arg;
        else
            return std::nullopt;
    }
    return o;
}

int discover(const Options& o) {
    AvahiDiscovery discovery;
    std::string error;
    auto found =
        discovery.browse("_corvanevantrellink._tcp.",
                         std::chrono::milliseconds(static_cast<int>(o.seconds * 1000)), &error);
    if (!found) {
        std::cerr << "discover: " << error << "\n";
        return 1;
    }
    if (found->empty()) std::cout << "no servers found\n";
    for (const auto& service : *found) {
        std::string line = service.name;
        for (const auto& [key, value] : service.txt) line += " " + key + "=" + value;
        std::cout << line << "\n";
    }
    return 0;
}

std::unique_ptr<ControlClient> connectOrExplain(const Options& o, int* status) {
    auto target = parseHostPort(o.target, defaultPort);
    if (!target || !o.password) {
        usage(stderr);
        *status = 2;
        return nullptr;
    }
    std::string error;
    auto client = ControlClient::open(target->first, target->second, o.identity, &error);
    if (!client) {
        std::cerr << "cannot reach " << o.target << ": " << error << "\n";
        *status = 1;
        return nullptr;
    }
    auto answer = client->connect(*o.password);
    if (!answer) {
        std::cerr << "no answer to connect\n";
        *status = 1;
        return nullptr;
    }
    std::cout << description(answer->result) << " " << answer->text << std::endl;
    if (answer->result != InteractionType::ret200) {
        *status = answer->result == InteractionType::retBusy ? 3 : 4;
        return nullptr;
    }
    return client;
}

int connect(const Options& o) {
    int status = 0;
    auto client = connectOrExplain(o, &status);
    if (!client) return status;
    if (o.hold > 0) {
        const auto end = std::chrono::steady_clock::now() +
                         std::chrono::milliseconds(static_cast<int>(o.hold * 1000));
        while (std::chrono::steady_clock::now() < end &&
               client->stream().state() == ConnectionState::ready)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        std::cout << "keepalives " << client->stream().keepalives() << std::endl;
        if (client->stream().state() != ConnectionState::ready) {
            std::cout << "the server closed the connection" << std::endl;
            return 5;
        }
    }
    client->disconnect();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    return 0;
}

int speedtest(const Options& o) {
    int status = 0;
    auto client = connectOrExplain(o, &status);
    if (!client) return status;
    std::string error;
    auto result = client->speedTest(&error, [](std::uint64_t done, std::uint64_t total) {
        std::fprintf(stderr, "\rspeed test: %5.1f %% (%llu of %llu bytes)",
                     total ? 100.0 * done / total : 0.0, static_cast<unsigned long long>(done),
                     static_cast<unsigned long long>(total));
    });
    std::fprintf(stderr, "\n");
    if (!result) {
        std::cerr << "speed test failed: " << error << "\n";
        return 1;
    }
    std::printf("packets %llu bytes %llu seconds %.3f throughput %.3f Gbit/s\n",
                static_cast<unsigned long long>(result->packets),
                static_cast<unsigned long long>(result->payloadBytes), result->seconds,
                result->gigabitsPerSecond());
    client->disconnect();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    return error.empty() ? 0 : 1;
}

std::atomic<bool> interrupted{false};

extern "C" void onInterrupt(int) {
    interrupted = true;
}

// One stream of the session: the item the server answered and where its units go.
struct SharedStream {
    std::string name;  // "display" or "extra"
    SharedItem item;
    std::unique_ptr<VideoSink> sink;
};

void printProgress(const std::vector<SharedStream>& streams, double elapsed, double total,
                   const AudioSink* audio = nullptr) {
    std::string line = "\r" + std::to_string(static_cast<int>(elapsed)) + "/" +
                       std::to_string(static_cast<int>(total + 0.5)) + " s";
    char part[160];
    for (const auto& s : streams) {
        auto stats = s.sink->stats();
        std::snprintf(part, sizeof part, "  %s: %llu frames %.1f fps %.2f Mbit/s %llu key",
                      s.name.c_str(), static_cast<unsigned long long>(stats.frames),
                      stats.fps(elapsed), stats.megabitsPerSecond(elapsed),
                      static_cast<unsigned long long>(stats.keyFrames));
        line += part;
    }
    if (audio) {
        std::snprintf(part, sizeof part, "  audio: %llu packets %.1f dBFS",
                      static_cast<unsigned long long>(audio->packets()), audio->recentLevelDbfs());
        line += part;
    }
    std::fprintf(stderr, "%s   ", line.c_str());
    std::fflush(stderr);
}

// "FILE[:TYPE]" → the clipboard content to send (type text when not given).
std::optional<ClipboardEvent> clipboardFromFile(const std::string& spec, std::string* error) {
    std::string path = spec;
    ClipboardEvent event;
    if (auto colon = spec.rfind(':'); colon != std::string::npos) {
        const std::string name = spec.substr(colon + 1);
        for (std::int64_t raw = 0; raw <= 4; ++raw) {
            auto type = zuPBTypesFromRaw(raw);
            if (type && description(*type) == name) {
                event.type = *type;
                path = spec.substr(0, colon);
            }
        }
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = "cannot read the clipboard file " + path;
        return std::nullopt;
    }
    event.data = Bytes(std::istreambuf_iterator<char>(in), {});
    return event;
}

// Writes every clipboard event the server sent so far into the folder as clip-N.TYPE.
void saveClipboard(StreamClient& control, const std::string& folder, int* saved) {
    while (auto packet = control.waitFor(
               [](const Packet& p) { return p.subType == InteractionType::clipboard; },
               std::chrono::milliseconds(0))) {
        auto event = ClipboardEvent::fromJson(packet->data ? ByteView(*packet->data) : ByteView{});
        if (!event) continue;
        const auto path =
            std::filesystem::path(folder) /
            ("clip-" + std::to_string(++*saved) + "." + std::string(description(event->type)));
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(event->data.data()),
                   static_cast<std::streamsize>(event->data.size()));
        std::printf("clipboard %s %zu bytes %s\n", std::string(description(event->type)).c_str(),
                    event->data.size(), path.string().c_str());
        std::fflush(stdout);
    }
}

// The server names the display the focused window moved to; printed as it arrives.
void printActiveWindowMessages(StreamClient& control) {
    while (auto packet = control.waitFor(
               [](const Packet& p) { return p.subType == InteractionType::activeWindowOnDisplay; },
               std::chrono::milliseconds(0))) {
        std::printf("activeWindowOnDisplay %s\n",
                    packet->data ? stringOf(*packet->data).c_str() : "");
        std::fflush(stdout);
    }
}

// "picture NAME N ARRIVED_NS DECODED_NS LUMA": steady-clock nanoseconds of the access unit's
// arrival and of the decoded picture, and the luma of the picture's centre (8-bit scale).
VideoSink::PictureHandler pictureReporter(std::string name) {
    return [name, count = std::uint64_t{0}](const DecodedPicture& picture,
                                            VideoSink::Clock::time_point arrived) mutable {
        auto ns = [](VideoSink::Clock::time_point t) {
            return static_cast<long long>(
                std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count());
        };
        std::printf("picture %s %llu %lld %lld %d\n", name.c_str(),
                    static_cast<unsigned long long>(++count), ns(arrived),
                    ns(VideoSink::Clock::now()),
                    picture.luma(picture.width / 2, picture.height / 2) >> (picture.bitDepth - 8));
        std::fflush(stdout);
    };
}

// What a share needs before it asks the server for anything: the request, the clipboard contents
// and input to send, and a sink for each display's video. Files are opened (or checked) here, so
// that a bad path costs the server nothing.
struct SharePlan {
    ShareRequest request;
    std::vector<ClipboardEvent> clips;
    InputScript script;
    std::vector<SharedStream> streams;
};

std::optional<SharePlan> prepareShare(const Options& o, int* status) {
    std::string error;
    auto fail = [&](int code) {
        std::cerr << "share: " << error << "\n";
        *status = code;
        return std::nullopt;
    };
    auto request = ShareRequest::make(o.size, o.hdr, o.extra, &error);
    if (!request) return fail(2);
    SharePlan plan{*request, {}, {}, {}};
    if (!o.snapshot.empty()) {
        auto folder = std::filesystem::path(o.snapshot).parent_path();
        if (folder.empty()) folder = ".";
        if (access(folder.c_str(), W_OK) != 0) {
            error = "cannot write the snapshot into " + folder.string();
            return fail(1);
        }
    }
    for (const auto& spec : o.clipboardSend) {
        auto clip = clipboardFromFile(spec, &error);
        if (!clip) return fail(1);
        plan.clips.push_back(std::move(*clip));
    }
    if (!o.input.empty()) {
        auto loaded = InputScript::load(o.input, &error);
        if (!loaded) return fail(1);
        plan.script = std::move(*loaded);
    }
    for (bool extra : {false, true}) {
        if (extra && !plan.request.extraDescriptor) break;
        VideoSink::Options options;
        if (!o.record.empty()) options.recordPath = extra ? extraRecordPath(o.record) : o.record;
        options.decode = true;
        options.keepLastPicture = !extra && !o.snapshot.empty();
        if (o.reportPictures) options.onPicture = pictureReporter(extra ? "extra" : "display");
        auto sink = VideoSink::open(options, &error);
        if (!sink) return fail(1);
        plan.streams.push_back({extra ? "extra" : "display", {}, std::move(sink)});
    }
    return plan;
}

// Starts the main display (and the extra one) and receives each one's video into its sink.
bool startDisplays(SessionClient& session, SharePlan& plan) {
    std::string error;
    auto main = session.startMain(plan.request.descriptor, &error);
    if (!main) {
        std::cerr << "share: " << error << "\n";
        return false;
    }
    plan.streams[0].item = *main;
    if (plan.request.extraDescriptor) {
        auto extra = session.startExtra(*plan.request.extraDescriptor, &error);
        if (!extra) {
            std::cerr << "share: " << error << "\n";
            return false;
        }
        plan.streams[1].item = *extra;
    }
    for (auto& s : plan.streams) {
        // The server rounds an unsupported size to one it supports.
        auto asked = parseDisplayDescriptor(s.name == "display" ? plan.request.descriptor
                                                                : *plan.request.extraDescriptor);
        if (asked && (asked->width != s.item.width || asked->height != s.item.height))
            std::cerr << "share: the server gave the " << s.name << " " << s.item.width << "x"
                      << s.item.height << " for " << asked->width << "x" << asked->height << "\n";
        std::printf("%s %lldx%lld video port %lld id %s\n", s.name.c_str(),
                    static_cast<long long>(s.item.width), static_cast<long long>(s.item.height),
                    static_cast<long long>(s.item.sharedVideoPort), s.item.sharedID.c_str());
        VideoSink* sink = s.sink.get();
        if (!session.receiveVideo(
                s.item, [sink](ByteView unit) { sink->push(unit); }, &error)) {
            std::cerr << "share: video port " << s.item.sharedVideoPort << ": " << error << "\n";
            return false;
        }
    }
    return true;
}

// The audio, camera and microphone streams the options ask for, on the main display's ports.
struct MediaStreams {
    std::unique_ptr<AudioSink> audio;
    std::unique_ptr<CameraStream> camera;
    std::unique_ptr<MicStream> mic;
};

bool openMedia(const Options& o, ControlClient& client, const SharedItem& main,
               MediaStreams& media) {
    std::string error;
    auto printEvent = [](const std::string& event) {
        std::printf("%s\n", event.c_str());
        std::fflush(stdout);
    };
    if (!o.audio.empty()) {
        // The server offers the layout that goes with the display's size.
        const ZuChannels layout =
            resolutionOfSupportedAudioChannels(Resolution::from(int(main.width), int(main.height)));
        media.audio =
            AudioSink::open(client.host(), std::uint16_t(main.sharedAudioPort), layout, &error);
        if (!media.audio) {
            std::cerr << "share: audio port " << main.sharedAudioPort << ": " << error << "\n";
            return false;
        }
        std::printf("audio port %lld layout %s\n", static_cast<long long>(main.sharedAudioPort),
                    description(layout));
    }
    if (!o.camera.empty()) {
        media.camera = CameraStream::open(client.host(), std::uint16_t(main.sharedCamPort),
                                          o.camera, printEvent, &error);
        if (!media.camera) {
            std::cerr << "share: camera port " << main.sharedCamPort << ": " << error << "\n";
            return false;
        }
        std::printf("camera port %lld\n", static_cast<long long>(main.sharedCamPort));
    }
    if (!o.mic.empty()) {
        media.mic = MicStream::open(client.host(), std::uint16_t(main.sharedMicPort), o.mic,
                                    printEvent, &error);
        if (!media.mic) {
            std::cerr << "share: microphone port " << main.sharedMicPort << ": " << error << "\n";
            return false;
        }
        std::printf("mic port %lld\n", static_cast<long long>(main.sharedMicPort));
    }
    std::fflush(stdout);
    return true;
}

// The session's time: input played, clipboard contents sent one by one 1.5 s apart (so each can
// be seen on the desktop), what the server sends printed, progress shown. Returns the seconds it
// ran; `lost` when the main display's video connection closed first.
double runShare(const Options& o, ControlClient& client, SessionClient& session, SharePlan& plan,
                const MediaStreams& media, bool* lost) {
    using namespace std::chrono;
    const SharedItem& main = plan.streams[0].item;
    const auto start = steady_clock::now();
    auto elapsed = [&] { return duration<double>(steady_clock::now() - start).count(); };
    plan.script.play(
        [&](InteractionType type, const std::string& payload) {
            client.stream().send(Packet(PacketType::pktInteractiveTap, type, bytesOf(payload)));
        },
        main.sharedID, plan.streams.size() > 1 ? plan.streams[1].item.sharedID : std::string());
    std::size_t nextClip = 0;
    double nextClipAt = 0;
    int clipsSaved = 0;
    while (elapsed() < o.seconds && !interrupted) {
        if (nextClip < plan.clips.size() && elapsed() >= nextClipAt) {
            ClipboardEvent& clip = plan.clips[nextClip];
            clip.shareId = main.sharedID;
            client.stream().send(Packet(PacketType::pktInteractiveTap, InteractionType::clipboard,
                                        bytesOf(clip.toJson())));
            std::printf("clipboard sent %s %zu bytes\n",
                        std::string(description(clip.type)).c_str(), clip.data.size());
            std::fflush(stdout);
            ++nextClip;
            nextClipAt = elapsed() + 1.5;
        }
        if (!o.clipboardOut.empty()) saveClipboard(client.stream(), o.clipboardOut, &clipsSaved);
        printActiveWindowMessages(client.stream());
        std::this_thread::sleep_for(
            milliseconds(std::min(250, static_cast<int>((o.seconds - elapsed()) * 1000) + 1)));
        printProgress(plan.streams, elapsed(), o.seconds, media.audio.get());
        if (!session.videoOpen(main)) {
            *lost = true;
            break;
        }
    }
    return elapsed();
}

// What arrived, and whether it is what a good session gives: the exit status.
int reportShare(const Options& o, const SharePlan& plan, const MediaStreams& media, double seconds,
                bool lost) {
    std::string error;
    int status = 0;
    printProgress(plan.streams, seconds, o.seconds, media.audio.get());
    std::fprintf(stderr, "\n");
    if (lost) {
        std::cerr << "share: the video connection closed\n";
        status = 1;
    }
    if (interrupted) std::cerr << "share: interrupted; session stopped\n";
    if (media.mic)
        std::printf("mic packets sent %llu\n",
                    static_cast<unsigned long long>(media.mic->packetsSent()));
    if (const auto& audio = media.audio) {
        std::printf("audio layout %s packets %llu decode errors %llu\n",
                    description(audio->layout()), static_cast<unsigned long long>(audio->packets()),
                    static_cast<unsigned long long>(audio->decodeErrors()));
        if (!audio->finish(o.audio, &error)) {
            std::cerr << "share: " << error << "\n";
            status = 1;
        }
        if (audio->packets() == 0) {
            std::cerr << "share: no audio arrived\n";
            status = 1;
        }
    }
    if (media.camera)
        std::printf("camera frames sent %llu\n",
                    static_cast<unsigned long long>(media.camera->framesSent()));
    for (const auto& s : plan.streams) {
        auto stats = s.sink->stats();
        std::printf(
            "%s %lldx%lld video port %lld frames %llu key frames %llu bytes %llu "
            "seconds %.2f fps %.1f bitrate %.3f Mbit/s decoded %llu decode errors %d\n",
            s.name.c_str(), static_cast<long long>(s.item.width),
            static_cast<long long>(s.item.height), static_cast<long long>(s.item.sharedVideoPort),
            static_cast<unsigned long long>(stats.frames),
            static_cast<unsigned long long>(stats.keyFrames),
            static_cast<unsigned long long>(stats.bytes), seconds, stats.fps(seconds),
            stats.megabitsPerSecond(seconds),
            static_cast<unsigned long long>(s.sink->picturesDecoded()), s.sink->decodeErrors());
        if (stats.frames == 0) {
            std::cerr << "share: no video arrived for the " << s.name << "\n";
            // A still extra display sends its first frame only; the main one must send something.
            if (s.name == "display") status = 1;
        }
        if (s.sink->decodeErrors() > 0) {
            std::cerr << "share: " << s.name << " stream: " << s.sink->decodeErrors()
                      << " access units did not decode (" << s.sink->lastDecodeError() << ")\n";
            status = 1;
        }
        if (!s.sink->recordOk()) {
            std::cerr << "share: writing the recording of the " << s.name << " failed\n";
            status = 1;
        }
    }
    if (!o.snapshot.empty()) {
        auto picture = plan.streams[0].sink->lastPicture();
        if (!picture) {
            std::cerr << "share: no picture decoded; no snapshot written\n";
            status = 1;
        } else if (!writePng(o.snapshot, picture->width, picture->height, toRGB24(*picture),
                             &error)) {
            std::cerr << "share: snapshot: " << error << "\n";
            status = 1;
        } else {
            std::printf("snapshot %s %dx%d\n", o.snapshot.c_str(), picture->width, picture->height);
        }
    }
    return status;
}

int share(const Options& o) {
    int status = 0;
    auto plan = prepareShare(o, &status);
    if (!plan) return status;
    auto client = connectOrExplain(o, &status);
    if (!client) return status;
    std::signal(SIGINT, onInterrupt);
    std::signal(SIGTERM, onInterrupt);

    SessionClient session(*client);
    auto end = [&] {
        plan->script.stop();
        session.stop();
        for (auto& s : plan->streams) s.sink->finish();
        client->disconnect();
        // Let the stop and goodbye leave before the connection closes.
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    };
    MediaStreams media;
    if (!startDisplays(session, *plan) || !openMedia(o, *client, plan->streams[0].item, media)) {
        end();
        return 1;
    }
    bool lost = false;
    const double seconds = runShare(o, *client, session, *plan, media, &lost);
    end();
    return reportShare(o, *plan, media, seconds, lost);
}

}  // namespace

int main(int argc, char** argv) {
    auto options = parse(argc, argv);
    if (!options) {
        usage(stderr);
        return 2;
    }
    if (options->command == "discover") return discover(*options);
    if (options->command == "connect") return connect(*options);
    if (options->command == "speedtest") return speedtest(*options);
    if (options->command == "share") return share(*options);
    usage(stderr);
    return 2;
}
