#include "client/viewer/VideoWindow.h"

#include <cstdio>

namespace vl {

namespace {

double ms(VideoWindow::Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

std::int64_t ns(VideoWindow::Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
}

}  // namespace

std::unique_ptr<VideoWindow> VideoWindow::create(const std::string& title, PixelSize size,
                                                 bool fullscreen, std::uint32_t wakeEvent,
                                                 std::string* error, bool centred) {
    std::unique_ptr<VideoWindow> w(new VideoWindow());
    w->wakeEvent_ = wakeEvent;
    w->fullscreen_ = fullscreen;
    const Uint32 flags = SDL_WINDOW_RESIZABLE | SDL_WINDOW_ALLOW_HIGHDPI |
                         (fullscreen ? SDL_WINDOW_FULLSCREEN_DESKTOP : 0);
    // A second window goes to the screen's top-left corner, out of the first one's way.
    SDL_Rect usable{0, 0, 0, 0};
    SDL_GetDisplayUsableBounds(0, &usable);
    const int x = centred ? SDL_WINDOWPOS_CENTERED : usable.x;
    const int y = centred ? SDL_WINDOWPOS_CENTERED : usable.y;
    w->window_ = SDL_CreateWindow(title.c_str(), x, y, size.width, size.height, flags);
    if (!w->window_) {
        if (error) *error = std::string("cannot open a window: ") + SDL_GetError();
        return nullptr;
    }
    // No vsync: a presentation never waits, so the newest picture is the one shown.
    w->renderer_ = SDL_CreateRenderer(w->window_, -1, 0);
    if (!w->renderer_) {
        if (error) *error = std::string("cannot draw into the window: ") + SDL_GetError();
        return nullptr;
    }
    SDL_SetRenderDrawColor(w->renderer_, 0, 0, 0, 255);
    SDL_RenderClear(w->renderer_);
    SDL_RenderPresent(w->renderer_);
    return w;
}

VideoWindow::~VideoWindow() {
    for (auto& o : overlays_)
        if (o.texture) SDL_DestroyTexture(o.texture);
    if (texture_) SDL_DestroyTexture(texture_);
    if (renderer_) SDL_DestroyRenderer(renderer_);
    if (window_) SDL_DestroyWindow(window_);
}

VideoWindow::Frame VideoWindow::takeSpare() {
    std::lock_guard lock(spareMutex_);
    if (spare_.empty()) return {};
    Frame frame = std::move(spare_.back());
    spare_.pop_back();
    return frame;
}

void VideoWindow::giveBack(Frame frame) {
    std::lock_guard lock(spareMutex_);
    if (spare_.size() < 2) spare_.push_back(std::move(frame));
}

void VideoWindow::offer(const DecodedPicture& picture, Clock::time_point arrived) {
    Frame frame = takeSpare();
    frame.picture = picture;  // into the planes' memory as it is, when large enough
    frame.arrived = arrived;
    frame.decoded = Clock::now();
    std::optional<Frame> replaced;
    const bool wake = slot_.put(std::move(frame), &replaced);
    if (replaced) giveBack(std::move(*replaced));
    if (wake) {
        SDL_Event event{};
        event.type = wakeEvent_;
        SDL_PushEvent(&event);
    }
}

void VideoWindow::upload(const Frame& frame) {
    const auto& p = frame.picture;
    if (!texture_ || textureWidth_ != p.width || textureHeight_ != p.height) {
        if (texture_) SDL_DestroyTexture(texture_);
        texture_ = SDL_CreateTexture(renderer_, SDL_PIXELFORMAT_IYUV, SDL_TEXTUREACCESS_STREAMING,
                                     p.width, p.height);
        textureWidth_ = p.width;
        textureHeight_ = p.height;
    }
    if (!texture_) return;
    // The matrix the stream signals (BT.709 = 1); SDL knows no BT.2020, BT.709 is closest.
    SDL_SetYUVConversionMode(p.fullRange ? SDL_YUV_CONVERSION_JPEG
                             : p.matrixCoefficients == 5 || p.matrixCoefficients == 6
                                 ? SDL_YUV_CONVERSION_BT601
                                 : SDL_YUV_CONVERSION_BT709);
    if (p.bitDepth <= 8) {
        SDL_UpdateYUVTexture(texture_, nullptr, p.planes[0].data(), p.strides[0],
                             p.planes[1].data(), p.strides[1], p.planes[2].data(), p.strides[2]);
    } else {
        auto planes = toneMapper_.convert(p);
        SDL_UpdateYUVTexture(texture_, nullptr, planes.planes[0].data(), planes.strides[0],
                             planes.planes[1].data(), planes.strides[1], planes.planes[2].data(),
                             planes.strides[2]);
    }
}

bool VideoWindow::presentNewest() {
    auto frame = slot_.take();
    if (!frame) return false;
    const auto taken = Clock::now();
    upload(*frame);
    redraw();
    const auto now = Clock::now();
    ++figures_.presented;
    decodeSum_ += ms(frame->decoded - frame->arrived);
    glassSum_ += ms(now - frame->arrived);
    if (!reportName_.empty()) {
        const auto& p = frame->picture;
        std::printf("present %s %llu %lld %lld %d %lld %lld\n", reportName_.c_str(),
                    static_cast<unsigned long long>(figures_.presented),
                    static_cast<long long>(ns(frame->arrived)), static_cast<long long>(ns(now)),
                    p.luma(p.width / 2, p.height / 2) >> (p.bitDepth - 8),
                    static_cast<long long>(ns(frame->decoded)), static_cast<long long>(ns(taken)));
        std::fflush(stdout);
    }
    giveBack(std::move(*frame));
    return true;
}

void VideoWindow::redraw() {
    SDL_RenderClear(renderer_);
    int w = 0, h = 0;
    SDL_GetRendererOutputSize(renderer_, &w, &h);
    if (texture_) {
        const auto view = letterbox(textureWidth_, textureHeight_, w, h);
        const SDL_Rect rect{view.x, view.y, view.width, view.height};
        SDL_RenderCopy(renderer_, texture_, nullptr, &rect);
    }
    drawOverlays(w, h);
    SDL_RenderPresent(renderer_);
}

void VideoWindow::setOverlay(Overlay which, const std::vector<std::string>& lines) {
    auto& o = overlays_[static_cast<int>(which)];
    if (o.texture) SDL_DestroyTexture(o.texture);
    o = {};
    if (!lines.empty()) {
        // Doubled where the window has room, so it stays legible on a large screen.
        const auto box = BitmapFont::draw(lines, size().width >= 1000 ? 2 : 1);
        o.texture = SDL_CreateTexture(renderer_, SDL_PIXELFORMAT_ARGB8888, SDL_TEXTUREACCESS_STATIC,
                                      box.width, box.height);
        if (o.texture) {
            SDL_UpdateTexture(o.texture, nullptr, box.pixels.data(),
                              box.width * static_cast<int>(sizeof(std::uint32_t)));
            o.width = box.width;
            o.height = box.height;
        }
    }
    redraw();
}

void VideoWindow::drawOverlays(int width, int height) {
    constexpr int inset = 8;
    for (int i = 0; i < 2; ++i) {
        const auto& o = overlays_[i];
        if (!o.texture) continue;
        const bool centred = static_cast<Overlay>(i) == Overlay::notice;
        const SDL_Rect rect{centred ? (width - o.width) / 2 : inset,
                            centred ? (height - o.height) / 2 : inset, o.width, o.height};
        SDL_RenderCopy(renderer_, o.texture, nullptr, &rect);
    }
}

PixelSize VideoWindow::size() const {
    PixelSize size;
    SDL_GetWindowSize(window_, &size.width, &size.height);
    return size;
}

std::optional<ItemPosition> VideoWindow::position(double x, double y) const {
    if (!texture_) return std::nullopt;
    const auto s = size();
    return itemPosition(letterbox(textureWidth_, textureHeight_, s.width, s.height), x, y);
}

void VideoWindow::setTitle(const std::string& title) {
    SDL_SetWindowTitle(window_, title.c_str());
    // Flushed now: the title also says what a blocking step (connecting, resizing) is doing.
    SDL_PumpEvents();
}

void VideoWindow::toggleFullscreen() {
    fullscreen_ = !fullscreen_;
    SDL_SetWindowFullscreen(window_, fullscreen_ ? SDL_WINDOW_FULLSCREEN_DESKTOP : 0);
}

VideoWindow::Figures VideoWindow::figures() const {
    Figures f = figures_;
    f.dropped = slot_.dropped() - droppedAtReset_;
    if (f.presented > 0) {
        f.decodeMs = decodeSum_ / f.presented;
        f.toGlassMs = glassSum_ / f.presented;
    }
    return f;
}

void VideoWindow::resetFigures() {
    figures_ = {};
    droppedAtReset_ = slot_.dropped();
    decodeSum_ = glassSum_ = 0;
}

}  // namespace vl
