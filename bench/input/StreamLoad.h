// A 1080p session's video work beside the input path: the desktop captured at 60 frames a second
// (with a painter so that every frame changes) and each frame encoded to HEVC on a queue of its
// own, frames dropped while the encoder is busy, as the server's pipeline does.
#pragma once

#include "base/DispatchQueue.h"
#include "platform/capture/x11/X11CaptureService.h"
#include "platform/capture/x11/X11CaptureStream.h"
#include "platform/videocodec/x265/X265CompressionSession.h"

#include <xcb/xcb.h>

#include <atomic>
#include <future>
#include <memory>
#include <thread>

namespace vl::bench {

class StreamLoad {
  public:
    // Paints the rectangle (outside the input's test window) and captures the whole screen.
    StreamLoad(const std::string& display, xcb_rectangle_t painted) {
        X11CaptureService service(display);
        const auto displays = service.shareableDisplays();
        if (displays.empty()) return;
        encoder_.setProperties(properties());
        StreamConfiguration configuration;
        configuration.width = 1920;
        configuration.height = 1080;
        configuration.minimumFrameInterval = MediaTime{1'000'000'000 / 60};
        configuration.showsCursor = true;
        stream_ = std::make_unique<X11CaptureStream>(
            display, displays[0].displayID, configuration, captureQueue_,
            CaptureStreamOutput{[this](const CapturedFrame& frame) { encode(frame); }, {}},
            nullptr);
        std::promise<void> started;
        stream_->start([&](std::optional<CaptureError>) { started.set_value(); });
        started.get_future().wait();
        painter_ = std::thread([this, display, painted] { paint(display, painted); });
    }
    ~StreamLoad() {
        stopping_ = true;
        if (painter_.joinable()) painter_.join();
        if (stream_) {
            std::promise<void> stopped;
            stream_->stop([&](std::optional<CaptureError>) { stopped.set_value(); });
            stopped.get_future().wait();
        }
        encodeQueue_.sync([] {});
    }
    bool running() const { return stream_ != nullptr; }
    long encodedFrames() const { return encoded_; }

  private:
    static CompressionProperties properties() {
        CompressionProperties p;
        p.averageBitRate = 15'000'000;
        p.dataRateLimitBytes = 15'000'000 * 3 / 16;
        p.expectedFrameRate = 60;
        p.maxKeyFrameInterval = 120;
        p.maxKeyFrameIntervalDuration = 2;
        p.minAllowedFrameQP = 10;
        return p;
    }
    void encode(const CapturedFrame& frame) {
        if (frame.status != FrameStatus::complete || !frame.pixelBuffer || busy_.exchange(true))
            return;
        encodeQueue_.async([this, buffer = frame.pixelBuffer] {
            encoder_.encodeFrame(*buffer, MediaTime{frameNumber_++ * 16'666'667}, {}, {},
                                 [this](CodecStatus, std::optional<EncodedSample> sample) {
                                     if (sample) ++encoded_;
                                 });
            busy_ = false;
        });
    }
    void paint(const std::string& display, xcb_rectangle_t painted) {
        xcb_connection_t* c = xcb_connect(display.c_str(), nullptr);
        xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
        const xcb_gcontext_t gc = xcb_generate_id(c);
        xcb_create_gc(c, gc, screen->root, 0, nullptr);
        std::uint32_t colour = 0;
        while (!stopping_) {
            colour = (colour + 0x010203) & 0xffffff;
            xcb_change_gc(c, gc, XCB_GC_FOREGROUND, &colour);
            xcb_poly_fill_rectangle(c, screen->root, gc, 1, &painted);
            std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
            std::this_thread::sleep_for(std::chrono::milliseconds(16));
        }
        xcb_disconnect(c);
    }

    DispatchQueue captureQueue_{"com.corvane.vantrel.capture.screen"};
    DispatchQueue encodeQueue_{"com.corvane.vantrel.encode"};
    X265CompressionSession encoder_{1920, 1080};
    std::unique_ptr<X11CaptureStream> stream_;
    std::thread painter_;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> busy_{false};
    std::atomic<long> encoded_{0};
    std::int64_t frameNumber_ = 0;
};

}  // namespace vl::bench
