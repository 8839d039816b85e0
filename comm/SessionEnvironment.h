// comm: the capabilities a client's session stands on, handed to the control server at
// construction. Each role is small and named by what the session asks of it; each is implemented
// in its own folder (windowsmgmt/, input/, the media servers, Capture/, phantomScreen/, app/).
// Roles that do not exist yet are null objects, so the session never checks for null.
//
// Queues: the window, input and clipboard roles and the virtual displays are called on the main
// queue; the media relays and the shell on the control server's queue.
#pragma once

#include "comm/AppShell.h"
#include "comm/ClientGate.h"
#include "comm/ControlRecords.h"
#include "phantomScreen/Resolution.h"
#include "platform/display/Interface.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace vl {

class CaptureService;
class DisplayArrangement;
class PhantomScreenService;
class VideoCodecService;
struct TlsIdentity;

// Window management: displays and windows before, during and after a session.
class WindowManagement {
  public:
    virtual ~WindowManagement() = default;
    virtual void rememberAllDisplays() = 0;
    virtual void setMainDisplay(DisplayID display) = 0;
    virtual void moveAllWindowsToDisplay(DisplayID display) = 0;
    // Keeps the current window layout as the client's at this resolution; how many windows.
    virtual int saveWindowLayout(const std::string& client, const std::string& resolution) = 0;
    virtual bool hasWindowLayout(const std::string& client, const std::string& resolution) = 0;
    virtual void restoreWindowLayout(const std::string& client, const std::string& resolution) = 0;
    virtual void startNewWindowObserver(DisplayID targetDisplay) = 0;
    virtual void stopNewWindowObserver() = 0;
    virtual void restoreMainDisplay() = 0;
    virtual void restoreAllWindows() = 0;
    // How many windows were moved onto the virtual display.
    virtual int moveWindowsToVDIfNotOnVD(DisplayID display) = 0;
    // Whether the active window moved.
    virtual bool moveActiveWindowToDisplay(DisplayID display, bool alignRight) = 0;
    // Called on the main queue when the focused window moves to another display; empty clears it.
    virtual void setOnActiveWindowDisplayChanged(std::function<void(DisplayID)> callback) = 0;
};

// Input injection: the client's pointer, keys and scroll, after the session has found the item.
class InputInjection {
  public:
    virtual ~InputInjection() = default;
    // The pointer action on the item's display.
    virtual void handleMouseEvent(const MouseEvent& event, DisplayID display) = 0;
    virtual void handleMiceWheel(const MouseScroll& scroll) = 0;
    virtual void handleKeyboard(const KeyboardEvent& event) = 0;
    virtual void startConstrainingCursor(DisplayID display) = 0;
    virtual void stopConstrainingCursor() = 0;
};

// Clipboard sync: local changes go to the client through the sender; the client's are applied.
class ClipboardSync {
  public:
    using Sender = std::function<void(const ClipboardEvent&)>;
    virtual ~ClipboardSync() = default;
    virtual void startClipboardMonitor(Sender sendToClient) = 0;
    virtual void stopClipboardMonitor() = 0;
    virtual void handleClipboard(const ClipboardEvent& event) = 0;
};

// Where a media server listens and whom it admits.
struct MediaPort {
    int port = 0;
    std::shared_ptr<ClientGate> gate;
};

// The media relays of a session, each its own role: system audio out, and the client's
// microphone and camera in. Each server admits only the session's client (the gate).
class AudioRelay {
  public:
    virtual ~AudioRelay() = default;
    // The audio layout for a resolution; none when there is no audio.
    virtual std::optional<int> resolutionOfSupportedAudioChannels(Resolution resolution) = 0;
    virtual void startAudio(std::optional<int> channels, const MediaPort& port) = 0;
    virtual void stopAudio() = 0;
};

class MicRelay {
  public:
    virtual ~MicRelay() = default;
    virtual void startVisionProMic(const MediaPort& port) = 0;
    virtual void stopVisionProMic() = 0;
};

class CamRelay {
  public:
    virtual ~CamRelay() = default;
    virtual void startVisionProCam(const MediaPort& port) = 0;
    virtual void stopVisionProCam() = 0;
};

// What the control server answers with and guards with: settings and the application identity.
class ControlSettings {
  public:
    virtual ~ControlSettings() = default;
    // The stored connection password, or the built-in default.
    virtual std::string password() = 0;
    virtual std::string appUniqueID() = 0;
    virtual std::string machineName() = 0;
    virtual std::optional<std::string> machineIPAddress() = 0;
    // The configured control port, as stored: one outside 0…65535 is refused by whoever uses it.
    virtual int controlPort() = 0;
    // The server's TLS identity for every port; none when it cannot be had.
    virtual std::optional<TlsIdentity> tlsIdentity() = 0;
};

// Idle-sleep prevention while a client is connected.
class SleepControl {
  public:
    virtual ~SleepControl() = default;
    virtual void preventSystemSleepOrLock() = 0;
    virtual void restoreSystemSleepOrLock() = 0;
};

struct SessionEnvironment {
    std::shared_ptr<ControlSettings> settings;
    std::shared_ptr<SleepControl> power;
    std::shared_ptr<AppShell> shell;
    std::shared_ptr<WindowManagement> windows;
    std::shared_ptr<InputInjection> input;
    std::shared_ptr<ClipboardSync> clipboard;
    std::shared_ptr<AudioRelay> audio;
    std::shared_ptr<MicRelay> mic;
    std::shared_ptr<CamRelay> camera;
    // Sharing: screen capture, the video codec, and the arrangement of a new virtual display.
    std::shared_ptr<CaptureService> capture;
    std::shared_ptr<VideoCodecService> codec;
    std::shared_ptr<DisplayArrangement> displayArrangement;
    std::shared_ptr<PhantomScreenService> virtualDisplays;
    // Where the desktop side of a session runs (windows, cursor confinement, the arrangement):
    // the queue the program's windows and input roles live on.
    DispatchQueue* desktopQueue = nullptr;

    // Every absent role replaced by its null object; no desktop queue: the program's main one.
    SessionEnvironment completed() const;
};

}  // namespace vl
