#include "comm/SessionEnvironment.h"

#include "base/DispatchQueue.h"

namespace vl {

namespace {

// The null objects: a subsystem that is not there does nothing, and the session goes on.

class NoWindowManagement final : public WindowManagement {
  public:
    void rememberAllDisplays() override {}
    void setMainDisplay(DisplayID) override {}
    void moveAllWindowsToDisplay(DisplayID) override {}
    int saveWindowLayout(const std::string&, const std::string&) override { return 0; }
    bool hasWindowLayout(const std::string&, const std::string&) override { return false; }
    void restoreWindowLayout(const std::string&, const std::string&) override {}
    void startNewWindowObserver(DisplayID) override {}
    void stopNewWindowObserver() override {}
    void restoreMainDisplay() override {}
    void restoreAllWindows() override {}
    int moveWindowsToVDIfNotOnVD(DisplayID) override { return 0; }
    bool moveActiveWindowToDisplay(DisplayID, bool) override { return false; }
    void setOnActiveWindowDisplayChanged(std::function<void(DisplayID)>) override {}
};

class NoInputInjection final : public InputInjection {
  public:
    void handleMouseEvent(const MouseEvent&, DisplayID) override {}
    void handleMiceWheel(const MouseScroll&) override {}
    void handleKeyboard(const KeyboardEvent&) override {}
    void startConstrainingCursor(DisplayID) override {}
    void stopConstrainingCursor() override {}
};

class NoClipboardSync final : public ClipboardSync {
  public:
    void startClipboardMonitor(Sender) override {}
    void stopClipboardMonitor() override {}
    void handleClipboard(const ClipboardEvent&) override {}
};

class NoAudioRelay final : public AudioRelay {
  public:
    std::optional<int> resolutionOfSupportedAudioChannels(Resolution) override {
        return std::nullopt;
    }
    void startAudio(std::optional<int>, const MediaPort&) override {}
    void stopAudio() override {}
};

class NoMicRelay final : public MicRelay {
  public:
    void startVisionProMic(const MediaPort&) override {}
    void stopVisionProMic() override {}
};

class NoCamRelay final : public CamRelay {
  public:
    void startVisionProCam(const MediaPort&) override {}
    void stopVisionProCam() override {}
};

class NoSleepControl final : public SleepControl {
  public:
    void preventSystemSleepOrLock() override {}
    void restoreSystemSleepOrLock() override {}
};

}  // namespace

SessionEnvironment SessionEnvironment::completed() const {
    SessionEnvironment environment = *this;
    if (!environment.power) environment.power = std::make_shared<NoSleepControl>();
    if (!environment.shell) environment.shell = std::make_shared<BasicAppShell>();
    if (!environment.windows) environment.windows = std::make_shared<NoWindowManagement>();
    if (!environment.input) environment.input = std::make_shared<NoInputInjection>();
    if (!environment.clipboard) environment.clipboard = std::make_shared<NoClipboardSync>();
    if (!environment.audio) environment.audio = std::make_shared<NoAudioRelay>();
    if (!environment.mic) environment.mic = std::make_shared<NoMicRelay>();
    if (!environment.camera) environment.camera = std::make_shared<NoCamRelay>();
    if (!environment.desktopQueue) environment.desktopQueue = &DispatchQueue::main();
    return environment;
}

}  // namespace vl
