#include "platform/audio/pulse/PulseAudioProvider.h"

#include "base/DispatchQueue.h"

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace vl {

std::string pulseChannelMap(std::uint32_t channels) {
    switch (channels) {
        case 2:
            return "front-left,front-right";
        case 3:
            return "front-left,front-right,lfe";
        case 6:
            return "front-left,front-right,front-center,lfe,rear-left,rear-right";
        case 8:
            return "front-left,front-right,front-center,lfe,side-left,side-right,rear-left,"
                   "rear-right";
        case 12:
            return "front-left,front-right,front-center,lfe,side-left,side-right,rear-left,"
                   "rear-right,top-front-left,top-front-right,top-rear-left,top-rear-right";
        default:
            return {};
    }
}

namespace {

struct SinkInfo {
    std::uint32_t index = PA_INVALID_INDEX;
    std::string name;
    std::string description;
    std::uint32_t ownerModule = PA_INVALID_INDEX;
    pa_sample_spec spec{};
};

AudioStreamDescription describe(const pa_sample_spec& spec) {
    AudioStreamDescription d;
    d.sampleRate = spec.rate;
    d.channelsPerFrame = spec.channels;
    d.framesPerPacket = 1;
    switch (spec.format) {
        case PA_SAMPLE_S16LE:
            d.formatFlags = audioFormatFlagIsSignedInteger | audioFormatFlagIsPacked;
            d.bitsPerChannel = 16;
            break;
        case PA_SAMPLE_S32LE:
            d.formatFlags = audioFormatFlagIsSignedInteger | audioFormatFlagIsPacked;
            d.bitsPerChannel = 32;
            break;
        default:  // what the server mixes in; reads are asked for in float anyway
            d.formatFlags = audioFormatFlagIsFloat | audioFormatFlagIsPacked;
            d.bitsPerChannel = 32;
            break;
    }
    d.bytesPerFrame = d.bytesPerPacket = d.bitsPerChannel / 8 * spec.channels;
    return d;
}

bool validChannelCount(std::uint32_t n) {
    return !pulseChannelMap(n).empty();
}

}  // namespace

struct PulseAudioProvider::Impl {
    Options options;
    Report report;
    pa_threaded_mainloop* loop = nullptr;

    // Guarded by the main loop's lock (the library's callbacks run under it).
    pa_context* context = nullptr;
    pa_time_event* reconnectTimer = nullptr;
    bool ready = false;
    bool cleaned = false;  // a leftover sink of our name has been dealt with
    bool shuttingDown = false;
    std::uint32_t moduleIndex = PA_INVALID_INDEX;  // the null sink we loaded
    std::uint32_t desiredChannels = 2;
    std::string previousDefault;  // default sink when we showed ours
    pa_stream* monitor = nullptr;
    std::uint32_t monitorChannels = 0;
    Bytes pcm;
    std::map<std::string, AudioObjectID> ids;  // sink name -> object id, stable across reconnects
    std::map<AudioObjectID, std::string> names;
    AudioObjectID nextID = 16;

    // Serialises the operations of several round trips (show, hide, channel reload, clean-up).
    std::mutex operations;

    mutable std::mutex stateMutex;  // ready/cleaned for waiters outside the loop
    mutable std::condition_variable stateChanged;
    bool connectedAndClean = false;

    // Shared with notifications still queued when the provider goes.
    struct Listeners {
        std::mutex mutex;
        std::map<AudioListenerToken, AudioPropertyListener> calls;
        AudioListenerToken nextToken = 1;
    };
    std::shared_ptr<Listeners> listeners = std::make_shared<Listeners>();
    std::shared_ptr<DispatchQueue> events = std::make_shared<DispatchQueue>("PulseAudioEvents");

    void say(const std::string& text) const {
        if (report) report(text);
    }

    // ---- connection (loop lock held) ----

    void connect() {
        if (shuttingDown) return;
        context = pa_context_new(pa_threaded_mainloop_get_api(loop), "Vantrel Link");
        if (!context) return scheduleReconnect();
        pa_context_set_state_callback(context, &Impl::contextState, this);
        const char* server = options.server.empty() ? nullptr : options.server.c_str();
        if (pa_context_connect(context, server, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
            dropContext();
            scheduleReconnect();
        }
    }

    void dropContext() {
        if (!context) return;
        pa_context_set_state_callback(context, nullptr, nullptr);
        pa_context_set_subscribe_callback(context, nullptr, nullptr);
        pa_context_disconnect(context);
        pa_context_unref(context);
        context = nullptr;
    }

    void scheduleReconnect() {
        if (shuttingDown || reconnectTimer) return;
        pa_mainloop_api* api = pa_threaded_mainloop_get_api(loop);
        timeval when{};
        gettimeofday(&when, nullptr);
        pa_timeval_add(&when, pa_usec_t(options.reconnectInterval.count()) * PA_USEC_PER_MSEC);
        reconnectTimer = api->time_new(
            api, &when,
            [](pa_mainloop_api* a, pa_time_event* e, const timeval*, void* self) {
                auto* impl = static_cast<Impl*>(self);
                a->time_free(e);
                impl->reconnectTimer = nullptr;
                impl->connect();
            },
            this);
    }

    static void contextState(pa_context* c, void* self) {
        auto* impl = static_cast<Impl*>(self);
        switch (pa_context_get_state(c)) {
            case PA_CONTEXT_READY:
                impl->ready = true;
                impl->cleaned = false;
                pa_context_set_subscribe_callback(c, &Impl::subscription, impl);
                pa_operation_unref(pa_context_subscribe(
                    c,
                    pa_subscription_mask_t(PA_SUBSCRIPTION_MASK_SINK | PA_SUBSCRIPTION_MASK_SERVER),
                    nullptr, nullptr));
                impl->say("🟩 Sound server connected: " +
                          std::string(pa_context_get_server(c) ? pa_context_get_server(c) : "?"));
                // Clean-up needs round trips, which cannot be waited for on the loop's thread.
                impl->events->async([impl] { impl->cleanUpLeftover(); });
                break;
            case PA_CONTEXT_FAILED:
            case PA_CONTEXT_TERMINATED: {
                const bool wasReady = impl->ready;
                impl->ready = false;
                impl->detachMonitor();
                impl->moduleIndex = PA_INVALID_INDEX;
                impl->dropContext();
                impl->setConnectedAndClean(false);
                if (wasReady) {
                    impl->say("🟥 Sound server connection lost; reconnecting");
                    impl->notifyAll();
                }
                impl->scheduleReconnect();
                break;
            }
            default:
                break;
        }
        pa_threaded_mainloop_signal(impl->loop, 0);
    }

    static void subscription(pa_context*, pa_subscription_event_type_t, std::uint32_t, void* self) {
        static_cast<Impl*>(self)->notifyAll();
    }

    void setConnectedAndClean(bool value) {
        {
            std::lock_guard lock(stateMutex);
            connectedAndClean = value;
        }
        stateChanged.notify_all();
    }

    // ---- round trips (loop lock held; never on the loop's thread) ----

    // Waits for the operation while the loop runs; false when it did not complete.
    bool await(pa_operation* op) {
        if (!op) return false;
        while (pa_operation_get_state(op) == PA_OPERATION_RUNNING) pa_threaded_mainloop_wait(loop);
        const bool done = pa_operation_get_state(op) == PA_OPERATION_DONE;
        pa_operation_unref(op);
        return done;
    }

    struct Success {
        Impl* impl;
        bool ok = false;
    };
    static void successCallback(pa_context*, int success, void* data) {
        auto* s = static_cast<Success*>(data);
        s->ok = success != 0;
        pa_threaded_mainloop_signal(s->impl->loop, 0);
    }

    std::optional<SinkInfo> sinkByName(const std::string& name) {
        if (!ready) return std::nullopt;
        struct Query {
            Impl* impl;
            std::optional<SinkInfo> info;
        } query{this, std::nullopt};
        auto callback = [](pa_context*, const pa_sink_info* i, int eol, void* data) {
            auto* q = static_cast<Query*>(data);
            if (eol == 0 && i) {
                q->info =
                    SinkInfo{i->index, i->name ? i->name : "", i->description ? i->description : "",
                             i->owner_module, i->sample_spec};
            }
            pa_threaded_mainloop_signal(q->impl->loop, 0);
        };
        if (!await(pa_context_get_sink_info_by_name(context, name.c_str(), callback, &query)))
            return std::nullopt;
        return query.info;
    }

    std::optional<std::string> defaultSinkName() {
        if (!ready) return std::nullopt;
        struct Query {
            Impl* impl;
            std::optional<std::string> name;
        } query{this, std::nullopt};
        auto callback = [](pa_context*, const pa_server_info* i, void* data) {
            auto* q = static_cast<Query*>(data);
            if (i && i->default_sink_name) q->name = i->default_sink_name;
            pa_threaded_mainloop_signal(q->impl->loop, 0);
        };
        if (!await(pa_context_get_server_info(context, callback, &query))) return std::nullopt;
        return query.name;
    }

    std::vector<std::uint32_t> sinkInputsOn(std::uint32_t sink) {
        struct Query {
            Impl* impl;
            std::uint32_t sink;
            std::vector<std::uint32_t> inputs;
        } query{this, sink, {}};
        auto callback = [](pa_context*, const pa_sink_input_info* i, int eol, void* data) {
            auto* q = static_cast<Query*>(data);
            if (eol == 0 && i && i->sink == q->sink) q->inputs.push_back(i->index);
            pa_threaded_mainloop_signal(q->impl->loop, 0);
        };
        if (!ready || !await(pa_context_get_sink_input_info_list(context, callback, &query)))
            return {};
        return query.inputs;
    }

    std::uint32_t loadModule(const std::string& name, const std::string& arguments) {
        if (!ready) return PA_INVALID_INDEX;
        struct Query {
            Impl* impl;
            std::uint32_t index = PA_INVALID_INDEX;
        } query{this};
        auto callback = [](pa_context*, std::uint32_t index, void* data) {
            auto* q = static_cast<Query*>(data);
            q->index = index;
            pa_threaded_mainloop_signal(q->impl->loop, 0);
        };
        await(pa_context_load_module(context, name.c_str(), arguments.c_str(), callback, &query));
        return query.index;
    }

    bool unloadModule(std::uint32_t index) {
        if (!ready || index == PA_INVALID_INDEX) return false;
        Success s{this};
        return await(pa_context_unload_module(context, index, &Impl::successCallback, &s)) && s.ok;
    }

    bool setDefaultSink(const std::string& name) {
        if (!ready) return false;
        Success s{this};
        return await(pa_context_set_default_sink(context, name.c_str(), &Impl::successCallback,
                                                 &s)) &&
               s.ok;
    }

    bool moveSinkInput(std::uint32_t input, const std::string& sink) {
        if (!ready) return false;
        Success s{this};
        return await(pa_context_move_sink_input_by_name(context, input, sink.c_str(),
                                                        &Impl::successCallback, &s)) &&
               s.ok;
    }

    // Waits (releasing the lock) for a sink to appear or go: PipeWire applies module loads
    // asynchronously.
    std::optional<SinkInfo> waitForSink(const std::string& name, bool present,
                                        std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            auto sink = sinkByName(name);
            if (sink.has_value() == present || !ready) return sink;
            if (std::chrono::steady_clock::now() >= deadline) return sink;
            pa_threaded_mainloop_unlock(loop);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            pa_threaded_mainloop_lock(loop);
        }
    }

    std::string nullSinkArguments(const std::string& name, const std::string& description,
                                  std::uint32_t channels) const {
        return "sink_name=" + name + " sink_properties='device.description=\"" + description +
               "\"' format=float32le rate=48000 channels=" + std::to_string(channels) +
               " channel_map=" + pulseChannelMap(channels);
    }

    // ---- the monitor capture (loop lock held) ----

    void attachMonitor(std::uint32_t channels) {
        detachMonitor();
        pa_sample_spec spec{PA_SAMPLE_FLOAT32LE, 48000, std::uint8_t(channels)};
        pa_channel_map map;
        if (!pa_channel_map_parse(&map, pulseChannelMap(channels).c_str())) return;
        monitor = pa_stream_new(context, "Vantrel Link system audio", &spec, &map);
        if (!monitor) return;
        monitorChannels = channels;
        pa_stream_set_read_callback(monitor, &Impl::monitorRead, this);
        pa_buffer_attr attr;
        attr.maxlength = std::uint32_t(-1);
        attr.tlength = attr.prebuf = attr.minreq = std::uint32_t(-1);
        attr.fragsize = std::uint32_t(
            pa_usec_to_bytes(pa_usec_t(options.fragment.count()) * PA_USEC_PER_MSEC, &spec));
        const std::string source = options.sinkName + ".monitor";
        if (pa_stream_connect_record(
                monitor, source.c_str(), &attr,
                pa_stream_flags_t(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE)) < 0)
            detachMonitor();
    }

    void detachMonitor() {
        if (monitor) {
            pa_stream_set_read_callback(monitor, nullptr, nullptr);
            pa_stream_disconnect(monitor);
            pa_stream_unref(monitor);
            monitor = nullptr;
        }
        monitorChannels = 0;
        pcm.clear();
    }

    bool monitorAlive() const {
        if (!monitor) return false;
        const auto state = pa_stream_get_state(monitor);
        return state == PA_STREAM_READY || state == PA_STREAM_CREATING;
    }

    static void monitorRead(pa_stream* stream, std::size_t, void* self) {
        auto* impl = static_cast<Impl*>(self);
        const void* data = nullptr;
        std::size_t bytes = 0;
        while (pa_stream_readable_size(stream) > 0) {
            if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0) break;
            if (data) {
                const auto* p = static_cast<const std::uint8_t*>(data);
                impl->pcm.insert(impl->pcm.end(), p, p + bytes);
            } else {
                impl->pcm.insert(impl->pcm.end(), bytes, 0);  // a hole: silence keeps the timing
            }
            pa_stream_drop(stream);
        }
        // A reader that stopped reading: keep the newest audio, whole frames only.
        const std::size_t frameBytes =
            4 * std::size_t(std::max<std::uint32_t>(1, impl->monitorChannels));
        const std::size_t limit = std::size_t(48 * impl->options.maxBuffered.count()) * frameBytes;
        if (impl->pcm.size() > limit) {
            std::size_t excess = impl->pcm.size() - limit;
            excess += (frameBytes - excess % frameBytes) % frameBytes;
            impl->pcm.erase(impl->pcm.begin(), impl->pcm.begin() + std::ptrdiff_t(excess));
        }
    }

    // ---- operations (caller holds `operations` and the loop lock) ----

    void cleanUpLeftover() {
        std::lock_guard ops(operations);
        pa_threaded_mainloop_lock(loop);
        if (ready && !cleaned) {
            if (auto sink = sinkByName(options.sinkName);
                sink && sink->ownerModule != moduleIndex && sink->ownerModule != PA_INVALID_INDEX) {
                say("🟪 Unloading a " + options.sinkName + " sink left by an earlier run");
                // It may be the default: the server picks another when it goes.
                unloadModule(sink->ownerModule);
                waitForSink(options.sinkName, false, std::chrono::milliseconds(1000));
            }
            cleaned = true;
        }
        const bool ok = ready && cleaned;
        pa_threaded_mainloop_unlock(loop);
        setConnectedAndClean(ok);
        notifyAll();
    }

    AudioStatus show() {
        auto sink = sinkByName(options.sinkName);
        if (!ready) return audiostatus::notRunning;
        if (sink) {
            if (!monitorAlive()) attachMonitor(sink->spec.channels);
            return audiostatus::noError;
        }
        if (auto current = defaultSinkName(); current && *current != options.sinkName)
            previousDefault = *current;
        else
            previousDefault.clear();
        moduleIndex =
            loadModule("module-null-sink",
                       nullSinkArguments(options.sinkName, options.description, desiredChannels));
        if (moduleIndex == PA_INVALID_INDEX) return audiostatus::unspecified;
        // Attached now when the sink is there already; otherwise at the first read.
        if (auto loaded = sinkByName(options.sinkName)) attachMonitor(loaded->spec.channels);
        return audiostatus::noError;
    }

    AudioStatus hide() {
        if (!ready) return audiostatus::notRunning;
        auto sink = sinkByName(options.sinkName);
        // The previous default comes back before ours goes, and only if it still exists:
        // otherwise the server's own choice is better than a dangling name.
        if (auto current = defaultSinkName(); current && *current == options.sinkName &&
                                              !previousDefault.empty() &&
                                              sinkByName(previousDefault))
            setDefaultSink(previousDefault);
        detachMonitor();
        std::uint32_t module = moduleIndex;
        if (sink && sink->ownerModule != PA_INVALID_INDEX) module = sink->ownerModule;
        moduleIndex = PA_INVALID_INDEX;
        if (module != PA_INVALID_INDEX && !unloadModule(module)) return audiostatus::unspecified;
        return audiostatus::noError;
    }

    AudioStatus setChannels(std::uint32_t channels) {
        if (!validChannelCount(channels)) return audiostatus::illegalOperation;
        desiredChannels = channels;
        if (!ready) return audiostatus::notRunning;
        auto sink = sinkByName(options.sinkName);
        if (!sink || sink->spec.channels == channels) return audiostatus::noError;

        // Streams playing into the sink wait on a holding sink while it is reloaded, then come
        // back: the server would otherwise move them elsewhere, or end them when nothing else is.
        const auto inputs = sinkInputsOn(sink->index);
        const bool wasDefault = defaultSinkName() == options.sinkName;
        const std::string holdName = options.sinkName + "_hold";
        std::uint32_t hold = PA_INVALID_INDEX;
        if (!inputs.empty()) {
            hold = loadModule("module-null-sink", nullSinkArguments(holdName, "Hold", 2));
            if (hold != PA_INVALID_INDEX && waitForSink(holdName, true, std::chrono::seconds(1)))
                for (auto input : inputs) moveSinkInput(input, holdName);
        }
        detachMonitor();
        unloadModule(sink->ownerModule != PA_INVALID_INDEX ? sink->ownerModule : moduleIndex);
        waitForSink(options.sinkName, false, std::chrono::seconds(1));
        moduleIndex = loadModule(
            "module-null-sink", nullSinkArguments(options.sinkName, options.description, channels));
        if (moduleIndex == PA_INVALID_INDEX) {
            if (hold != PA_INVALID_INDEX) unloadModule(hold);
            return audiostatus::unspecified;
        }
        auto loaded = waitForSink(options.sinkName, true, std::chrono::seconds(1));
        if (loaded) {
            for (auto input : inputs) moveSinkInput(input, options.sinkName);
            if (wasDefault) setDefaultSink(options.sinkName);
            attachMonitor(loaded->spec.channels);
        }
        if (hold != PA_INVALID_INDEX) unloadModule(hold);
        return audiostatus::noError;
    }

    // ---- ids (loop lock held) ----

    AudioObjectID idForSink(const std::string& name) {
        if (name == options.sinkName) return outputDeviceID;
        auto it = ids.find(name);
        if (it != ids.end()) return it->second;
        const AudioObjectID id = nextID++;
        ids[name] = id;
        names[id] = name;
        return id;
    }

    std::optional<std::string> sinkNameFor(AudioObjectID id) const {
        if (id == outputDeviceID) return options.sinkName;
        auto it = names.find(id);
        if (it == names.end()) return std::nullopt;
        return it->second;
    }

    // ---- listeners ----

    // Any change of the server's sinks or of the connection: every listener is told, on the
    // provider's event queue, and reads what it wants to know.
    void notifyAll() {
        events->async([set = listeners] {
            std::vector<AudioPropertyListener> calls;
            {
                std::lock_guard lock(set->mutex);
                for (auto& [token, listener] : set->calls) calls.push_back(listener);
            }
            for (auto& call : calls) call();
        });
    }

    // Runs a block under the loop lock.
    template <class F>
    auto locked(F&& f) {
        pa_threaded_mainloop_lock(loop);
        struct Unlock {
            pa_threaded_mainloop* loop;
            ~Unlock() { pa_threaded_mainloop_unlock(loop); }
        } unlock{loop};
        return f();
    }
};

std::shared_ptr<PulseAudioProvider> PulseAudioProvider::create(Options options, Report report) {
    auto impl = std::make_unique<Impl>();
    impl->options = std::move(options);
    impl->report = std::move(report);
    impl->loop = pa_threaded_mainloop_new();
    if (!impl->loop) return nullptr;
    pa_threaded_mainloop_set_name(impl->loop, "vl-pulse");
    if (pa_threaded_mainloop_start(impl->loop) < 0) {
        pa_threaded_mainloop_free(impl->loop);
        return nullptr;
    }
    Impl* raw = impl.get();
    raw->locked([raw] { raw->connect(); });
    return std::shared_ptr<PulseAudioProvider>(new PulseAudioProvider(std::move(impl)));
}

PulseAudioProvider::PulseAudioProvider(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

PulseAudioProvider::~PulseAudioProvider() {
    {
        std::lock_guard lock(impl_->listeners->mutex);
        impl_->listeners->calls.clear();
    }
    impl_->locked([this] {
        impl_->shuttingDown = true;
        impl_->ready = false;
        impl_->detachMonitor();
        if (impl_->reconnectTimer) {
            pa_mainloop_api* api = pa_threaded_mainloop_get_api(impl_->loop);
            api->time_free(impl_->reconnectTimer);
            impl_->reconnectTimer = nullptr;
        }
        impl_->dropContext();
    });
    pa_threaded_mainloop_stop(impl_->loop);
    impl_->events->sync([] {});  // a clean-up posted by the loop has finished
    pa_threaded_mainloop_free(impl_->loop);
}

bool PulseAudioProvider::connected() const {
    std::lock_guard lock(impl_->stateMutex);
    return impl_->connectedAndClean;
}

bool PulseAudioProvider::waitConnected(std::chrono::milliseconds timeout) const {
    std::unique_lock lock(impl_->stateMutex);
    return impl_->stateChanged.wait_for(lock, timeout, [this] { return impl_->connectedAndClean; });
}

std::optional<AudioObjectID> PulseAudioProvider::deviceForUID(const std::string& uid) {
    if (uid == audio::outputDeviceUID)
        return impl_->locked([this]() -> std::optional<AudioObjectID> {
            if (!impl_->ready) return std::nullopt;
            return outputDeviceID;
        });
    return impl_->locked([&]() -> std::optional<AudioObjectID> {
        if (uid.empty() || uid == impl_->options.sinkName || !impl_->sinkByName(uid))
            return std::nullopt;
        return impl_->idForSink(uid);
    });
}

AudioGetResult PulseAudioProvider::getProperty(AudioObjectID device,
                                               const AudioPropertyAddress& address) {
    auto bytes = [](const std::string& s) { return AudioValue(Bytes(s.begin(), s.end())); };
    return impl_->locked([&]() -> AudioGetResult {
        Impl& d = *impl_;
        if (!d.ready) return {audiostatus::notRunning, std::nullopt};
        if (device == outputDeviceID) {
            switch (address.selector) {
                case audio::speakerPCM: {
                    if (!d.monitorAlive()) {
                        auto sink = d.sinkByName(d.options.sinkName);
                        if (!sink) return {audiostatus::illegalOperation, std::nullopt};
                        d.attachMonitor(sink->spec.channels);
                    }
                    return {audiostatus::noError, AudioValue(std::exchange(d.pcm, {}))};
                }
                case audio::showAudio:
                    return {audiostatus::noError,
                            AudioValue(std::uint32_t(d.sinkByName(d.options.sinkName) ? 1 : 0))};
                case audio::setChannels: {
                    auto sink = d.sinkByName(d.options.sinkName);
                    return {
                        audiostatus::noError,
                        AudioValue(std::uint32_t(sink ? sink->spec.channels : d.desiredChannels))};
                }
                case audio::streamFormat: {
                    std::uint32_t channels = d.monitorChannels;
                    if (!channels) {
                        auto sink = d.sinkByName(d.options.sinkName);
                        channels = sink ? sink->spec.channels : d.desiredChannels;
                    }
                    return {audiostatus::noError,
                            AudioValue(AudioStreamDescription::float32(48000, channels))};
                }
                case audio::deviceUID:
                    return {audiostatus::noError, bytes(audio::outputDeviceUID)};
                case audio::deviceName:
                    return {audiostatus::noError, bytes(d.options.description)};
                default:
                    return {audiostatus::unknownProperty, std::nullopt};
            }
        }
        auto name = d.sinkNameFor(device);
        auto sink = name ? d.sinkByName(*name) : std::nullopt;
        if (!sink) return {audiostatus::badObject, std::nullopt};
        switch (address.selector) {
            case audio::deviceUID:
                return {audiostatus::noError, bytes(sink->name)};
            case audio::deviceName:
                return {audiostatus::noError, bytes(sink->description)};
            case audio::streamFormat:
                return {audiostatus::noError, AudioValue(describe(sink->spec))};
            default:
                return {audiostatus::unknownProperty, std::nullopt};
        }
    });
}

AudioStatus PulseAudioProvider::setProperty(AudioObjectID device,
                                            const AudioPropertyAddress& address,
                                            const AudioValue& value) {
    if (device != outputDeviceID)
        return impl_->locked([&] {
            return impl_->sinkNameFor(device) ? audiostatus::unknownProperty
                                              : audiostatus::badObject;
        });
    const auto* number = std::get_if<std::uint32_t>(&value);
    if (address.selector != audio::showAudio && address.selector != audio::setChannels)
        return audiostatus::unknownProperty;
    if (!number) return audiostatus::badPropertySize;
    std::lock_guard ops(impl_->operations);
    const AudioStatus status = impl_->locked([&] {
        if (address.selector == audio::showAudio) return *number ? impl_->show() : impl_->hide();
        return impl_->setChannels(*number);
    });
    impl_->notifyAll();
    return status;
}

std::optional<AudioObjectID> PulseAudioProvider::defaultOutputDevice() {
    return impl_->locked([this]() -> std::optional<AudioObjectID> {
        auto name = impl_->defaultSinkName();
        if (!name || name->empty() || !impl_->sinkByName(*name)) return std::nullopt;
        return impl_->idForSink(*name);
    });
}

AudioStatus PulseAudioProvider::setDefaultOutputDevice(AudioObjectID device) {
    return impl_->locked([&] {
        if (!impl_->ready) return audiostatus::notRunning;
        auto name = impl_->sinkNameFor(device);
        if (!name || !impl_->sinkByName(*name)) return audiostatus::badDevice;
        return impl_->setDefaultSink(*name) ? audiostatus::noError : audiostatus::unspecified;
    });
}

AudioListenerToken PulseAudioProvider::addPropertyListener(AudioObjectID device,
                                                           const AudioPropertyAddress& address,
                                                           AudioPropertyListener listener) {
    (void)device;
    (void)address;
    auto& set = *impl_->listeners;
    std::lock_guard lock(set.mutex);
    const AudioListenerToken token = set.nextToken++;
    set.calls[token] = std::move(listener);
    return token;
}

void PulseAudioProvider::removePropertyListener(AudioListenerToken token) {
    std::lock_guard lock(impl_->listeners->mutex);
    impl_->listeners->calls.erase(token);
}

}  // namespace vl
