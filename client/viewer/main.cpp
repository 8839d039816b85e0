// vantrel-link-viewer: a Vantrel Link desktop in a window of this machine — the stream shown
// scaled, the pointer and keys sent back, the system audio played and the clipboard kept in step.
#include "client/ShareRequest.h"
#include "client/viewer/KeyInput.h"
#include "client/viewer/ResizeDebounce.h"
#include "client/viewer/VideoWindow.h"
#include "client/viewer/ViewerOptions.h"
#include "client/viewer/ViewerSession.h"
#include "client/viewer/clipboard/ViewerClipboard.h"
#include "client/viewer/media/ViewerAudio.h"
#include "comm/DisplayDescriptor.h"
#include "platform/discovery/avahi/AvahiDiscovery.h"

#include <SDL2/SDL.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <thread>

#include <unistd.h>

using namespace vl;

namespace {

constexpr std::uint16_t defaultPort = 8788;
constexpr auto resizeQuiet = std::chrono::milliseconds(600);

// Exit statuses, as the command-line client uses them where they overlap.
enum Status { ok = 0, failed = 1, usageError = 2, busy = 3, wrongPassword = 4, serverGone = 5 };

void usage() {
    std::fprintf(stderr,
                 "usage: vantrel-link-viewer [HOST[:PORT]] [--password P | --password-file F]\n"
                 "                           [--size WxH[@FPS]] [--hdr] [--extra WxH[@FPS]]\n"
                 "                           [--fullscreen] [--decoder software|vaapi|auto]\n"
                 "                           [--decode-threads N] [--no-reconnect]\n"
                 "\n"
                 "Without a host, servers found on the network are offered. The password may\n"
                 "also come from VANTREL_LINK_PASSWORD; without one it is asked for in the\n"
                 "window. Without --size the remote display follows the window's size.\n"
                 "When the server stops or is lost the window offers to reconnect (R) or\n"
                 "quit (Q, exit status 5); --no-reconnect exits at once instead.\n"
                 "Keys: Ctrl+Alt+G releases the keyboard, Ctrl+Alt+S shows the status,\n"
                 "Ctrl+Alt+F full screen, Ctrl+Alt+M mute, Ctrl+Alt+Up/Down volume,\n"
                 "Ctrl+Alt+Q quits.\n");
}

int statusFor(ConnectFailure failure) {
    switch (failure) {
        case ConnectFailure::busy:
            return busy;
        case ConnectFailure::wrongPassword:
            return wrongPassword;
        default:
            return failed;
    }
}

std::string sizeText(PixelSize size, int fps) {
    return std::to_string(size.width) + "x" + std::to_string(size.height) + "@" +
           std::to_string(fps);
}

// A line of text typed into the window, shown in its title (masked for a secret). Nothing when
// the user closes the window or presses Escape.
std::optional<std::string> askInWindow(VideoWindow& window, const std::string& prompt,
                                       bool secret) {
    std::string text;
    SDL_StartTextInput();
    auto show = [&] {
        window.setTitle(prompt + (secret ? std::string(text.size(), '*') : text) + "_");
    };
    show();
    SDL_Event e;
    while (SDL_WaitEvent(&e)) {
        if (e.type == SDL_QUIT) break;
        if (e.type == SDL_WINDOWEVENT && e.window.event == SDL_WINDOWEVENT_CLOSE) break;
        if (e.type == SDL_WINDOWEVENT) window.redraw();
        if (e.type == SDL_TEXTINPUT) {
            text += e.text.text;
            show();
        } else if (e.type == SDL_KEYDOWN) {
            if (e.key.keysym.sym == SDLK_ESCAPE) break;
            if (e.key.keysym.sym == SDLK_RETURN || e.key.keysym.sym == SDLK_KP_ENTER) {
                SDL_StopTextInput();
                return text;
            }
            if (e.key.keysym.sym == SDLK_BACKSPACE && !text.empty()) {
                // One UTF-8 character back.
                do text.pop_back();
                while (!text.empty() && (static_cast<unsigned char>(text.back()) & 0xC0) == 0x80);
                show();
            }
        }
    }
    SDL_StopTextInput();
    return std::nullopt;
}

// The server to connect to, from those found on the network: listed on the terminal and chosen
// with the arrow keys in the window.
std::optional<std::string> chooseServer(VideoWindow& window) {
    window.setTitle("Vantrel Link — looking for servers…");
    AvahiDiscovery discovery;
    std::string error;
    auto found =
        discovery.browse("_corvanevantrellink._tcp.", std::chrono::milliseconds(2000), &error);
    if (!found) {
        std::fprintf(stderr, "vantrel-link-viewer: no host given and discovery failed: %s\n",
                     error.c_str());
        return std::nullopt;
    }
    if (found->empty()) {
        std::fprintf(stderr, "vantrel-link-viewer: no servers found; give HOST[:PORT]\n");
        return std::nullopt;
    }
    for (std::size_t i = 0; i < found->size(); ++i)
        std::printf("%zu: %s %s:%d\n", i + 1, (*found)[i].name.c_str(), (*found)[i].address.c_str(),
                    (*found)[i].port);
    std::fflush(stdout);
    std::size_t chosen = 0;
    auto target = [&] {
        const auto& s = (*found)[chosen];
        return s.address + ":" + std::to_string(s.port);
    };
    if (found->size() == 1) return target();
    auto show = [&] {
        window.setTitle("Choose a server (←/→, Enter): " + std::to_string(chosen + 1) + "/" +
                        std::to_string(found->size()) + " " + (*found)[chosen].name + " " +
                        target());
    };
    show();
    SDL_Event e;
    while (SDL_WaitEvent(&e)) {
        if (e.type == SDL_QUIT) break;
        if (e.type == SDL_WINDOWEVENT && e.window.event == SDL_WINDOWEVENT_CLOSE) break;
        if (e.type != SDL_KEYDOWN) continue;
        const auto key = e.key.keysym.sym;
        if (key == SDLK_ESCAPE) break;
        if (key == SDLK_RETURN || key == SDLK_KP_ENTER) return target();
        if (key == SDLK_RIGHT || key == SDLK_DOWN) chosen = (chosen + 1) % found->size();
        if (key == SDLK_LEFT || key == SDLK_UP)
            chosen = (chosen + found->size() - 1) % found->size();
        show();
    }
    return std::nullopt;
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

// A new connection to the same server with the same password; nothing (and why) when refused.
using Reconnect = std::function<std::unique_ptr<ViewerSession>(ViewerSession::Failure*)>;

std::string upper(std::string_view text) {
    std::string out(text);
    for (auto& ch : out) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    return out;
}

class Viewer {
  public:
    Viewer(ViewerOptions options, std::unique_ptr<ViewerSession> session,
           std::unique_ptr<VideoWindow> main, Uint32 wakeEvent, Reconnect reconnect)
        : options_(std::move(options)),
          session_(std::move(session)),
          reconnect_(std::move(reconnect)),
          wakeEvent_(wakeEvent),
          keys_([this](const KeyMessage& m) { sendKey(m); },
                [this](ViewerCommand c) { command(c); }),
          debounce_(main->size(), resizeQuiet) {
        main_.window = std::move(main);
    }

    // The session goes before the windows its decoding threads draw into; the clipboard and the
    // sound before the session they use.
    ~Viewer() {
        clipboard_.reset();
        audio_.reset();
        session_.reset();
    }

    int run(PixelSize size, int fps);

  private:
    // One window and the item it shows.
    struct Shown {
        std::unique_ptr<VideoWindow> window;
        std::string shareId;
        std::map<MouseButton, bool> down;           // buttons whose press was sent
        std::optional<std::pair<int, int>> motion;  // the batch's last pointer move
        std::pair<int, int> pointer{0, 0};
    };

    bool start(const std::string& descriptor, std::string* error);
    void startMedia();
    // The session ended: says so in the window and waits for R (true once a new session runs)
    // or Q (false); with --seconds, no longer than that.
    bool offerReconnect(SessionEnd end, std::chrono::steady_clock::time_point began);
    void endSession();
    void updateStatus(double seconds);
    void handle(const SDL_Event& e);
    Shown* shownFor(Uint32 windowID);
    Shown* gestureTarget(Uint32 windowID);
    std::pair<int, int> inWindow(const Shown& s, Uint32 windowID, int x, int y);
    void sendPointer(Shown& s, MouseEventKind kind, MouseButton button, int x, int y);
    void flushMotion(Shown& s);
    void sendKey(const KeyMessage& m);
    void command(ViewerCommand c);
    void grab(Shown& s, bool on);
    void updateTitles();

    ViewerOptions options_;
    std::unique_ptr<ViewerSession> session_;
    Reconnect reconnect_;
    Uint32 wakeEvent_;
    KeyInput keys_;
    ResizeDebounce debounce_;
    Shown main_, extra_;
    std::unique_ptr<ViewerAudio> audio_;
    std::unique_ptr<ViewerClipboard> clipboard_;
    std::optional<std::string> extraDescriptor_;
    std::string descriptor_;  // the main display's, as last started
    std::string decoder_;     // which decoder the main stream uses, as last reported
    StreamStats lastStats_;
    int fps_ = 30;
    bool running_ = true;
    bool showStatus_ = false;
    bool grabbed_ = false;
    Shown* focused_ = nullptr;
    Shown* lookedAt_ = nullptr;
    bool lookAtSent_ = false;
    std::string statusText_;
    std::vector<std::string> statusLines_;
};

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

// This machine as the server records its client: stable across runs, so that the server finds the
// window layout it saved for it.
ClientIdentity viewerIdentity() {
    ClientIdentity identity;
    std::string machine;
    std::ifstream("/etc/machine-id") >> machine;
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    identity.deviceID = "vantrel-link-viewer-" + (machine.empty() ? std::string(host) : machine);
    identity.deviceName = std::string("Vantrel Link viewer on ") + host;
    return identity;
}

// The window's size for the remote display: the one asked for, shrunk to fit this screen.
PixelSize initialWindowSize(const std::optional<DisplayDescriptor>& asked) {
    SDL_Rect usable{0, 0, 1280, 720};
    SDL_GetDisplayUsableBounds(0, &usable);
    if (asked) {
        const auto fit = letterbox(asked->width, asked->height, usable.w, usable.h);
        if (fit.width >= asked->width) return {asked->width, asked->height};
        return {fit.width, fit.height};
    }
    // Without a size: 1280x720 where it fits, else most of the screen. Even sizes suit the codec.
    PixelSize size{std::min(1280, usable.w * 9 / 10), std::min(720, usable.h * 9 / 10)};
    size.width &= ~1;
    size.height &= ~1;
    return size;
}

}  // namespace

int main(int argc, char** argv) {
    std::string error;
    auto options = parseViewerOptions(argc, argv, &error);
    if (!options) {
        std::fprintf(stderr, "vantrel-link-viewer: %s\n", error.c_str());
        usage();
        return usageError;
    }
    std::optional<DisplayDescriptor> asked;
    if (options->size) {
        asked = parseDisplayDescriptor(*options->size);
        if (!asked || asked->width <= 0 || asked->height <= 0) {
            std::fprintf(stderr, "vantrel-link-viewer: unreadable size '%s' (expected WxH[@FPS])\n",
                         options->size->c_str());
            return usageError;
        }
    }
    auto password = resolvePassword(*options, std::getenv("VANTREL_LINK_PASSWORD"), &error);
    if (!password && !error.empty()) {
        std::fprintf(stderr, "vantrel-link-viewer: %s\n", error.c_str());
        return usageError;
    }

    if (SDL_Init(SDL_INIT_VIDEO | SDL_INIT_EVENTS) != 0) {
        std::fprintf(stderr, "vantrel-link-viewer: cannot start SDL: %s\n", SDL_GetError());
        return failed;
    }
    const Uint32 wakeEvent = SDL_RegisterEvents(1);
    SDL_SetHint(SDL_HINT_RENDER_SCALE_QUALITY, "1");
    // The X server's own implicit grab keeps a press's events with its window; SDL's capture on
    // top of it can report the release on the other window.
    SDL_SetHint(SDL_HINT_MOUSE_AUTO_CAPTURE, "0");
    // The click that gives the window the focus is the user's click on the remote desktop too;
    // SDL would drop a press that comes within 10 ms of the focus.
    SDL_SetHint(SDL_HINT_MOUSE_FOCUS_CLICKTHROUGH, "1");
    // Keys typed in the window go to the remote machine, shortcuts of this desktop included.
    SDL_SetHint(SDL_HINT_GRAB_KEYBOARD, "1");
    // Where SDL draws in software it would hand each frame to a software OpenGL to put on screen
    // (6 to 14 ms a picture without a GPU); the X server's own image path takes about 1 ms. A GPU
    // renderer does not use this path. (The environment variable still wins, for comparisons.)
    SDL_SetHint(SDL_HINT_FRAMEBUFFER_ACCELERATION, "0");
    int status = ok;
    {
        const auto windowSize = initialWindowSize(asked);
        auto window =
            VideoWindow::create("Vantrel Link", windowSize, options->fullscreen, wakeEvent, &error);
        if (!window) {
            std::fprintf(stderr, "vantrel-link-viewer: %s\n", error.c_str());
            SDL_Quit();
            return failed;
        }
        std::string target = options->target;
        if (target.empty()) {
            auto chosen = chooseServer(*window);
            if (!chosen) {
                SDL_Quit();
                return failed;
            }
            target = *chosen;
        }
        auto hostPort = parseHostPort(target, defaultPort);
        if (!hostPort) {
            std::fprintf(stderr, "vantrel-link-viewer: unreadable host '%s'\n", target.c_str());
            SDL_Quit();
            return usageError;
        }
        const bool asking = !password;
        std::string prompt = "Password for " + target + ": ";
        std::unique_ptr<ViewerSession> session;
        while (!session) {
            if (asking) {
                password = askInWindow(*window, prompt, true);
                if (!password) {
                    SDL_Quit();
                    return failed;
                }
            }
            window->setTitle("Vantrel Link — connecting to " + target + "…");
            ViewerSession::Failure failure{};
            const ClientIdentity identity = viewerIdentity();
            session = ViewerSession::connect(hostPort->first, hostPort->second, *password, identity,
                                             &failure);
            if (session) break;
            std::fprintf(stderr, "vantrel-link-viewer: %s: %s%s%s\n", target.c_str(),
                         std::string(description(failure.reason)).c_str(),
                         failure.detail.empty() ? "" : " — ", failure.detail.c_str());
            if (!(asking && failure.reason == ConnectFailure::wrongPassword)) {
                SDL_Quit();
                return statusFor(failure.reason);
            }
            prompt = "Wrong password, try again: ";
        }
        std::printf("connected to %s\n", target.c_str());
        std::fflush(stdout);
        const PixelSize requested = asked ? PixelSize{asked->width, asked->height} : window->size();
        const int fps = asked && options->size->find('@') != std::string::npos ? asked->fps : 30;
        const std::string host = hostPort->first;
        const std::uint16_t port = hostPort->second;
        Reconnect reconnect = [host, port, password](ViewerSession::Failure* failure) {
            return ViewerSession::connect(host, port, *password, viewerIdentity(), failure);
        };
        Viewer viewer(*options, std::move(session), std::move(window), wakeEvent,
                      std::move(reconnect));
        status = viewer.run(requested, fps);
    }
    SDL_Quit();
    return status;
}
