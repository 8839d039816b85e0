#include "Lensway/pipewire/PipeWireCamera.h"

#include "base/Log.h"

#include <cstring>
#include <vector>

#include <pipewire/pipewire.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>

namespace vl::lensway {

struct PipeWireCamera::Impl {
    pw_thread_loop* loop = nullptr;
    pw_context* context = nullptr;
    pw_core* core = nullptr;
    pw_stream* stream = nullptr;
    spa_hook streamListener{};
    StreamRequests requests;
    bool streaming = false;  // on the loop thread
    int width = 0;           // the negotiated size, on the loop thread
    int height = 0;
    std::atomic<std::uint32_t> node{SPA_ID_INVALID};

    std::mutex pendingMutex;  // the frame the next cycle delivers
    PixelBuffer pending;
    std::int64_t pendingTime = 0;
    bool hasPending = false;
    std::uint64_t sequence = 0;
    // Cycles asked for, frames delivered, cycles without a free buffer (the consumer is behind).
    std::atomic<std::uint64_t> triggered{0}, delivered{0}, starved{0};

    static void onStateChanged(void* data, pw_stream_state old, pw_stream_state state,
                               const char* error);
    static void onParamChanged(void* data, std::uint32_t id, const spa_pod* param);
    static void onProcess(void* data);
    void fill(spa_buffer* buffer);
};

namespace {

const pw_stream_events streamEvents = [] {
    pw_stream_events events{};
    events.version = PW_VERSION_STREAM_EVENTS;
    events.state_changed = &PipeWireCamera::Impl::onStateChanged;
    events.param_changed = &PipeWireCamera::Impl::onParamChanged;
    events.process = &PipeWireCamera::Impl::onProcess;
    return events;
}();

const spa_pod* formatParam(spa_pod_builder* builder, const CameraFormat& format) {
    spa_rectangle size = SPA_RECTANGLE(static_cast<std::uint32_t>(format.width),
                                       static_cast<std::uint32_t>(format.height));
    spa_fraction rate = SPA_FRACTION(static_cast<std::uint32_t>(format.framesPerSecond), 1);
    return static_cast<const spa_pod*>(spa_pod_builder_add_object(
        builder, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType,
        SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype,
        SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format,
        SPA_POD_Id(SPA_VIDEO_FORMAT_NV12), SPA_FORMAT_VIDEO_size, SPA_POD_Rectangle(&size),
        SPA_FORMAT_VIDEO_framerate, SPA_POD_Fraction(&rate)));
}

}  // namespace

void PipeWireCamera::Impl::onStateChanged(void* data, pw_stream_state, pw_stream_state state,
                                          const char* error) {
    auto* self = static_cast<Impl*>(data);
    if (state == PW_STREAM_STATE_ERROR)
        logMsg(std::string("❌ lensway: PipeWire stream error: ") + (error ? error : "?"),
               LogLevel::error);
    if (state >= PW_STREAM_STATE_PAUSED && self->stream)
        self->node = pw_stream_get_node_id(self->stream);
    const bool streaming = state == PW_STREAM_STATE_STREAMING;
    if (streaming == self->streaming) return;
    self->streaming = streaming;
    logMsg(std::string("lensway: node ") + (streaming ? "streaming" : "idle"));
    if (streaming && self->requests.startStream) self->requests.startStream();
    if (!streaming && self->requests.stopStream) self->requests.stopStream();
}

void PipeWireCamera::Impl::onParamChanged(void* data, std::uint32_t id, const spa_pod* param) {
    auto* self = static_cast<Impl*>(data);
    if (id != SPA_PARAM_Format || !param) return;
    spa_video_info_raw info{};
    if (spa_format_video_raw_parse(param, &info) < 0) return;
    self->width = static_cast<int>(info.size.width);
    self->height = static_cast<int>(info.size.height);
    logMsg("lensway: consumer negotiated NV12 " + std::to_string(self->width) + "x" +
           std::to_string(self->height));
    for (std::size_t i = 0; i < cameraFormats.size(); ++i)
        if (cameraFormats[i].width == self->width && cameraFormats[i].height == self->height &&
            self->requests.setActiveFormatIndex)
            self->requests.setActiveFormatIndex(static_cast<int>(i));

    std::uint8_t storage[1024];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(storage, sizeof storage);
    const int frameSize = self->width * self->height * 3 / 2;
    const spa_pod* params[2];
    params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &builder, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_buffers,
        SPA_POD_CHOICE_RANGE_Int(4, 2, 8), SPA_PARAM_BUFFERS_blocks, SPA_POD_Int(1),
        SPA_PARAM_BUFFERS_size, SPA_POD_Int(frameSize), SPA_PARAM_BUFFERS_stride,
        SPA_POD_Int(self->width), SPA_PARAM_BUFFERS_dataType,
        SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemPtr) | (1 << SPA_DATA_MemFd))));
    params[1] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &builder, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
        SPA_POD_Id(SPA_META_Header), SPA_PARAM_META_size, SPA_POD_Int(sizeof(spa_meta_header))));
    pw_stream_update_params(self->stream, params, 2);
}

void PipeWireCamera::Impl::fill(spa_buffer* buffer) {
    spa_data& data = buffer->datas[0];
    data.chunk->offset = 0;
    data.chunk->stride = width;
    data.chunk->size = 0;
    if (!data.data) return;
    std::lock_guard lock(pendingMutex);
    const std::size_t size = static_cast<std::size_t>(width) * height * 3 / 2;
    if (!hasPending || pending.width != width || pending.height != height ||
        pending.planes.size() < 2 || data.maxsize < size)
        return;
    auto* out = static_cast<std::uint8_t*>(data.data);
    for (int plane = 0; plane < 2; ++plane) {
        const PixelPlane& source = pending.planes[static_cast<std::size_t>(plane)];
        for (int row = 0; row < source.height; ++row) {
            std::memcpy(out, source.bytes.data() + row * source.bytesPerRow,
                        static_cast<std::size_t>(width));
            out += width;
        }
    }
    data.chunk->size = static_cast<std::uint32_t>(size);
    if (auto* header = static_cast<spa_meta_header*>(
            spa_buffer_find_meta_data(buffer, SPA_META_Header, sizeof(spa_meta_header)))) {
        header->pts = pendingTime;
        header->flags = 0;
        header->seq = sequence++;
        header->dts_offset = 0;
    }
}

void PipeWireCamera::Impl::onProcess(void* data) {
    auto* self = static_cast<Impl*>(data);
    pw_buffer* buffer = pw_stream_dequeue_buffer(self->stream);
    if (!buffer) {
        const std::uint64_t starved = ++self->starved;
        if (starved == 1 || starved % 100 == 0)
            logMsg("lensway: no free buffer for a frame (" + std::to_string(starved) +
                   " so far): the consumer is behind");
        return;
    }
    self->fill(buffer->buffer);
    if (buffer->buffer->datas[0].chunk->size > 0) ++self->delivered;
    pw_stream_queue_buffer(self->stream, buffer);
}

PipeWireCamera::PipeWireCamera() : impl_(std::make_unique<Impl>()) {}

std::unique_ptr<PipeWireCamera> PipeWireCamera::create(std::string* error) {
    pw_init(nullptr, nullptr);
    std::unique_ptr<PipeWireCamera> camera(new PipeWireCamera);
    Impl& impl = *camera->impl_;
    impl.loop = pw_thread_loop_new("lensway-pipewire", nullptr);
    if (!impl.loop) {
        if (error) *error = "no PipeWire loop";
        return nullptr;
    }
    impl.context = pw_context_new(pw_thread_loop_get_loop(impl.loop), nullptr, 0);
    if (!impl.context || pw_thread_loop_start(impl.loop) < 0) {
        if (error) *error = "no PipeWire context";
        return nullptr;
    }
    pw_thread_loop_lock(impl.loop);
    impl.core = pw_context_connect(impl.context, nullptr, 0);
    pw_thread_loop_unlock(impl.loop);
    if (!impl.core) {
        if (error) *error = std::string("cannot connect to PipeWire: ") + std::strerror(errno);
        return nullptr;
    }
    return camera;
}

PipeWireCamera::~PipeWireCamera() {
    Impl& impl = *impl_;
    if (impl.loop) {
        pw_thread_loop_lock(impl.loop);
        if (impl.stream) {
            spa_hook_remove(&impl.streamListener);
            pw_stream_destroy(impl.stream);
            impl.stream = nullptr;
        }
        if (impl.core) pw_core_disconnect(impl.core);
        pw_thread_loop_unlock(impl.loop);
        pw_thread_loop_stop(impl.loop);
    }
    if (impl.context) pw_context_destroy(impl.context);
    if (impl.loop) pw_thread_loop_destroy(impl.loop);
}

std::optional<std::string> PipeWireCamera::addDevice(StreamRequests requests) {
    Impl& impl = *impl_;
    pw_thread_loop_lock(impl.loop);
    if (impl.stream) {
        pw_thread_loop_unlock(impl.loop);
        return std::nullopt;
    }
    impl.requests = std::move(requests);
    pw_properties* properties = pw_properties_new(
        PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, "Capture", PW_KEY_MEDIA_ROLE, "Camera",
        PW_KEY_MEDIA_CLASS, "Video/Source", PW_KEY_NODE_NAME, nodeName, PW_KEY_NODE_DESCRIPTION,
        cameraName, PW_KEY_NODE_NICK, cameraName, PW_KEY_NODE_DRIVER, "true", "device.vendor.name",
        cameraManufacturer, "device.product.name", cameraModel, "persona.device.uid", deviceUID,
        nullptr);
    impl.stream = pw_stream_new(impl.core, cameraName, properties);
    if (!impl.stream) {
        pw_thread_loop_unlock(impl.loop);
        return std::string("cannot create the PipeWire stream: ") + std::strerror(errno);
    }
    pw_stream_add_listener(impl.stream, &impl.streamListener, &streamEvents, &impl);
    std::uint8_t storage[1024];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(storage, sizeof storage);
    const spa_pod* params[cameraFormats.size()];
    for (std::size_t i = 0; i < cameraFormats.size(); ++i)
        params[i] = formatParam(&builder, cameraFormats[i]);
    const int connected = pw_stream_connect(
        impl.stream, PW_DIRECTION_OUTPUT, PW_ID_ANY,
        static_cast<pw_stream_flags>(PW_STREAM_FLAG_DRIVER | PW_STREAM_FLAG_MAP_BUFFERS), params,
        cameraFormats.size());
    if (connected < 0) {
        spa_hook_remove(&impl.streamListener);
        pw_stream_destroy(impl.stream);
        impl.stream = nullptr;
        pw_thread_loop_unlock(impl.loop);
        return std::string("cannot connect the PipeWire stream: ") + std::strerror(-connected);
    }
    pw_thread_loop_unlock(impl.loop);
    return std::nullopt;
}

std::optional<std::string> PipeWireCamera::removeDevice() {
    Impl& impl = *impl_;
    pw_thread_loop_lock(impl.loop);
    if (impl.stream) {
        // A consumer still streaming ends with the node.
        if (impl.streaming) {
            impl.streaming = false;
            if (impl.requests.stopStream) impl.requests.stopStream();
        }
        spa_hook_remove(&impl.streamListener);
        pw_stream_destroy(impl.stream);
        impl.stream = nullptr;
        impl.node = SPA_ID_INVALID;
        impl.requests = {};
    }
    pw_thread_loop_unlock(impl.loop);
    return std::nullopt;
}

void PipeWireCamera::send(const PixelBuffer& frame, std::int64_t hostTimeNanoseconds) {
    Impl& impl = *impl_;
    {
        std::lock_guard lock(impl.pendingMutex);
        impl.pending = frame;
        impl.pendingTime = hostTimeNanoseconds;
        impl.hasPending = true;
    }
    pw_thread_loop_lock(impl.loop);
    if (impl.stream && impl.streaming) {
        const int status = pw_stream_trigger_process(impl.stream);
        const std::uint64_t triggered = ++impl.triggered;
        if (status < 0 || triggered % 250 == 0)
            logMsg("lensway: frame " + std::to_string(triggered) + " (" +
                   std::to_string(impl.delivered) + " delivered, " + std::to_string(impl.starved) +
                   " without buffer, trigger status " + std::to_string(status) + ")");
    }
    pw_thread_loop_unlock(impl.loop);
}

}  // namespace vl::lensway
