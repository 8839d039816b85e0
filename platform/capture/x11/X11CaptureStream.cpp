#include "platform/capture/x11/X11CaptureStream.h"

#include "base/CallbackGate.h"
#include "base/DispatchQueue.h"
#include "base/FrameTrace.h"
#include "platform/capture/ColorConversion.h"
#include "platform/capture/FramePacer.h"
#include "platform/capture/PixelBufferPool.h"
#include "platform/display/x11/RandrScreen.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <xcb/damage.h>
#include <xcb/randr.h>
#include <xcb/shm.h>
#include <xcb/xcb.h>
#include <xcb/xfixes.h>

#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <thread>

namespace vl {

namespace {

template <typename T>
struct Reply {
    explicit Reply(T* reply) : value(reply) {}
    ~Reply() { std::free(value); }
    Reply(const Reply&) = delete;
    Reply& operator=(const Reply&) = delete;
    T* operator->() const { return value; }
    explicit operator bool() const { return value != nullptr; }
    T* value;
};

struct Rect {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    bool intersects(int ox, int oy, int ow, int oh) const {
        return ox < x + width && ox + ow > x && oy < y + height && oy + oh > y;
    }
    bool operator==(const Rect&) const = default;
};

// The cursor as last seen: where it was drawn, and which image.
struct CursorState {
    int x = 0;
    int y = 0;
    std::uint32_t serial = 0;
    bool inside = false;
    bool operator==(const CursorState&) const = default;
};

// Draws a premultiplied ARGB cursor image onto BGRA pixels.
void compositeCursor(std::uint8_t* pixels, std::size_t bytesPerRow, int width, int height,
                     const std::uint32_t* image, int imageWidth, int imageHeight, int left,
                     int top) {
    for (int cy = 0; cy < imageHeight; ++cy) {
        const int y = top + cy;
        if (y < 0 || y >= height) continue;
        std::uint8_t* row = pixels + static_cast<std::size_t>(y) * bytesPerRow;
        for (int cx = 0; cx < imageWidth; ++cx) {
            const int x = left + cx;
            if (x < 0 || x >= width) continue;
            const std::uint32_t argb = image[static_cast<std::size_t>(cy) * imageWidth + cx];
            const std::uint32_t alpha = argb >> 24;
            if (alpha == 0) continue;
            std::uint8_t* p = row + static_cast<std::size_t>(x) * 4;
            const std::uint32_t keep = 255 - alpha;
            p[0] = static_cast<std::uint8_t>((argb & 0xff) + (p[0] * keep + 127) / 255);
            p[1] = static_cast<std::uint8_t>(((argb >> 8) & 0xff) + (p[1] * keep + 127) / 255);
            p[2] = static_cast<std::uint8_t>(((argb >> 16) & 0xff) + (p[2] * keep + 127) / 255);
        }
    }
}

}  // namespace

struct X11CaptureStream::State {
    ~State() { closeWaker(); }

    // Fixed at creation.
    std::string displayName;
    DisplayID display = 0;
    StreamConfiguration configuration;
    std::shared_ptr<DispatchQueue> queue;
    CaptureStreamOutput output;
    Report report;
    // Closed when the stream is released: no output starts after that.
    CallbackGate gate;

    // Everything below is touched on the capture queue only.
    bool running = false;
    xcb_connection_t* connection = nullptr;
    xcb_window_t root = 0;
    std::unique_ptr<x11::RandrScreen> randr;
    std::uint8_t randrEventBase = 0;
    bool haveDamage = false;
    bool haveXfixes = false;
    bool haveShm = false;
    xcb_damage_damage_t damage = 0;
    xcb_xfixes_region_t region = 0;
    Rect rect;
    // Shared memory the server writes the grab into.
    int shmID = -1;
    std::uint8_t* shmAddress = nullptr;
    std::size_t shmSize = 0;
    xcb_shm_seg_t shmSegment = 0;
    std::vector<std::uint8_t> grabbed;  // the grab when there is no shared memory

    // Wakes the stream when the screen changes after a quiet spell, so that the change is
    // grabbed at once instead of at the next tick (up to a frame interval later): a connection
    // of its own whose damage reports a thread waits for, re-armed at every tick.
    xcb_connection_t* wakeConnection = nullptr;
    xcb_damage_damage_t wakeDamage = 0;
    int wakeStop = -1;  // eventfd that ends the waiting thread
    std::thread waker;
    FramePacer pacer;

    bool needsCompleteFrame = true;
    bool needsResolve = false;
    CursorState cursor;
    PixelBufferPool pool{5};
    std::unique_ptr<HdrConverter> hdr;
    Clock::time_point lastResolve;
    Statistics statistics;

    std::optional<CaptureError> open();
    std::optional<CaptureError> resolve();
    bool allocateShm(std::size_t size);
    void releaseShm();
    void close();
    void onTick();
    void openWaker(const std::shared_ptr<State>& self);
    void closeWaker();
    void onDamage();
    bool damagedSinceLastFrame();
    const std::uint8_t* grab();
    void note(const std::string& text) const {
        if (report) report("[X11Capture] " + text);
    }
    void stopWithError(CaptureError error) {
        close();
        gate.pass([&] {
            if (output.didStopWithError) output.didStopWithError(error);
        });
    }
    void deliver(const CapturedFrame& frame) {
        gate.pass([&] {
            if (output.didOutputFrame) output.didOutputFrame(frame);
        });
    }
};

std::optional<CaptureError> X11CaptureStream::State::open() {
    int screenNumber = 0;
    connection = xcb_connect(displayName.empty() ? nullptr : displayName.c_str(), &screenNumber);
    if (xcb_connection_has_error(connection)) {
        xcb_disconnect(connection);
        connection = nullptr;
        return CaptureError{CaptureErrorCode::connectionFailed,
                            displayName.empty() ? "$DISPLAY" : displayName};
    }
    const xcb_setup_t* setup = xcb_get_setup(connection);
    auto screens = xcb_setup_roots_iterator(setup);
    for (int i = 0; i < screenNumber && screens.rem; ++i) xcb_screen_next(&screens);
    root = screens.data->root;

    // Grabs are read as 32-bit little-endian B, G, R, X pixels.
    bool bgrx = false;
    if (setup->image_byte_order == XCB_IMAGE_ORDER_LSB_FIRST) {
        for (auto formats = xcb_setup_pixmap_formats_iterator(setup); formats.rem;
             xcb_format_next(&formats)) {
            if (formats.data->depth == screens.data->root_depth &&
                formats.data->bits_per_pixel == 32) {
                bgrx = true;
            }
        }
        for (auto depths = xcb_screen_allowed_depths_iterator(screens.data); depths.rem;
             xcb_depth_next(&depths)) {
            for (auto visuals = xcb_depth_visuals_iterator(depths.data); visuals.rem;
                 xcb_visualtype_next(&visuals)) {
                if (visuals.data->visual_id == screens.data->root_visual &&
                    visuals.data->red_mask != 0xff0000) {
                    bgrx = false;
                }
            }
        }
    }
    if (!bgrx) {
        return CaptureError{CaptureErrorCode::unsupported, "root visual is not 32-bit BGRX"};
    }

    auto shmCookie = xcb_shm_query_version(connection);
    auto damageCookie = xcb_damage_query_version(connection, 1, 1);
    auto xfixesCookie = xcb_xfixes_query_version(connection, 4, 0);
    Reply<xcb_shm_query_version_reply_t> shm(
        xcb_shm_query_version_reply(connection, shmCookie, nullptr));
    Reply<xcb_damage_query_version_reply_t> damageVersion(
        xcb_damage_query_version_reply(connection, damageCookie, nullptr));
    Reply<xcb_xfixes_query_version_reply_t> xfixes(
        xcb_xfixes_query_version_reply(connection, xfixesCookie, nullptr));
    haveShm = static_cast<bool>(shm);
    haveXfixes = xfixes && xfixes->major_version >= 2;
    haveDamage = damageVersion && haveXfixes;
    if (!haveShm) note("no MIT-SHM on " + displayName + "; grabbing through the socket");

    if (const auto* randrData = xcb_get_extension_data(connection, &xcb_randr_id);
        randrData && randrData->present) {
        randrEventBase = randrData->first_event;
        xcb_randr_select_input(connection, root,
                               XCB_RANDR_NOTIFY_MASK_SCREEN_CHANGE |
                                   XCB_RANDR_NOTIFY_MASK_CRTC_CHANGE |
                                   XCB_RANDR_NOTIFY_MASK_OUTPUT_CHANGE);
    }
    if (haveDamage) {
        damage = xcb_generate_id(connection);
        xcb_damage_create(connection, damage, root, XCB_DAMAGE_REPORT_LEVEL_NON_EMPTY);
        region = xcb_generate_id(connection);
        xcb_xfixes_create_region(connection, region, 0, nullptr);
    }
    randr = std::make_unique<x11::RandrScreen>(displayName, report);
    return resolve();
}

std::optional<CaptureError> X11CaptureStream::State::resolve() {
    lastResolve = Clock::now();
    needsResolve = false;
    const auto snapshot = randr->snapshot();
    if (!snapshot) return CaptureError{CaptureErrorCode::connectionFailed, "RandR"};
    const auto bounds = snapshot->bounds(display);
    if (!bounds || bounds->width < 1 || bounds->height < 1) {
        return CaptureError{CaptureErrorCode::displayNotFound, std::to_string(display)};
    }
    // Only what lies on the framebuffer can be read.
    Rect next;
    next.x = std::max(0, static_cast<int>(bounds->x));
    next.y = std::max(0, static_cast<int>(bounds->y));
    next.width = std::min(static_cast<int>(bounds->maxX()), int{snapshot->width}) - next.x;
    next.height = std::min(static_cast<int>(bounds->maxY()), int{snapshot->height}) - next.y;
    if (next.width < 1 || next.height < 1) {
        return CaptureError{CaptureErrorCode::displayNotFound,
                            std::to_string(display) + " lies outside the screen"};
    }
    if (next != rect) {
        rect = next;
        needsCompleteFrame = true;
        const std::size_t size = static_cast<std::size_t>(rect.width) * rect.height * 4;
        if (haveShm && size > shmSize) {
            releaseShm();
            if (!allocateShm(size)) {
                haveShm = false;
                note("shared memory unavailable; grabbing through the socket");
            }
        }
    }
    return std::nullopt;
}

bool X11CaptureStream::State::allocateShm(std::size_t size) {
    shmID = shmget(IPC_PRIVATE, size, IPC_CREAT | 0600);
    if (shmID < 0) return false;
    void* address = shmat(shmID, nullptr, 0);
    if (address == reinterpret_cast<void*>(-1)) {
        shmctl(shmID, IPC_RMID, nullptr);
        shmID = -1;
        return false;
    }
    shmAddress = static_cast<std::uint8_t*>(address);
    shmSegment = xcb_generate_id(connection);
    xcb_generic_error_t* error =
        xcb_request_check(connection, xcb_shm_attach_checked(connection, shmSegment, shmID, 0));
    // Marked for removal now: the segment lives while attached and goes when we and the server
    // let it go, also if this process dies.
    shmctl(shmID, IPC_RMID, nullptr);
    if (error) {
        std::free(error);
        shmdt(shmAddress);
        shmAddress = nullptr;
        shmID = -1;
        return false;
    }
    shmSize = size;
    return true;
}

void X11CaptureStream::State::releaseShm() {
    if (!shmAddress) return;
    if (connection) xcb_shm_detach(connection, shmSegment);
    shmdt(shmAddress);
    shmAddress = nullptr;
    shmID = -1;
    shmSize = 0;
}

void X11CaptureStream::State::close() {
    running = false;
    pacer.stop();
    closeWaker();
    releaseShm();
    if (connection) {
        if (damage) xcb_damage_destroy(connection, damage);
        if (region) xcb_xfixes_destroy_region(connection, region);
        xcb_flush(connection);
        xcb_disconnect(connection);
    }
    damage = 0;
    region = 0;
    connection = nullptr;
    randr.reset();
    rect = {};
}

void X11CaptureStream::State::openWaker(const std::shared_ptr<State>& self) {
    if (!haveDamage) return;
    wakeConnection = xcb_connect(displayName.empty() ? nullptr : displayName.c_str(), nullptr);
    wakeStop = eventfd(0, EFD_CLOEXEC);
    if (xcb_connection_has_error(wakeConnection) || wakeStop < 0) {
        closeWaker();
        return;  // ticks alone still see every change
    }
    Reply<xcb_damage_query_version_reply_t> version(xcb_damage_query_version_reply(
        wakeConnection, xcb_damage_query_version(wakeConnection, 1, 1), nullptr));
    const auto* extension = xcb_get_extension_data(wakeConnection, &xcb_damage_id);
    if (!version || !extension || !extension->present) {
        closeWaker();
        return;
    }
    wakeDamage = xcb_generate_id(wakeConnection);
    xcb_damage_create(wakeConnection, wakeDamage, root, XCB_DAMAGE_REPORT_LEVEL_NON_EMPTY);
    xcb_flush(wakeConnection);
    const auto damageNotify = static_cast<std::uint8_t>(extension->first_event + XCB_DAMAGE_NOTIFY);
    std::weak_ptr<State> weak = self;
    waker = std::thread(
        [weak, connection = wakeConnection, stop = wakeStop, damageNotify, queue = queue] {
            pollfd fds[2] = {{xcb_get_file_descriptor(connection), POLLIN, 0}, {stop, POLLIN, 0}};
            for (;;) {
                if (poll(fds, 2, -1) < 0 && errno != EINTR) return;
                if (fds[1].revents != 0 || xcb_connection_has_error(connection)) return;
                bool damaged = false;
                while (xcb_generic_event_t* event = xcb_poll_for_event(connection)) {
                    damaged = damaged || (event->response_type & 0x7f) == damageNotify;
                    std::free(event);
                }
                if (damaged) {
                    queue->async([weak] {
                        if (auto state = weak.lock()) state->onDamage();
                    });
                }
            }
        });
}

void X11CaptureStream::State::closeWaker() {
    if (waker.joinable()) {
        const std::uint64_t one = 1;
        (void)!write(wakeStop, &one, sizeof one);
        waker.join();
    }
    if (wakeConnection) xcb_disconnect(wakeConnection);
    wakeConnection = nullptr;
    wakeDamage = 0;
    if (wakeStop >= 0) ::close(wakeStop);
    wakeStop = -1;
}

void X11CaptureStream::State::onDamage() {
    if (!running || gate.isClosed()) return;
    pacer.changed();
}

bool X11CaptureStream::State::damagedSinceLastFrame() {
    if (!haveDamage) return true;
    // Re-armed before looking, so that whatever changes after the look reports again.
    if (wakeConnection) {
        xcb_damage_subtract(wakeConnection, wakeDamage, XCB_NONE, XCB_NONE);
        xcb_flush(wakeConnection);
    }
    // Take everything damaged so far and look for a rectangle over this display.
    xcb_damage_subtract(connection, damage, XCB_NONE, region);
    Reply<xcb_xfixes_fetch_region_reply_t> fetched(xcb_xfixes_fetch_region_reply(
        connection, xcb_xfixes_fetch_region(connection, region), nullptr));
    if (!fetched) return true;
    const xcb_rectangle_t* rectangles = xcb_xfixes_fetch_region_rectangles(fetched.value);
    const int count = xcb_xfixes_fetch_region_rectangles_length(fetched.value);
    for (int i = 0; i < count; ++i) {
        if (rect.intersects(rectangles[i].x, rectangles[i].y, rectangles[i].width,
                            rectangles[i].height)) {
            return true;
        }
    }
    return false;
}

const std::uint8_t* X11CaptureStream::State::grab() {
    if (haveShm && shmAddress) {
        Reply<xcb_shm_get_image_reply_t> reply(xcb_shm_get_image_reply(
            connection,
            xcb_shm_get_image(connection, root, static_cast<std::int16_t>(rect.x),
                              static_cast<std::int16_t>(rect.y),
                              static_cast<std::uint16_t>(rect.width),
                              static_cast<std::uint16_t>(rect.height), ~0u,
                              XCB_IMAGE_FORMAT_Z_PIXMAP, shmSegment, 0),
            nullptr));
        return reply ? shmAddress : nullptr;
    }
    Reply<xcb_get_image_reply_t> reply(xcb_get_image_reply(
        connection,
        xcb_get_image(connection, XCB_IMAGE_FORMAT_Z_PIXMAP, root,
                      static_cast<std::int16_t>(rect.x), static_cast<std::int16_t>(rect.y),
                      static_cast<std::uint16_t>(rect.width),
                      static_cast<std::uint16_t>(rect.height), ~0u),
        nullptr));
    if (!reply) return nullptr;
    const std::size_t size = static_cast<std::size_t>(rect.width) * rect.height * 4;
    if (static_cast<std::size_t>(xcb_get_image_data_length(reply.value)) < size) return nullptr;
    grabbed.assign(xcb_get_image_data(reply.value), xcb_get_image_data(reply.value) + size);
    return grabbed.data();
}

void X11CaptureStream::State::onTick() {
    const auto woke = Clock::now();
    ++statistics.ticks;
    if (xcb_connection_has_error(connection)) {
        stopWithError({CaptureErrorCode::connectionFailed, "the X server closed the connection"});
        return;
    }
    while (xcb_generic_event_t* event = xcb_poll_for_event(connection)) {
        const std::uint8_t type = event->response_type & 0x7f;
        if (randrEventBase != 0 && (type == randrEventBase + XCB_RANDR_SCREEN_CHANGE_NOTIFY ||
                                    type == randrEventBase + XCB_RANDR_NOTIFY)) {
            needsResolve = true;
        }
        std::free(event);
    }
    // Virtual monitors change without an event; look again every second.
    if (needsResolve || Clock::now() - lastResolve > std::chrono::seconds(1)) {
        if (auto error = resolve()) {
            stopWithError(*error);
            return;
        }
    }

    bool changed = damagedSinceLastFrame() || needsCompleteFrame;

    Reply<xcb_xfixes_get_cursor_image_reply_t> cursorImage(nullptr);
    if (configuration.showsCursor && haveXfixes) {
        cursorImage.value = xcb_xfixes_get_cursor_image_reply(
            connection, xcb_xfixes_get_cursor_image(connection), nullptr);
        if (cursorImage) {
            CursorState now;
            now.x = cursorImage->x - cursorImage->xhot - rect.x;
            now.y = cursorImage->y - cursorImage->yhot - rect.y;
            now.serial = cursorImage->cursor_serial;
            now.inside = now.x < rect.width && now.y < rect.height &&
                         now.x + cursorImage->width > 0 && now.y + cursorImage->height > 0;
            // A cursor that moves or changes over this display changes the picture.
            if (now != cursor && (now.inside || cursor.inside)) changed = true;
            cursor = now;
        }
    }

    CapturedFrame frame;
    frame.presentationTime = std::chrono::duration_cast<MediaTime>(Clock::now().time_since_epoch());
    if (!changed) {
        frame.status = FrameStatus::idle;
        ++statistics.idleFrames;
        deliver(frame);
        return;
    }

    const PixelFormat format = configuration.pixelFormat;
    const ColorDescription color =
        format == PixelFormat::biPlanar420Video10 ? hdrConversionColor() : sdrConversionColor();
    auto buffer =
        pool.take(roundedUpToEven(rect.width), roundedUpToEven(rect.height), format, color);
    if (!buffer) {
        // The consumer holds every buffer: skip, and send the change with the next frame.
        ++statistics.skippedFrames;
        if (statistics.skippedFrames == 1 || statistics.skippedFrames % 100 == 0) {
            note("consumer holds " + std::to_string(pool.capacity()) + " frames; skipped " +
                 std::to_string(statistics.skippedFrames));
        }
        needsCompleteFrame = true;
        return;
    }
    const auto grabStart = Clock::now();
    const std::uint8_t* pixels = grab();
    const auto grabbed = Clock::now();
    if (!pixels) {
        // The rectangle may have just left the screen; the next look at RandR decides.
        needsResolve = true;
        needsCompleteFrame = true;
        return;
    }
    const std::size_t bytesPerRow = static_cast<std::size_t>(rect.width) * 4;
    if (cursorImage && cursor.inside) {
        compositeCursor(const_cast<std::uint8_t*>(pixels), bytesPerRow, rect.width, rect.height,
                        xcb_xfixes_get_cursor_image_cursor_image(cursorImage.value),
                        cursorImage->width, cursorImage->height, cursor.x, cursor.y);
    }
    if (format == PixelFormat::biPlanar420Video10) {
        if (!hdr) hdr = std::make_unique<HdrConverter>();
        hdr->convert(pixels, bytesPerRow, rect.width, rect.height, *buffer);
    } else {
        convertBGRAToNV12(pixels, bytesPerRow, rect.width, rect.height, *buffer);
    }
    needsCompleteFrame = false;
    pacer.frameCompleted(woke);
    statistics.completeFrameTime += Clock::now() - grabStart;
    frame.status = FrameStatus::complete;
    frame.pixelBuffer = buffer;
    ++statistics.completeFrames;
    if (FrameTrace::enabled()) {
        const auto key = static_cast<std::uint64_t>(frame.presentationTime.count());
        FrameTrace::mark(FrameStage::captureTick, key, woke);
        FrameTrace::mark(FrameStage::grabbed, key, grabbed);
        FrameTrace::mark(FrameStage::converted, key);
    }
    deliver(frame);
}

X11CaptureStream::X11CaptureStream(std::string displayName, DisplayID display,
                                   const StreamConfiguration& configuration,
                                   DispatchQueue& captureQueue, CaptureStreamOutput output,
                                   Report report)
    : state_(std::make_shared<State>()) {
    state_->displayName = std::move(displayName);
    state_->display = display;
    state_->configuration = configuration;
    state_->queue = captureQueue.retain();
    state_->output = std::move(output);
    state_->report = std::move(report);
    state_->pool = PixelBufferPool(configuration.queueDepth);
    state_->pacer = FramePacer(state_->queue, configuration.minimumFrameInterval);
}

// Never waits on the capture queue (it may be busy, or waiting for the caller): the connection is
// closed by a block queued behind the stream's others, which keeps the state alive.
X11CaptureStream::~X11CaptureStream() {
    state_->gate.close();
    state_->queue->async([state = state_] {
        if (state->connection) state->close();
    });
}

void X11CaptureStream::start(CaptureCompletion completion) {
    auto state = state_;
    state->queue->async([state, completion = std::move(completion)] {
        if (state->gate.isClosed()) {
            if (completion) {
                completion(
                    CaptureError{CaptureErrorCode::notRunning, "released before it started"});
            }
            return;
        }
        if (state->running) {
            if (completion) completion(CaptureError{CaptureErrorCode::alreadyRunning, {}});
            return;
        }
        if (auto error = state->open()) {
            state->close();
            if (completion) completion(error);
            return;
        }
        state->running = true;
        state->statistics.sharedMemory = state->haveShm;
        state->needsCompleteFrame = true;
        state->openWaker(state);
        std::weak_ptr<State> weak = state;
        state->pacer.start([weak] {
            auto alive = weak.lock();
            // Released: the close is queued behind this.
            if (alive && alive->running && !alive->gate.isClosed()) alive->onTick();
        });
        if (completion) completion(std::nullopt);
    });
}

void X11CaptureStream::stop(CaptureCompletion completion) {
    auto state = state_;
    state->queue->async([state, completion = std::move(completion)] {
        const bool wasRunning = state->running;
        state->close();
        if (completion) {
            completion(wasRunning ? std::nullopt
                                  : std::optional<CaptureError>(
                                        CaptureError{CaptureErrorCode::notRunning, {}}));
        }
    });
}

X11CaptureStream::Statistics X11CaptureStream::statistics() const {
    Statistics copy;
    auto state = state_;
    state->queue->sync([&] {
        copy = state->statistics;
        copy.changeTicks = state->pacer.changeTicks();
        copy.missedDeadlines = state->pacer.missedDeadlines();
    });
    return copy;
}

}  // namespace vl
