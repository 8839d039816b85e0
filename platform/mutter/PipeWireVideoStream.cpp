#include "platform/mutter/PipeWireVideoStream.h"

#include <cstring>
#include <mutex>

#include <pipewire/pipewire.h>
#include <spa/buffer/meta.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>

namespace vl {

struct PipeWireVideoStream::Impl {
    Options options;
    PipeWireVideoStream* owner = nullptr;
    pw_thread_loop* loop = nullptr;
    pw_context* context = nullptr;
    pw_core* core = nullptr;
    pw_stream* stream = nullptr;
    spa_hook streamListener{};
    mutable std::mutex sizeMutex;
    std::optional<std::pair<int, int>> size;
    std::uint32_t format = SPA_VIDEO_FORMAT_UNKNOWN;

    static void onParamChanged(void* data, std::uint32_t id, const spa_pod* param);
    static void onProcess(void* data);
    static void onStateChanged(void* data, pw_stream_state old, pw_stream_state state,
                               const char* error);
};

namespace {

const pw_stream_events streamEvents = [] {
    pw_stream_events events{};
    events.version = PW_VERSION_STREAM_EVENTS;
    events.state_changed = &PipeWireVideoStream::Impl::onStateChanged;
    events.param_changed = &PipeWireVideoStream::Impl::onParamChanged;
    events.process = &PipeWireVideoStream::Impl::onProcess;
    return events;
}();

// The largest cursor image the producer may attach; the image itself is not used.
constexpr std::uint32_t cursorMetaSize =
    sizeof(spa_meta_cursor) + sizeof(spa_meta_bitmap) + 64 * 64 * 4;

}  // namespace

void PipeWireVideoStream::Impl::onStateChanged(void* data, pw_stream_state, pw_stream_state state,
                                               const char* error) {
    auto* self = static_cast<Impl*>(data);
    if (state == PW_STREAM_STATE_ERROR && self->options.ended)
        self->options.ended(std::string("PipeWire stream failed: ") + (error ? error : "?"));
    else if (state == PW_STREAM_STATE_UNCONNECTED && self->options.ended)
        self->options.ended("PipeWire stream disconnected");
}

void PipeWireVideoStream::Impl::onParamChanged(void* data, std::uint32_t id, const spa_pod* param) {
    auto* self = static_cast<Impl*>(data);
    if (id != SPA_PARAM_Format || !param) return;
    spa_video_info_raw info{};
    if (spa_format_video_raw_parse(param, &info) < 0) return;
    {
        std::lock_guard lock(self->sizeMutex);
        self->size =
            std::pair{static_cast<int>(info.size.width), static_cast<int>(info.size.height)};
        self->format = info.format;
    }
    const int stride = static_cast<int>(info.size.width) * 4;
    std::uint8_t storage[1024];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(storage, sizeof storage);
    const spa_pod* params[3];
    params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &builder, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_buffers,
        SPA_POD_CHOICE_RANGE_Int(4, 2, 8), SPA_PARAM_BUFFERS_blocks, SPA_POD_Int(1),
        SPA_PARAM_BUFFERS_size, SPA_POD_Int(stride * static_cast<int>(info.size.height)),
        SPA_PARAM_BUFFERS_stride, SPA_POD_Int(stride), SPA_PARAM_BUFFERS_dataType,
        SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemPtr) | (1 << SPA_DATA_MemFd))));
    params[1] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &builder, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
        SPA_POD_Id(SPA_META_Header), SPA_PARAM_META_size, SPA_POD_Int(sizeof(spa_meta_header))));
    params[2] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &builder, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
        SPA_POD_Id(SPA_META_Cursor), SPA_PARAM_META_size,
        SPA_POD_CHOICE_RANGE_Int(cursorMetaSize, sizeof(spa_meta_cursor), cursorMetaSize)));
    pw_stream_update_params(self->stream, params, 3);
}

namespace {

// Whether a buffer carries pixels: one without carries only a cursor update.
bool hasPixels(const pw_buffer* buffer) {
    const spa_buffer* spa = buffer->buffer;
    auto* header = static_cast<spa_meta_header*>(
        spa_buffer_find_meta_data(spa, SPA_META_Header, sizeof(spa_meta_header)));
    const spa_data& plane = spa->datas[0];
    const bool corrupted = (header && (header->flags & SPA_META_HEADER_FLAG_CORRUPTED)) ||
                           (plane.chunk->flags & SPA_CHUNK_FLAG_CORRUPTED);
    return !corrupted && plane.data && plane.chunk->size > 0;
}

}  // namespace

void PipeWireVideoStream::Impl::onProcess(void* data) {
    auto* self = static_cast<Impl*>(data);
    // Only the newest picture matters: older ones queued meanwhile go straight back, and so do
    // cursor-only buffers, which must not hide a picture that came before them.
    pw_buffer* newest = nullptr;
    while (pw_buffer* buffer = pw_stream_dequeue_buffer(self->stream)) {
        if (!hasPixels(buffer)) {
            pw_stream_queue_buffer(self->stream, buffer);
            continue;
        }
        if (newest) pw_stream_queue_buffer(self->stream, newest);
        newest = buffer;
    }
    if (!newest) return;
    spa_buffer* buffer = newest->buffer;
    const spa_data& plane = buffer->datas[0];
    std::pair<int, int> size;
    std::uint32_t format;
    {
        std::lock_guard lock(self->sizeMutex);
        size = self->size.value_or(std::pair{0, 0});
        format = self->format;
    }
    if (size.first > 0) {
        PipeWireVideoFrame frame;
        frame.width = size.first;
        frame.height = size.second;
        frame.stride = plane.chunk->stride > 0 ? static_cast<std::size_t>(plane.chunk->stride)
                                               : static_cast<std::size_t>(size.first) * 4;
        frame.pixels = static_cast<const std::uint8_t*>(plane.data) + plane.chunk->offset;
        frame.hasAlpha = format == SPA_VIDEO_FORMAT_BGRA;
        if (auto* cursor = static_cast<spa_meta_cursor*>(
                spa_buffer_find_meta_data(buffer, SPA_META_Cursor, sizeof(spa_meta_cursor)));
            cursor && spa_meta_cursor_is_valid(cursor))
            frame.cursor = std::pair{cursor->position.x, cursor->position.y};
        const std::size_t needed = frame.stride * static_cast<std::size_t>(frame.height - 1) +
                                   static_cast<std::size_t>(frame.width) * 4;
        if (plane.chunk->offset + needed <= plane.maxsize) {
            ++self->owner->framesReceived_;
            if (self->options.frame) self->options.frame(frame);
        }
    }
    pw_stream_queue_buffer(self->stream, newest);
}

PipeWireVideoStream::PipeWireVideoStream(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {
    impl_->owner = this;
}

std::unique_ptr<PipeWireVideoStream> PipeWireVideoStream::connect(Options options,
                                                                  std::string* error) {
    auto fail = [&](const char* what) {
        if (error) *error = what;
        return nullptr;
    };
    if (options.width <= 0 || options.height <= 0 || options.node == 0)
        return fail("no node or no size to ask for");
    pw_init(nullptr, nullptr);
    auto impl = std::make_unique<Impl>();
    impl->options = std::move(options);
    std::unique_ptr<PipeWireVideoStream> result(new PipeWireVideoStream(std::move(impl)));
    Impl& self = *result->impl_;
    self.loop = pw_thread_loop_new("vl-screencast", nullptr);
    if (!self.loop) return fail("cannot make a PipeWire loop");
    self.context = pw_context_new(pw_thread_loop_get_loop(self.loop), nullptr, 0);
    if (!self.context || pw_thread_loop_start(self.loop) < 0)
        return fail("cannot start a PipeWire loop");
    pw_thread_loop_lock(self.loop);
    self.core = pw_context_connect(self.context, nullptr, 0);
    if (!self.core) {
        pw_thread_loop_unlock(self.loop);
        return fail("PipeWire cannot be reached");
    }
    pw_properties* properties = pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY,
                                                  "Capture", PW_KEY_MEDIA_ROLE, "Screen", nullptr);
    self.stream = pw_stream_new(self.core, "vl-screencast", properties);
    if (!self.stream) {
        pw_thread_loop_unlock(self.loop);
        return fail("cannot make a PipeWire stream");
    }
    pw_stream_add_listener(self.stream, &self.streamListener, &streamEvents, &self);
    spa_rectangle size = SPA_RECTANGLE(static_cast<std::uint32_t>(self.options.width),
                                       static_cast<std::uint32_t>(self.options.height));
    spa_fraction anyRate = SPA_FRACTION(0, 1);
    // Mutter drops a frame that comes sooner than 1 / max framerate after the last one, with no
    // later repaint to make up for it; at the monitor's own refresh, jitter would lose the last
    // frame of a change. Twice the rate leaves pacing to the capture stream, which keeps the
    // newest.
    spa_fraction maxRate =
        SPA_FRACTION(static_cast<std::uint32_t>(2 * self.options.maxFramesPerSecond), 1);
    spa_fraction minRate = SPA_FRACTION(1, 1);
    std::uint8_t storage[1024];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(storage, sizeof storage);
    const spa_pod* params[1];
    params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &builder, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType,
        SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype,
        SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format,
        SPA_POD_CHOICE_ENUM_Id(3, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRx,
                               SPA_VIDEO_FORMAT_BGRA),
        SPA_FORMAT_VIDEO_size, SPA_POD_Rectangle(&size), SPA_FORMAT_VIDEO_framerate,
        SPA_POD_Fraction(&anyRate), SPA_FORMAT_VIDEO_maxFramerate,
        SPA_POD_CHOICE_RANGE_Fraction(&maxRate, &minRate, &maxRate)));
    const int connected = pw_stream_connect(
        self.stream, PW_DIRECTION_INPUT, self.options.node,
        static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS),
        params, 1);
    pw_thread_loop_unlock(self.loop);
    if (connected < 0) return fail("cannot connect to the node");
    return result;
}

PipeWireVideoStream::~PipeWireVideoStream() {
    Impl& self = *impl_;
    if (self.loop) {
        pw_thread_loop_lock(self.loop);
        if (self.stream) {
            spa_hook_remove(&self.streamListener);
            pw_stream_disconnect(self.stream);
            pw_stream_destroy(self.stream);
        }
        if (self.core) pw_core_disconnect(self.core);
        pw_thread_loop_unlock(self.loop);
        pw_thread_loop_stop(self.loop);
    }
    if (self.context) pw_context_destroy(self.context);
    if (self.loop) pw_thread_loop_destroy(self.loop);
}

std::optional<std::pair<int, int>> PipeWireVideoStream::negotiatedSize() const {
    std::lock_guard lock(impl_->sizeMutex);
    return impl_->size;
}

}  // namespace vl
