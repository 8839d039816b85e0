// client/viewer: one window showing one stream. The decoding thread offers each picture; the main
// loop presents the newest one (older ones not yet shown are dropped), scaled into the window
// with its aspect ratio kept, and keeps the figures the status line shows.
#pragma once

#include "client/viewer/BitmapFont.h"
#include "client/viewer/Letterbox.h"
#include "client/viewer/NewestSlot.h"
#include "client/viewer/ResizeDebounce.h"
#include "client/viewer/ToneMap.h"
#include "platform/videocodec/libavcodec/HevcDecoder.h"

#include <SDL2/SDL.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace vl {

// Text laid over the picture: the status figures in the top-left corner, a notice (the reconnect
// offer) in the middle.
enum class Overlay { status, notice };

class VideoWindow {
  public:
    using Clock = std::chrono::steady_clock;

    // Presentation figures since the window opened (or since resetFigures()).
    struct Figures {
        std::uint64_t presented = 0;
        std::uint64_t dropped = 0;
        double decodeMs = 0;   // arrival to decoded picture, mean
        double toGlassMs = 0;  // arrival to presentation, mean
    };

    // `wakeEvent` is the SDL event type pushed when a picture waits.
    // `centred` false puts the window in the screen's top-left corner (a second window).
    static std::unique_ptr<VideoWindow> create(const std::string& title, PixelSize size,
                                               bool fullscreen, std::uint32_t wakeEvent,
                                               std::string* error, bool centred = true);
    ~VideoWindow();
    VideoWindow(const VideoWindow&) = delete;
    VideoWindow& operator=(const VideoWindow&) = delete;

    // On the decoding thread.
    void offer(const DecodedPicture& picture, Clock::time_point arrived);

    // On the main loop: shows the newest picture if one waits. True when it did.
    bool presentNewest();
    // Draws the last picture again (after an expose or a resize).
    void redraw();

    SDL_Window* window() const { return window_; }
    std::uint32_t id() const { return SDL_GetWindowID(window_); }
    PixelSize size() const;
    // The window point within the shown picture; nothing before the first picture.
    std::optional<ItemPosition> position(double x, double y) const;
    void setTitle(const std::string& title);
    // Shows the lines over the picture (none: takes that overlay away) and redraws.
    void setOverlay(Overlay which, const std::vector<std::string>& lines);
    void toggleFullscreen();
    Figures figures() const;
    void resetFigures();
    // Prints a line per presentation on stdout:
    // "present NAME N ARRIVED_NS PRESENTED_NS LUMA DECODED_NS TAKEN_NS" (steady-clock
    // nanoseconds; the luma of the picture's centre; TAKEN when the main loop took it to draw).
    void reportPresentations(std::string name) { reportName_ = std::move(name); }

  private:
    struct Frame {
        DecodedPicture picture;
        Clock::time_point arrived;
        Clock::time_point decoded;
    };

    struct OverlayTexture {
        SDL_Texture* texture = nullptr;
        int width = 0, height = 0;
    };

    VideoWindow() = default;
    void upload(const Frame& frame);
    Frame takeSpare();
    void giveBack(Frame frame);
    void drawOverlays(int width, int height);

    SDL_Window* window_ = nullptr;
    SDL_Renderer* renderer_ = nullptr;
    SDL_Texture* texture_ = nullptr;
    int textureWidth_ = 0, textureHeight_ = 0;
    std::uint32_t wakeEvent_ = 0;
    ToneMapper toneMapper_;
    NewestSlot<Frame> slot_;
    // Frames shown or dropped, kept for their memory: a picture copied into pages already mapped
    // takes a fraction of a millisecond, into fresh ones several on a busy machine.
    std::mutex spareMutex_;
    std::vector<Frame> spare_;
    std::string reportName_;
    bool fullscreen_ = false;
    OverlayTexture overlays_[2];

    Figures figures_;
    std::uint64_t droppedAtReset_ = 0;
    double decodeSum_ = 0, glassSum_ = 0;
};

}  // namespace vl
