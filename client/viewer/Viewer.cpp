#include "client/viewer/Viewer.h"

#include "client/ShareRequest.h"
#include "comm/DisplayDescriptor.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <thread>

namespace vl {

namespace {

std::string sizeText(PixelSize size, int fps) {
    return std::to_string(size.width) + "x" + std::to_string(size.height) + "@" +
           std::to_string(fps);
}

// Slice threads for software decoding: half the machine's cores, the rest left to presenting
// and to whatever else runs; one to four.
int decodeThreads() {
    return std::clamp(static_cast<int>(std::thread::hardware_concurrency()) / 2, 1, 4);
}

MouseButton buttonOf(Uint8 sdlButton) {
    return sdlButton == SDL_BUTTON_RIGHT    ? MouseButton::right
           : sdlButton == SDL_BUTTON_MIDDLE ? MouseButton::middle
                                            : MouseButton::left;
}

std::string upper(std::string_view text) {
    std::string out(text);
    for (auto& ch : out) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    return out;
}

}  // namespace

Viewer::Shown* Viewer::gestureTarget(Uint32 windowID) {
    // While a button is held the window it was pressed in owns the pointer, wherever SDL says
    // the events happen (with two windows it may name the other one).
    for (auto* s : {&main_, &extra_})
        if (s->window && !s->down.empty()) return s;
    return shownFor(windowID);
}

std::pair<int, int> Viewer::inWindow(const Shown& s, Uint32 windowID, int x, int y) {
    if (s.window->id() == windowID) return {x, y};
    const Shown* from = shownFor(windowID);
    if (!from) return {x, y};
    int fx = 0, fy = 0, tx = 0, ty = 0;
    SDL_GetWindowPosition(from->window->window(), &fx, &fy);
    SDL_GetWindowPosition(s.window->window(), &tx, &ty);
    return {x + fx - tx, y + fy - ty};
}

Viewer::Shown* Viewer::shownFor(Uint32 windowID) {
    if (main_.window && main_.window->id() == windowID) return &main_;
    if (extra_.window && extra_.window->id() == windowID) return &extra_;
    return nullptr;
}

bool Viewer::start(const std::string& descriptor, std::string* error) {
    // Nothing goes out for the old items while the new ones are made.
    main_.shareId.clear();
    extra_.shareId.clear();
    audio_.reset();
    VideoWindow* mainWindow = main_.window.get();
    VideoWindow* extraWindow = extra_.window.get();
    HevcDecoderOptions decoder;
    decoder.device = options_.decoder;
    decoder.threads = options_.decodeThreads > 0 ? options_.decodeThreads : decodeThreads();
    session_->setDecoder(decoder);
    descriptor_ = descriptor;
    if (!session_->start(
            descriptor,
            [mainWindow](const DecodedPicture& p, VideoSink::Clock::time_point arrived) {
                mainWindow->offer(p, arrived);
            },
            extraDescriptor_,
            [extraWindow](const DecodedPicture& p, VideoSink::Clock::time_point arrived) {
                if (extraWindow) extraWindow->offer(p, arrived);
            },
            error))
        return false;
    main_.shareId = session_->mainItem()->sharedID;
    if (session_->extraItem()) extra_.shareId = session_->extraItem()->sharedID;
    const auto& item = *session_->mainItem();
    std::printf("display %lldx%lld id %s\n", static_cast<long long>(item.width),
                static_cast<long long>(item.height), item.sharedID.c_str());
    if (session_->extraItem())
        std::printf("extra %lldx%lld id %s\n", static_cast<long long>(session_->extraItem()->width),
                    static_cast<long long>(session_->extraItem()->height),
                    session_->extraItem()->sharedID.c_str());
    std::fflush(stdout);
    // Said once, and again only when it changes.
    if (auto decoder = session_->decoderDescription(); decoder != decoder_) {
        decoder_ = decoder;
        std::fprintf(stderr, "vantrel-link-viewer: decoding with %s\n", decoder_.c_str());
    }
    lastStats_ = session_->videoStats(false);
    startMedia();
    return true;
}

void Viewer::endSession() {
    // Nothing more goes to the old session; its clipboard and sound go before it.
    keys_.releaseAll();
    main_.shareId.clear();
    extra_.shareId.clear();
    for (auto* s : {&main_, &extra_}) s->down.clear();
    clipboard_.reset();
    audio_.reset();
    session_.reset();
    lookedAt_ = nullptr;
    lookAtSent_ = false;
}

bool Viewer::offerReconnect(SessionEnd end, std::chrono::steady_clock::time_point began) {
    endSession();
    std::string why(description(end));
    why[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(why[0])));
    auto offer = [&](const std::string& what, const std::string& retry) {
        const std::string keys = "press R to " + retry + ", Q to quit";
        main_.window->setTitle("Vantrel Link — " + what + " — " + keys);
        main_.window->setOverlay(Overlay::notice, {upper(what), upper(keys)});
        std::fprintf(stderr, "vantrel-link-viewer: %s — %s\n", what.c_str(), keys.c_str());
    };
    offer(why, "reconnect");
    const auto deadline = began + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                      std::chrono::duration<double>(options_.seconds));
    SDL_Event e;
    for (;;) {
        if (options_.seconds > 0 && std::chrono::steady_clock::now() >= deadline) return false;
        if (!SDL_WaitEventTimeout(&e, 100)) continue;
        if (e.type == SDL_QUIT) return false;
        if (e.type == SDL_WINDOWEVENT) {
            if (e.window.event == SDL_WINDOWEVENT_CLOSE) return false;
            if (Shown* s = shownFor(e.window.windowID)) s->window->redraw();
            continue;
        }
        if (e.type != SDL_KEYDOWN || e.key.repeat) continue;
        const auto key = e.key.keysym.sym;
        if (key == SDLK_q || key == SDLK_ESCAPE) return false;
        if (key != SDLK_r) continue;
        main_.window->setTitle("Vantrel Link — reconnecting…");
        main_.window->setOverlay(Overlay::notice, {"RECONNECTING..."});
        ViewerSession::Failure failure{};
        session_ = reconnect_(&failure);
        std::string error;
        if (!session_) {
            offer("Reconnecting failed: " + std::string(description(failure.reason)), "try again");
            continue;
        }
        if (!start(descriptor_, &error)) {
            endSession();
            offer("The session did not start again: " + error, "try again");
            continue;
        }
        main_.window->setOverlay(Overlay::notice, {});
        std::printf("reconnected\n");
        std::fflush(stdout);
        std::fprintf(stderr, "vantrel-link-viewer: reconnected\n");
        updateTitles();
        return true;
    }
}

// Every second: the figures of the status line and overlay.
void Viewer::updateStatus(double seconds) {
    const auto stats = session_->videoStats(false);
    const auto delta = stats.since(lastStats_);
    lastStats_ = stats;
    const auto figures = main_.window->figures();
    main_.window->resetFigures();
    const double received = delta.frames / seconds;
    const int undecodable = session_->decodeErrors(false);
    // What the viewer sees starts at the unit's arrival; before it the server waited for the
    // screen (half a frame interval on average) and encoded and sent it, which it cannot see: an
    // estimate from below.
    const double glass = figures.toGlassMs + (received > 0 ? 500.0 / received : 0);
    char text[256];
    std::snprintf(text, sizeof text,
                  "%.1f fps shown, %.1f received, %.2f Mbit/s, decode %.1f ms, "
                  "arrival to screen %.1f ms, not shown %llu, decode errors %d",
                  figures.presented / seconds, received, delta.megabitsPerSecond(seconds),
                  figures.decodeMs, figures.toGlassMs,
                  static_cast<unsigned long long>(figures.dropped), undecodable);
    statusText_ = text;
    auto line = [](const char* format, auto... values) {
        char buffer[128];
        std::snprintf(buffer, sizeof buffer, format, values...);
        return std::string(buffer);
    };
    statusLines_ = {
        line("FRAME RATE %.1f FPS SHOWN, %.1f RECEIVED", figures.presented / seconds, received),
        line("BIT RATE %.2f MBIT/S", delta.megabitsPerSecond(seconds)),
        line("DECODE %.1f MS, ARRIVAL TO SCREEN %.1f MS", figures.decodeMs, figures.toGlassMs),
        line("GLASS TO GLASS >= %.1f MS (ESTIMATE)", glass),
        line("LOSS %d UNDECODABLE, %llu NOT SHOWN (NEWER CAME)", undecodable,
             static_cast<unsigned long long>(figures.dropped)),
        upper("DECODER " + decoder_.substr(0, decoder_.find(" ("))),
    };
}

void Viewer::startMedia() {
    if (auto endpoint = session_->audioEndpoint()) {
        std::string error;
        audio_ = ViewerAudio::open(endpoint->host, endpoint->port, endpoint->layout, &error);
        // A machine without sound still shows the desktop.
        if (!audio_) std::fprintf(stderr, "vantrel-link-viewer: no audio: %s\n", error.c_str());
    }
    if (!clipboard_) {
        ViewerSession* session = session_.get();
        clipboard_ = std::make_unique<ViewerClipboard>(
            [session](const ClipboardEvent& event) { session->sendClipboard(event); });
        ViewerClipboard* clipboard = clipboard_.get();
        session_->setClipboardHandler(
            [clipboard](const ClipboardEvent& event) { clipboard->handle(event); });
    }
}

int Viewer::run(PixelSize size, int fps) {
    fps_ = fps;
    std::string error;
    auto request = ShareRequest::make(sizeText(size, fps), options_.hdr, options_.extra, &error);
    if (!request) {
        std::fprintf(stderr, "vantrel-link-viewer: %s\n", error.c_str());
        return usageError;
    }
    extraDescriptor_ = request->extraDescriptor;
    if (extraDescriptor_) {
        auto extraSize = parseDisplayDescriptor(*extraDescriptor_);
        extra_.window = VideoWindow::create(
            "Vantrel Link — extra display",
            {std::min(extraSize->width, 1280), std::min(extraSize->height, 800)}, false, wakeEvent_,
            &error, false);
        if (!extra_.window) {
            std::fprintf(stderr, "vantrel-link-viewer: %s\n", error.c_str());
            return failed;
        }
    }
    main_.window->setTitle("Vantrel Link — starting the session…");
    if (!start(request->descriptor, &error)) {
        std::fprintf(stderr, "vantrel-link-viewer: the session did not start: %s\n", error.c_str());
        return failed;
    }
    if (options_.reportPresent) {
        main_.window->reportPresentations("display");
        if (extra_.window) extra_.window->reportPresentations("extra");
    }
    updateTitles();

    using Clock = std::chrono::steady_clock;
    const auto began = Clock::now();
    auto lastStatus = began;
    while (running_) {
        auto timeout = std::chrono::milliseconds(50);
        if (auto deadline = debounce_.deadline())
            timeout = std::clamp(
                std::chrono::duration_cast<std::chrono::milliseconds>(*deadline - Clock::now()),
                std::chrono::milliseconds(1), timeout);
        SDL_Event e;
        if (SDL_WaitEventTimeout(&e, static_cast<int>(timeout.count()))) {
            handle(e);
            while (SDL_PollEvent(&e)) handle(e);
        }
        keys_.flush();
        for (auto* s : {&main_, &extra_}) {
            if (!s->window) continue;
            flushMotion(*s);
            s->window->presentNewest();
        }
        // Focus settles within a batch (one window loses it as the other gains it).
        if (focused_ != lookedAt_ || !lookAtSent_) {
            if (focused_ || lookAtSent_) {
                session_->send(LookAtInfo{focused_ ? focused_->shareId : std::string()});
                lookAtSent_ = true;
            }
            lookedAt_ = focused_;
        }
        if (auto wanted = debounce_.due(Clock::now())) {
            const auto descriptor = sizeText(*wanted, fps_) + (options_.hdr ? " HDR" : "");
            main_.window->setTitle("Vantrel Link — resizing to " + sizeText(*wanted, fps_) + "…");
            std::printf("resize %dx%d\n", wanted->width, wanted->height);
            std::fflush(stdout);
            if (!start(descriptor, &error)) {
                std::fprintf(stderr, "vantrel-link-viewer: the new size did not start: %s\n",
                             error.c_str());
                return failed;
            }
            updateTitles();
        }
        if (auto end = session_->pump(); end != SessionEnd::none) {
            std::fprintf(stderr, "vantrel-link-viewer: %s\n",
                         std::string(description(end)).c_str());
            if (!options_.offerReconnect || !offerReconnect(end, began)) {
                main_.window->setTitle("Vantrel Link — " + std::string(description(end)));
                return serverGone;
            }
            lastStatus = Clock::now();
            continue;
        }
        const auto now = Clock::now();
        if (now - lastStatus >= std::chrono::seconds(1)) {
            updateStatus(std::chrono::duration<double>(now - lastStatus).count());
            lastStatus = now;
            if (showStatus_) {
                updateTitles();
                main_.window->setOverlay(Overlay::status, statusLines_);
            }
        }
        if (options_.seconds > 0 &&
            std::chrono::duration<double>(now - began).count() >= options_.seconds)
            running_ = false;
    }
    keys_.releaseAll();
    return ok;
}

void Viewer::updateTitles() {
    std::string title = "Vantrel Link";
    if (showStatus_ && !statusText_.empty()) title += " — " + statusText_;
    if (audio_ && audio_->muted()) title += " — muted";
    if (grabbed_) title += " — Ctrl+Alt+G releases the keyboard";
    main_.window->setTitle(title);
    if (extra_.window) extra_.window->setTitle(title + " (extra display)");
}

void Viewer::sendPointer(Shown& s, MouseEventKind kind, MouseButton button, int x, int y) {
    auto position = s.window->position(x, y);
    if (!position || s.shareId.empty()) return;
    // Hovering over the bars says nothing; a press there too. A drag or release goes anyway and
    // the server holds it on the edge.
    if (!position->inside && (kind == MouseEventKind::move || kind == MouseEventKind::down)) return;
    if (kind == MouseEventKind::down) s.down[button] = true;
    if (kind == MouseEventKind::up && !s.down.erase(button)) return;
    session_->send(MouseEvent{s.shareId, button, kind, position->horz, position->vert});
}

void Viewer::flushMotion(Shown& s) {
    if (!s.motion) return;
    const auto [x, y] = *s.motion;
    s.motion.reset();
    // A drag belongs to the first button held (left before right before middle).
    for (auto button : {MouseButton::left, MouseButton::right, MouseButton::middle})
        if (s.down.count(button)) return sendPointer(s, MouseEventKind::drag, button, x, y);
    sendPointer(s, MouseEventKind::move, MouseButton::left, x, y);
}

void Viewer::sendKey(const KeyMessage& m) {
    Shown* s = focused_ ? focused_ : &main_;
    if (s->shareId.empty()) return;
    session_->send(KeyboardEvent{s->shareId, m.usage, m.characters, m.modifierFlags, m.isKeyDown});
}

void Viewer::grab(Shown& s, bool on) {
    if (grabbed_ == on) return;
    grabbed_ = on;
    SDL_SetWindowKeyboardGrab(s.window->window(), on ? SDL_TRUE : SDL_FALSE);
    updateTitles();
}

void Viewer::command(ViewerCommand c) {
    switch (c) {
        case ViewerCommand::releaseGrab:
            for (auto* s : {&main_, &extra_})
                if (s->window) SDL_SetWindowKeyboardGrab(s->window->window(), SDL_FALSE);
            grabbed_ = false;
            break;
        case ViewerCommand::toggleStatus:
            showStatus_ = !showStatus_;
            if (!showStatus_)
                main_.window->setOverlay(Overlay::status, {});
            else
                main_.window->setOverlay(
                    Overlay::status,
                    statusLines_.empty() ? std::vector<std::string>{"MEASURING..."} : statusLines_);
            break;
        case ViewerCommand::toggleFullscreen:
            if (focused_) focused_->window->toggleFullscreen();
            break;
        case ViewerCommand::quit:
            running_ = false;
            break;
        case ViewerCommand::toggleMute:
            if (audio_) audio_->toggleMute();
            break;
        case ViewerCommand::volumeUp:
            if (audio_) audio_->setVolume(std::min(1.0f, audio_->volume() + 0.1f));
            break;
        case ViewerCommand::volumeDown:
            if (audio_) audio_->setVolume(std::max(0.0f, audio_->volume() - 0.1f));
            break;
    }
    updateTitles();
}

void Viewer::handle(const SDL_Event& e) {
    if (e.type == SDL_QUIT) {
        running_ = false;
        return;
    }
    if (e.type == wakeEvent_) return;  // presented after the batch
    switch (e.type) {
        case SDL_WINDOWEVENT: {
            Shown* s = shownFor(e.window.windowID);
            if (!s) return;
            switch (e.window.event) {
                case SDL_WINDOWEVENT_CLOSE:
                    running_ = false;
                    break;
                case SDL_WINDOWEVENT_EXPOSED:
                    s->window->redraw();
                    break;
                case SDL_WINDOWEVENT_SIZE_CHANGED:
                    s->window->redraw();
                    // The remote display follows the main window unless a size was given.
                    if (s == &main_ && !options_.size)
                        debounce_.resized({e.window.data1, e.window.data2},
                                          std::chrono::steady_clock::now());
                    break;
                case SDL_WINDOWEVENT_FOCUS_GAINED:
                    focused_ = s;
                    break;
                case SDL_WINDOWEVENT_FOCUS_LOST:
                    if (focused_ == s) {
                        focused_ = nullptr;
                        keys_.releaseAll();
                    }
                    break;
                default:
                    break;
            }
            return;
        }
        case SDL_MOUSEMOTION:
            if (Shown* s = gestureTarget(e.motion.windowID)) {
                const auto point = inWindow(*s, e.motion.windowID, e.motion.x, e.motion.y);
                s->motion = point;
                s->pointer = point;
            }
            return;
        case SDL_MOUSEBUTTONDOWN:
        case SDL_MOUSEBUTTONUP:
            if (Shown* s = gestureTarget(e.button.windowID)) {
                if (e.button.button != SDL_BUTTON_LEFT && e.button.button != SDL_BUTTON_RIGHT &&
                    e.button.button != SDL_BUTTON_MIDDLE)
                    return;
                // Moves before the button, in order.
                for (auto* other : {&main_, &extra_})
                    if (other->window) flushMotion(*other);
                const auto [x, y] = inWindow(*s, e.button.windowID, e.button.x, e.button.y);
                s->pointer = {x, y};
                const bool down = e.type == SDL_MOUSEBUTTONDOWN;
                sendPointer(*s, down ? MouseEventKind::down : MouseEventKind::up,
                            buttonOf(e.button.button), x, y);
                // A click in the window takes the keyboard, shortcuts included.
                if (down) grab(*s, true);
            }
            return;
        case SDL_MOUSEWHEEL:
            if (Shown* s = shownFor(e.wheel.windowID)) {
                float amount = e.wheel.preciseY;
                if (e.wheel.direction == SDL_MOUSEWHEEL_FLIPPED) amount = -amount;
                if (amount == 0 || s->shareId.empty()) return;
                auto position = s->window->position(s->pointer.first, s->pointer.second);
                if (!position) return;
                // One notch is 50 pixels, the server's wheel click.
                session_->send(MouseScroll{s->shareId, position->horz, position->vert,
                                           amount > 0 ? ScrollDirection::up : ScrollDirection::down,
                                           std::abs(amount) * 50.0});
            }
            return;
        case SDL_KEYDOWN:
            keys_.keyDown(e.key.keysym.scancode, e.key.keysym.mod);
            return;
        case SDL_KEYUP:
            keys_.keyUp(e.key.keysym.scancode, e.key.keysym.mod);
            return;
        case SDL_TEXTINPUT:
            keys_.text(e.text.text);
            return;
        default:
            return;
    }
}

}  // namespace vl
