#include "client/viewer/media/ViewerAudio.h"

#include "client/AudioSink.h"
#include "client/viewer/media/AudioJitterBuffer.h"
#include "client/viewer/media/ChannelFold.h"

#include <SDL.h>

#include <algorithm>

namespace vl {

namespace {
constexpr int sampleRate = 48000;
// One AAC-ELD packet, and the device's period: playback starts with both queued, so a packet that
// arrives a period late still finds audio playing. Jitter may raise that to 30 ms, in 5 ms steps.
// The sound server holds about one period ahead of the device: 256 frames ran dry whenever a busy
// machine held the audio thread back for 5 ms.
constexpr std::size_t packetFrames = 480;
constexpr std::uint16_t devicePeriodFrames = 512;

AudioJitterBuffer::Config bufferConfig(int channels) {
    AudioJitterBuffer::Config config;
    config.channels = channels;
    config.minPrimeFrames = packetFrames + devicePeriodFrames;
    config.maxPrimeFrames = sampleRate * 30 / 1000;
    config.stepFrames = sampleRate * 5 / 1000;
    config.windowFrames = sampleRate * 2;
    config.ceilingFrames = sampleRate / 10;
    return config;
}
}  // namespace

struct ViewerAudio::Impl {
    Impl(int inChannels, int outChannels)
        : fold(inChannels, outChannels), buffer(bufferConfig(outChannels)) {}

    ChannelFold fold;
    AudioJitterBuffer buffer;
    std::vector<float> folded;  // receive thread only
    std::unique_ptr<AudioSink> sink;
    SDL_AudioDeviceID device = 0;
    bool sdlStarted = false;

    static void play(void* self, Uint8* stream, int length) {
        auto& buffer = static_cast<Impl*>(self)->buffer;
        const std::size_t frames =
            std::size_t(length) / (sizeof(float) * std::size_t(buffer.channels()));
        buffer.pull(reinterpret_cast<float*>(stream), frames);
    }

    ~Impl() {
        // No packet reaches the buffer once the handler is gone (it is called under the sink's
        // lock), and no callback once the device is closed.
        if (sink) sink->setOnDecoded({});
        if (device) SDL_CloseAudioDevice(device);
        sink.reset();
        if (sdlStarted) SDL_QuitSubSystem(SDL_INIT_AUDIO);
    }
};

ViewerAudio::ViewerAudio(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
ViewerAudio::~ViewerAudio() = default;

std::unique_ptr<ViewerAudio> ViewerAudio::open(const std::string& host, std::uint16_t port,
                                               ZuChannels layout, std::string* error) {
    const int inChannels = int(channelCount(layout));
    auto impl = std::make_unique<Impl>(inChannels, ChannelFold::deviceChannels(inChannels));
    // The port first: a device is opened only for a stream that answered, and what arrives
    // before it plays is not kept.
    impl->sink = AudioSink::open(host, port, layout, error);
    if (!impl->sink) return nullptr;
    impl->sink->setKeepPcm(false);
    if (SDL_InitSubSystem(SDL_INIT_AUDIO) != 0) {
        *error = std::string("audio: ") + SDL_GetError();
        return nullptr;
    }
    impl->sdlStarted = true;

    SDL_AudioSpec want{};
    want.freq = sampleRate;
    want.format = AUDIO_F32SYS;
    want.channels = Uint8(impl->buffer.channels());
    want.samples = devicePeriodFrames;
    want.callback = &Impl::play;
    want.userdata = impl.get();
    SDL_AudioSpec have{};
    // No changes allowed: SDL converts to whatever the device takes.
    impl->device = SDL_OpenAudioDevice(nullptr, 0, &want, &have, 0);
    if (!impl->device) {
        *error = std::string("audio device: ") + SDL_GetError();
        return nullptr;
    }

    Impl* raw = impl.get();
    impl->sink->setOnDecoded([raw](const std::vector<float>& pcm, AudioSink::Clock::time_point) {
        const std::size_t channels = std::size_t(raw->fold.inputChannels());
        if (pcm.size() % channels != 0) return;  // not the layout's channels
        const std::size_t frames = pcm.size() / channels;
        raw->fold.apply(pcm.data(), frames, raw->folded);
        raw->buffer.push(raw->folded.data(), frames);
    });
    SDL_PauseAudioDevice(impl->device, 0);
    return std::unique_ptr<ViewerAudio>(new ViewerAudio(std::move(impl)));
}

void ViewerAudio::setVolume(float volume) {
    impl_->buffer.setVolume(volume);
}

float ViewerAudio::volume() const {
    return impl_->buffer.volume();
}

void ViewerAudio::toggleMute() {
    impl_->buffer.toggleMute();
}

bool ViewerAudio::muted() const {
    return impl_->buffer.muted();
}

ViewerAudio::Stats ViewerAudio::stats() const {
    const auto counters = impl_->buffer.counters();
    Stats stats;
    stats.packets = impl_->sink->packets();
    stats.decodeErrors = impl_->sink->decodeErrors();
    stats.underruns = counters.underruns;
    stats.overruns = counters.overruns;
    stats.droppedFrames = counters.droppedFrames;
    stats.addedLatencyMs = counters.meanQueuedFrames * 1000.0 / sampleRate;
    return stats;
}

bool ViewerAudio::connected() const {
    return impl_->sink->open();
}

}  // namespace vl
