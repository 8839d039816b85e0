#include "PulsePublisher.h"

#include <pulse/pulseaudio.h>

#include <cstring>
#include <vector>

namespace vl::michost {

struct PulsePublisher::Impl {
    DriverHost& driver;
    Events events;
    std::atomic<bool>& alive;
    pa_threaded_mainloop* loop = nullptr;
    pa_context* context = nullptr;
    pa_stream* stream = nullptr;
    std::uint32_t sinkModule = PA_INVALID_INDEX;
    std::uint32_t sourceModule = PA_INVALID_INDEX;
    std::uint32_t sourceIndex = PA_INVALID_INDEX;
    std::set<std::uint32_t> recorders;  // source outputs on our source, each a StartIO
    bool shown = false;
    bool counting = false;  // a recount is under way
    bool recountAgain = false;
    bool awaitingCushion = false;  // recording, stream corked until the cushion has arrived
    std::atomic<std::uint64_t> pushedSinceStart{0};

    Impl(DriverHost& d, Events e, std::atomic<bool>& a)
        : driver(d), events(std::move(e)), alive(a) {}

    void report(const std::string& text) {
        if (events.report) events.report(text);
    }

    // Runs an operation to completion with the loop locked; false when it failed.
    bool await(pa_operation* operation) {
        if (!operation) return false;
        while (pa_operation_get_state(operation) == PA_OPERATION_RUNNING)
            pa_threaded_mainloop_wait(loop);
        const bool done = pa_operation_get_state(operation) == PA_OPERATION_DONE;
        pa_operation_unref(operation);
        return done;
    }

    static void signal(pa_context*, int, void* self) {
        pa_threaded_mainloop_signal(static_cast<Impl*>(self)->loop, 0);
    }

    std::uint32_t loadModule(const char* name, const std::string& arguments) {
        struct Query {
            Impl* self;
            std::uint32_t index = PA_INVALID_INDEX;
        } query{this};
        await(pa_context_load_module(
            context, name, arguments.c_str(),
            [](pa_context*, std::uint32_t index, void* q) {
                auto* query = static_cast<Query*>(q);
                query->index = index;
                pa_threaded_mainloop_signal(query->self->loop, 0);
            },
            &query));
        return query.index;
    }

    void unloadModule(std::uint32_t& index) {
        if (index == PA_INVALID_INDEX) return;
        await(pa_context_unload_module(context, index, &Impl::signal, this));
        index = PA_INVALID_INDEX;
    }

    // Modules an earlier host loaded and could not unload (it died).
    void removeLeftovers() {
        std::vector<std::uint32_t> leftovers;
        struct Query {
            Impl* self;
            std::vector<std::uint32_t>* found;
        } query{this, &leftovers};
        await(pa_context_get_module_info_list(
            context,
            [](pa_context*, const pa_module_info* info, int eol, void* q) {
                auto* query = static_cast<Query*>(q);
                if (eol) {
                    pa_threaded_mainloop_signal(query->self->loop, 0);
                    return;
                }
                const std::string arguments = info->argument ? info->argument : "";
                if (arguments.find(std::string("sink_name=") + sinkName) != std::string::npos ||
                    arguments.find(std::string("source_name=") + sourceName) != std::string::npos)
                    query->found->push_back(info->index);
            },
            &query));
        // The remap source first: it holds the sink's monitor.
        for (auto it = leftovers.rbegin(); it != leftovers.rend(); ++it) {
            std::uint32_t index = *it;
            unloadModule(index);
        }
        if (!leftovers.empty())
            report("removed " + std::to_string(leftovers.size()) + " module(s) of an earlier host");
    }

    static void onWrite(pa_stream* s, size_t bytes, void* userdata) {
        auto* self = static_cast<Impl*>(userdata);
        void* data = nullptr;
        if (pa_stream_begin_write(s, &data, &bytes) != 0 || !data) return;
        const std::uint32_t frames = static_cast<std::uint32_t>(bytes / 8);
        if (frames == 0) {
            pa_stream_cancel_write(s);
            return;
        }
        // The driver's read cycle: pushed PCM, then silence.
        self->driver.read(static_cast<float*>(data), frames);
        pa_stream_write(s, data, std::size_t(frames) * 8, nullptr, 0, PA_SEEK_RELATIVE);
    }

    void startStream() {
        pa_sample_spec spec{PA_SAMPLE_FLOAT32LE, 48000, 2};
        stream = pa_stream_new(context, description, &spec, nullptr);
        if (!stream) return;
        pa_stream_set_write_callback(stream, &Impl::onWrite, this);
        pa_stream_set_state_callback(
            stream,
            [](pa_stream*, void* self) {
                pa_threaded_mainloop_signal(static_cast<Impl*>(self)->loop, 0);
            },
            this);
        // A short buffer keeps the mouth-to-recorder delay low; no prebuffering, so an empty
        // moment plays silence rather than stopping the stream.
        pa_buffer_attr attr;
        attr.maxlength = std::uint32_t(-1);
        attr.tlength = 48000 * 8 * 20 / 1000;
        attr.prebuf = 0;
        attr.minreq = 48000 * 8 * 5 / 1000;
        attr.fragsize = std::uint32_t(-1);
        const auto flags = static_cast<pa_stream_flags_t>(
            PA_STREAM_START_CORKED | PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);
        if (pa_stream_connect_playback(stream, sinkName, &attr, flags, nullptr, nullptr) != 0) {
            report("cannot connect the feed stream");
            return;
        }
        while (pa_stream_get_state(stream) == PA_STREAM_CREATING) pa_threaded_mainloop_wait(loop);
    }

    void stopStream() {
        if (!stream) return;
        pa_stream_set_write_callback(stream, nullptr, nullptr);
        pa_stream_set_state_callback(stream, nullptr, nullptr);
        pa_stream_disconnect(stream);
        pa_stream_unref(stream);
        stream = nullptr;
    }

    // Asks for our source; the answer arrives later on the loop and counts its recorders. A sound
    // server may create the source some time after its module has loaded (PipeWire does): until
    // then a source event asks again. Recorders are never counted against no source at all: a
    // stream still connecting reports none.
    void findSource() {
        pa_operation* operation = pa_context_get_source_info_by_name(
            context, sourceName,
            [](pa_context*, const pa_source_info* info, int eol, void* s) {
                auto* self = static_cast<Impl*>(s);
                if (eol || !info || !self->shown || self->sourceIndex != PA_INVALID_INDEX) return;
                self->sourceIndex = info->index;
                self->recount();
            },
            this);
        if (operation) pa_operation_unref(operation);
    }

    void show() {
        if (shown) return;
        const std::string sinkArguments = std::string("sink_name=") + sinkName +
                                          " format=float32le rate=48000 channels=2"
                                          " sink_properties='device.description=\"" +
                                          description + " feed\"'";
        sinkModule = loadModule("module-null-sink", sinkArguments);
        if (sinkModule == PA_INVALID_INDEX) {
            report("cannot load the null sink");
            return;
        }
        const std::string sourceArguments = std::string("source_name=") + sourceName +
                                            " master=" + sinkName +
                                            ".monitor format=float32le rate=48000 channels=2"
                                            " source_properties='device.description=\"" +
                                            description + "\"'";
        sourceModule = loadModule("module-remap-source", sourceArguments);
        if (sourceModule == PA_INVALID_INDEX) {
            report("cannot load the remap source");
            unloadModule(sinkModule);
            return;
        }
        startStream();
        shown = true;
        report("published \"" + std::string(description) + "\" as " + sourceName);
        findSource();
    }

    void hide() {
        if (!shown) return;
        shown = false;
        for (std::uint32_t recorder : recorders) driver.stopIO(recorder);
        const bool wasRecording = !recorders.empty();
        recorders.clear();
        stopStream();
        unloadModule(sourceModule);
        unloadModule(sinkModule);
        sourceIndex = PA_INVALID_INDEX;
        if (wasRecording && events.recordingChanged) events.recordingChanged(false);
        report("withdrew " + std::string(sourceName));
    }

    // Asks for the source outputs; the answer arrives later on the loop.
    void recount() {
        if (!shown || sourceIndex == PA_INVALID_INDEX) return;
        if (counting) {
            recountAgain = true;
            return;
        }
        counting = true;
        auto* found = new std::set<std::uint32_t>();
        struct Query {
            Impl* self;
            std::set<std::uint32_t>* found;
        };
        auto* query = new Query{this, found};
        pa_operation* operation = pa_context_get_source_output_info_list(
            context,
            [](pa_context*, const pa_source_output_info* info, int eol, void* q) {
                auto* query = static_cast<Query*>(q);
                Impl* self = query->self;
                if (!eol && info) {
                    if (info->source == self->sourceIndex) query->found->insert(info->index);
                    return;
                }
                self->counted(*query->found, eol >= 0);
                delete query->found;
                delete query;
            },
            query);
        if (operation) {
            pa_operation_unref(operation);
        } else {
            delete found;
            delete query;
            counting = false;
        }
    }

    void counted(const std::set<std::uint32_t>& now, bool ok) {
        counting = false;
        if (ok && shown) {
            const bool before = !recorders.empty();
            for (std::uint32_t r : now)
                if (!recorders.count(r)) driver.startIO(r);
            for (std::uint32_t r : recorders)
                if (!now.count(r)) driver.stopIO(r);
            recorders = now;
            const bool after = !recorders.empty();
            if (!before && after) {
                // The first recorder emptied the ring; play once the cushion is there.
                pushedSinceStart = 0;
                awaitingCushion = true;
            } else if (before && !after) {
                awaitingCushion = false;
                cork(true);
            }
            if (before != after && events.recordingChanged) events.recordingChanged(after);
        }
        if (recountAgain) {
            recountAgain = false;
            recount();
        }
    }

    void cork(bool corked) {
        if (!stream) return;
        pa_operation* o = pa_stream_cork(stream, corked ? 1 : 0, nullptr, nullptr);
        if (o) pa_operation_unref(o);
    }

    static void onEvent(pa_context*, pa_subscription_event_type_t type, std::uint32_t, void* s) {
        auto* self = static_cast<Impl*>(s);
        const auto facility = type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
        if (facility == PA_SUBSCRIPTION_EVENT_SOURCE_OUTPUT) self->recount();
        if (facility == PA_SUBSCRIPTION_EVENT_SOURCE && self->shown &&
            self->sourceIndex == PA_INVALID_INDEX)
            self->findSource();
    }

    static void onContextState(pa_context* c, void* s) {
        auto* self = static_cast<Impl*>(s);
        const pa_context_state_t state = pa_context_get_state(c);
        if (state == PA_CONTEXT_FAILED || state == PA_CONTEXT_TERMINATED) self->alive = false;
        pa_threaded_mainloop_signal(self->loop, 0);
    }
};

PulsePublisher::PulsePublisher(DriverHost& driver, Events events)
    : impl_(std::make_unique<Impl>(driver, std::move(events), alive_)) {}

PulsePublisher::~PulsePublisher() {
    if (!impl_->loop) return;
    if (impl_->context) {
        pa_threaded_mainloop_lock(impl_->loop);
        if (alive_) impl_->hide();
        pa_context_disconnect(impl_->context);
        pa_context_unref(impl_->context);
        impl_->context = nullptr;
        pa_threaded_mainloop_unlock(impl_->loop);
    }
    pa_threaded_mainloop_stop(impl_->loop);
    pa_threaded_mainloop_free(impl_->loop);
}

std::optional<std::string> PulsePublisher::connect() {
    Impl& p = *impl_;
    p.loop = pa_threaded_mainloop_new();
    if (!p.loop || pa_threaded_mainloop_start(p.loop) != 0) return "cannot start the sound loop";
    pa_threaded_mainloop_lock(p.loop);
    p.context = pa_context_new(pa_threaded_mainloop_get_api(p.loop), "corvane-mic-host");
    pa_context_set_state_callback(p.context, &Impl::onContextState, &p);
    std::optional<std::string> error;
    if (pa_context_connect(p.context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        error = std::string("no sound server: ") + pa_strerror(pa_context_errno(p.context));
    } else {
        for (;;) {
            const pa_context_state_t state = pa_context_get_state(p.context);
            if (state == PA_CONTEXT_READY) break;
            if (!PA_CONTEXT_IS_GOOD(state)) {
                error = std::string("no sound server: ") + pa_strerror(pa_context_errno(p.context));
                break;
            }
            pa_threaded_mainloop_wait(p.loop);
        }
    }
    if (!error) {
        alive_ = true;
        p.removeLeftovers();
        pa_context_set_subscribe_callback(p.context, &Impl::onEvent, &p);
        p.await(pa_context_subscribe(
            p.context,
            static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SOURCE |
                                                PA_SUBSCRIPTION_MASK_SOURCE_OUTPUT),
            &Impl::signal, &p));
    }
    pa_threaded_mainloop_unlock(p.loop);
    return error;
}

void PulsePublisher::notePushed(std::uint64_t frames) {
    if (!alive_) return;
    const std::uint64_t total = impl_->pushedSinceStart += frames;
    if (total < cushionFrames || total - frames >= cushionFrames) return;
    pa_threaded_mainloop_lock(impl_->loop);
    if (impl_->awaitingCushion) {
        impl_->awaitingCushion = false;
        impl_->cork(false);
    }
    pa_threaded_mainloop_unlock(impl_->loop);
}

void PulsePublisher::setShown(bool shown) {
    if (!alive_) return;
    pa_threaded_mainloop_lock(impl_->loop);
    if (shown)
        impl_->show();
    else
        impl_->hide();
    pa_threaded_mainloop_unlock(impl_->loop);
}

}  // namespace vl::michost
