// vantrel-link-viewer: the viewer of one session — its windows (the main display and an extra
// one), the events sent back, the media and clipboard beside them, and the reconnect offer when
// the session ends.
#pragma once

#include "client/viewer/KeyInput.h"
#include "client/viewer/ResizeDebounce.h"
#include "client/viewer/VideoWindow.h"
#include "client/viewer/ViewerOptions.h"
#include "client/viewer/ViewerSession.h"
#include "client/viewer/clipboard/ViewerClipboard.h"
#include "client/viewer/media/ViewerAudio.h"

#include <SDL2/SDL.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vl {

// Exit statuses, as the command-line client uses them where they overlap.
enum Status { ok = 0, failed = 1, usageError = 2, busy = 3, wrongPassword = 4, serverGone = 5 };

// A new connection to the same server with the same password; nothing (and why) when refused.
using Reconnect = std::function<std::unique_ptr<ViewerSession>(ViewerSession::Failure*)>;

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
    // A window size is asked of the server once the user has stopped resizing for this long.
    static constexpr auto resizeQuiet = std::chrono::milliseconds(600);

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

}  // namespace vl
