// Test helpers for capture streams on a real X server: painting the root window and moving the
// pointer, collecting frames, reading luma, and starting and stopping a stream synchronously.
#pragma once

#include "platform/capture/Interface.h"

#include <xcb/xcb.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace vl::test {

using namespace std::chrono_literals;

// A client of the test server that paints the root window and moves the pointer.
class Painter {
  public:
    explicit Painter(const std::string& display) {
        connection_ = xcb_connect(display.c_str(), nullptr);
        screen_ = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data;
        gc_ = xcb_generate_id(connection_);
        xcb_create_gc(connection_, gc_, screen_->root, 0, nullptr);
    }
    ~Painter() { xcb_disconnect(connection_); }

    void fill(std::uint32_t rgb, int x, int y, int width, int height) {
        xcb_change_gc(connection_, gc_, XCB_GC_FOREGROUND, &rgb);
        const xcb_rectangle_t rectangle{static_cast<std::int16_t>(x), static_cast<std::int16_t>(y),
                                        static_cast<std::uint16_t>(width),
                                        static_cast<std::uint16_t>(height)};
        xcb_poly_fill_rectangle(connection_, screen_->root, gc_, 1, &rectangle);
        sync();
    }
    void warpPointer(int x, int y) {
        xcb_warp_pointer(connection_, XCB_NONE, screen_->root, 0, 0, 0, 0,
                         static_cast<std::int16_t>(x), static_cast<std::int16_t>(y));
        sync();
    }
    void sync() {
        std::free(
            xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr));
    }

  private:
    xcb_connection_t* connection_;
    xcb_screen_t* screen_;
    xcb_gcontext_t gc_;
};

// Collects frames; keeps only the newest complete picture, so the stream's pool never runs dry.
class Collector {
  public:
    CaptureStreamOutput output() {
        return {[this](const CapturedFrame& frame) {
                    std::lock_guard lock(mutex_);
                    if (frame.status == FrameStatus::complete) {
                        ++complete_;
                        last_ = frame.pixelBuffer;
                    } else if (frame.status == FrameStatus::idle) {
                        ++idle_;
                    }
                    changed_.notify_all();
                },
                [this](const CaptureError& error) {
                    std::lock_guard lock(mutex_);
                    stops_.push_back(error);
                    changed_.notify_all();
                }};
    }
    // Waits until the predicate holds on (complete, idle) counts; false after 10 s.
    template <typename Predicate>
    bool waitFor(Predicate predicate) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, 10s, [&] { return predicate(complete_, idle_); });
    }
    int complete() {
        std::lock_guard lock(mutex_);
        return complete_;
    }
    int idle() {
        std::lock_guard lock(mutex_);
        return idle_;
    }
    std::shared_ptr<const PixelBuffer> last() {
        std::lock_guard lock(mutex_);
        return last_;
    }
    bool waitForStop() {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, 10s, [&] { return !stops_.empty(); });
    }
    std::vector<CaptureError> stops() {
        std::lock_guard lock(mutex_);
        return stops_;
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int complete_ = 0;
    int idle_ = 0;
    std::shared_ptr<const PixelBuffer> last_;
    std::vector<CaptureError> stops_;
};

inline int lumaAt(const PixelBuffer& buffer, int x, int y) {
    const PixelPlane& plane = buffer.planes[0];
    const std::uint8_t* row = plane.bytes.data() + static_cast<std::size_t>(y) * plane.bytesPerRow;
    if (buffer.format == PixelFormat::biPlanar420Video10) {
        return (row[2 * x] | (row[2 * x + 1] << 8)) >> 6;
    }
    return row[x];
}

inline std::optional<CaptureError> startAndWait(CaptureStream& stream) {
    std::promise<std::optional<CaptureError>> done;
    stream.start([&](std::optional<CaptureError> error) { done.set_value(error); });
    return done.get_future().get();
}

inline std::optional<CaptureError> stopAndWait(CaptureStream& stream) {
    std::promise<std::optional<CaptureError>> done;
    stream.stop([&](std::optional<CaptureError> error) { done.set_value(error); });
    return done.get_future().get();
}

inline StreamConfiguration configurationFor(const ShareableDisplay& display, int fps,
                                            bool showsCursor = false) {
    StreamConfiguration configuration;
    configuration.width = roundedUpToEven(display.width);
    configuration.height = roundedUpToEven(display.height);
    configuration.minimumFrameInterval = MediaTime{1'000'000'000 / fps};
    configuration.showsCursor = showsCursor;
    return configuration;
}

}  // namespace vl::test
