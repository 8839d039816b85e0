// lensway: the camera daemon of the user's session. It offers "Corvane Persona Camera" to
// applications (a PipeWire video source, and a V4L2 loopback device where one exists) while the
// server shows it, and plays the client's video that the server writes into it.
#include "Lensway/FrameSocketServer.h"
#include "Lensway/LenswayWire.h"
#include "Lensway/PersonaProviderSource.h"
#include "Lensway/pipewire/PipeWireCamera.h"
#include "Lensway/v4l2/V4l2LoopbackOutput.h"
#include "base/Log.h"
#include "platform/notify/sdbus/SdBusNotifyCenter.h"
#include "platform/videocodec/libavcodec/HevcDecoder.h"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

using namespace vl;
using namespace vl::lensway;

namespace {

struct Options {
    std::optional<std::filesystem::path> socket;
    std::optional<std::filesystem::path> v4l2Device;
    bool v4l2 = true;
    std::string font;
};

int usage() {
    std::fprintf(stderr,
                 "usage: lensway [--socket PATH] [--v4l2-device PATH | --no-v4l2] [--font FILE]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (arg == "--socket" && value)
            options.socket = argv[++i];
        else if (arg == "--v4l2-device" && value)
            options.v4l2Device = argv[++i];
        else if (arg == "--no-v4l2")
            options.v4l2 = false;
        else if (arg == "--font" && value)
            options.font = argv[++i];
        else
            return usage();
    }
    if (!options.socket) options.socket = lensway::socketPath();
    if (!options.socket) {
        std::fprintf(stderr, "lensway: no XDG_RUNTIME_DIR for the frame socket\n");
        return 1;
    }

    // Signals are taken by sigwait below; every thread started from here on inherits the mask.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    std::shared_ptr<NotifyCenter> notify = SdBusNotifyCenter::open();
    if (!notify) {
        std::fprintf(stderr, "lensway: no D-Bus session bus\n");
        return 1;
    }
    std::string error;
    auto camera = PipeWireCamera::create(&error);
    if (!camera) {
        std::fprintf(stderr, "lensway: %s\n", error.c_str());
        return 1;
    }
    PersonaDeviceSource::Options deviceOptions;
    deviceOptions.fontPath = options.font;
    deviceOptions.makeDecoder = HevcDecoder::factory();
    auto provider = std::make_unique<PersonaProviderSource>(*camera, notify, deviceOptions);
    if (options.v4l2) {
        auto output = options.v4l2Device ? V4l2LoopbackOutput::open(*options.v4l2Device)
                                         : V4l2LoopbackOutput::find(cameraName);
        if (output) provider->deviceSource().addOutput(output);
    }
    PersonaDeviceSource& device = provider->deviceSource();
    auto frames = FrameSocketServer::start(
        *options.socket,
        [&device](std::optional<ByteView> value) { device.setEncodedFrameProperty(value); }, &error,
        [&provider] { return provider->isDeviceVisible(); });
    if (!frames) {
        std::fprintf(stderr, "lensway: %s\n", error.c_str());
        return 1;
    }
    provider->start();
    logMsg("lensway: ready; frames on " + options.socket->string());

    int received = 0;
    sigwait(&signals, &received);
    logMsg(std::string("lensway: stopping on ") + strsignal(received));
    frames.reset();
    provider->hideDevice();
    provider.reset();
    camera.reset();
    Logger::shared().flush();
    return 0;
}
